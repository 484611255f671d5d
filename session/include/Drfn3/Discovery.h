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
    /// Who it is when it answered: its serial number (generation 2) or its chip's USB serial
    /// number (generation 1); empty when unknown.
    std::string identity;
};

/// Every controller discovery lists, including those another program holds or this user
/// may not open; each is opened briefly to read its identity.
std::vector<ControllerReport> surveyControllers();
/// The controller the filter would open ("the first controller found", among those no other
/// program holds), opened and asked for its identity with reads only, then closed again.
/// usable false with generation 0 when there is none.
ControllerReport probeFirstController();
/// The same for the controller at where (a port or an identifier, as the filter's "Ctrl Port"
/// takes it); the first one when where is empty.
ControllerReport probeController(const std::string& where);
/// Where each controller that no other program holds is, as "Ctrl Port" takes it: its port,
/// or its identifier when it has none.
std::vector<std::string> availableControllers();
/// For "No Motion Controller available": the candidate ports that could not be opened and
/// why, one per line after a heading; empty when there are none.
std::string describeUnusablePorts();

} // namespace Drfn3

#endif
