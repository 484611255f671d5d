#ifndef Poco_DeviceIO_Serial_LatencyTimer_INCLUDED
#define Poco_DeviceIO_Serial_LatencyTimer_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <string>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// Makes the FTDI chip behind a kernel serial port hold received bytes for at most
/// `milliseconds` before it sends them on (the chip's default of 16 ms bunches small
/// replies). On Linux it takes, in order: the port's sysfs attribute latency_timer when
/// it already holds such a value (a udev rule may set it at plug-in time) or can be
/// written, then the serial driver's low-latency flag, for which the port is opened
/// briefly. sysRoot replaces /sys for tests.
///
/// Returns an empty string when the timer is low, else why it could not be lowered;
/// the port works either way, only with longer delays.
DeviceIO_API std::string lowerLatencyTimer(const std::string& portName, unsigned milliseconds,
                                           const std::string& sysRoot = "/sys");

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
