#ifndef Drfn3_Common_INCLUDED
#define Drfn3_Common_INCLUDED

#include <Drfn3/Settings.h>

#include <Poco/Exception.h>

#include <atomic>
#include <ostream>
#include <string>
#include <thread>

namespace Drfn3 {

enum ExitCode
{
    ExitOk = 0,
    ExitFailure = 1,
    ExitUsage = 2,
    /// As a shell reports a program that SIGINT ended: stopped before it had done its work.
    ExitInterrupted = 130
};

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

/// "drfn3: " and the error's message (its display text when it has none), then a line
/// "  cause: " + display text for each exception nested in it, outermost first.
void printError(std::ostream& out, const Poco::Exception& error);

} // namespace Drfn3

#endif
