#include <Poco/DeviceIO/Serial/LatencyTimer.h>

namespace Poco {
namespace DeviceIO {
namespace Serial {

std::string lowerLatencyTimer(const std::string& /*portName*/, unsigned /*milliseconds*/,
                              const std::string& /*sysRoot*/)
{
    // The FTDI serial driver for Windows keeps the timer among the port's advanced settings.
    return "set in the port's advanced settings of the device manager";
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
