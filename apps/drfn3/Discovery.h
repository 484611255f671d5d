#ifndef Drfn3_Discovery_INCLUDED
#define Drfn3_Discovery_INCLUDED

#include <string>
#include <vector>

namespace Drfn3 {

/// One controller discovery lists, opened or not.
struct ControllerReport
{
    unsigned generation = 0;
    /// Port path, followed by the USB serial number for a generation 1 serial port; the FTDI
    /// serial number for a generation 1 controller reached through D2XX.
    std::string where;
    bool usable = false;
    /// Usable: hardware, firmware and serial number. Otherwise why it cannot be used, with
    /// the fix when there is one.
    std::string details;
};

/// Every controller discovery lists, including those another program holds or this user
/// may not open; each is opened briefly to read its identity.
std::vector<ControllerReport> surveyControllers();
/// For "No Motion Controller available": the candidate ports that could not be opened and
/// why, one per line after a heading; empty when there are none.
std::string describeUnusablePorts();

} // namespace Drfn3

#endif
