#ifndef Poco_DeviceIO_Ftd2xx_Ftd2xxDeviceInfo_INCLUDED
#define Poco_DeviceIO_Ftd2xx_Ftd2xxDeviceInfo_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <cstdint>
#include <string>
#include <vector>

namespace Poco {
namespace DeviceIO {
namespace Ftd2xx {

class Ftd2xxDriver;

/// What the driver lists of one FTDI device; a plain value, copied freely between threads.
struct Ftd2xxDeviceInfo
{
    std::uint32_t type = 0;
    std::uint32_t id = 0;
    std::uint32_t locationId = 0;
    std::string serialNumber;
    std::string description;
    /// Already opened by someone.
    bool opened = false;
};

/// The attached FTDI devices with a serial number, in the driver's order; empty when the
/// driver reports an error. Throws when the driver library cannot be loaded or bound.
DeviceIO_API std::vector<Ftd2xxDeviceInfo> enumerateDevices();
DeviceIO_API std::vector<Ftd2xxDeviceInfo> enumerateDevices(Ftd2xxDriver& driver);

} // namespace Ftd2xx
} // namespace DeviceIO
} // namespace Poco

#endif
