#ifndef Drfn3_Common_INCLUDED
#define Drfn3_Common_INCLUDED

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Drfn3 {

enum ExitCode
{
    ExitOk = 0,
    ExitFailure = 1,
    ExitUsage = 2
};

/// A command line that cannot be carried out as given: exit code 2.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/// Options every subcommand takes. Empty or negative means "not given".
struct Settings
{
    std::string pods;
    bool podsGiven = false;
    int frequency = -1;
    int channel = -1;
    int accMode = -1;
    int magMode = -1;
    /// > 0 --gyro, < 0 --no-gyro, 0 neither.
    std::int64_t gyro = 0;
    std::string log;
    std::string module;
    std::string config;
    /// Saved settings are neither read nor written (the demo).
    bool ephemeral = false;
};

/// Pod serials from text separated by ';', ',' or blanks; UsageError naming the bad token.
std::vector<unsigned> parseSerials(const std::string& text);
/// Upper-case hexadecimal without leading zeros.
std::string hex(unsigned value);

/// SIGINT and SIGTERM set a flag that long loops poll; a second signal ends the program.
void installStopHandlers();
bool stopRequested();

/// Tells the user, on stderr, about work that takes a while. On a terminal a spinner turns
/// while it runs; otherwise the message is printed once.
class Progress
{
public:
    explicit Progress(const std::string& message);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    /// Ends the line with the outcome.
    void done(const std::string& outcome = "done");
    void failed() { done("failed"); }

private:
    void stopSpinner();

    std::string _message;
    bool _terminal;
    bool _finished = false;
    std::atomic<bool> _running{false};
    std::thread _spinner;
};

bool stdoutIsTerminal();
bool stderrIsTerminal();

} // namespace Drfn3

#endif
