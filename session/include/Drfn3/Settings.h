#ifndef Drfn3_Settings_INCLUDED
#define Drfn3_Settings_INCLUDED

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Drfn3 {

/// A request that cannot be carried out as given (drfn3 exits with code 2, Python raises
/// InvalidValueError); nothing was changed when it is thrown.
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/// What a host asks of the filter. Empty or negative means "not given".
struct Settings
{
    std::string pods;
    bool podsGiven = false;
    int frequency = -1;
    int channel = -1;
    int accMode = -1;
    int magMode = -1;
    /// > 0 on, < 0 off, 0 not given.
    std::int64_t gyro = 0;
    std::string log;
    std::string module;
    std::string config;
    /// The controller to open ("Ctrl Port": a port or an identifier); empty: the first present.
    std::string controller;
    /// Saved settings are neither read nor written (the demo, Python).
    bool ephemeral = false;
};

/// Pod serials from text separated by ';', ',' or blanks; UsageError naming the bad token.
std::vector<unsigned> parseSerials(const std::string& text);
/// Upper-case hexadecimal without leading zeros.
std::string hex(unsigned value);

} // namespace Drfn3

#endif
