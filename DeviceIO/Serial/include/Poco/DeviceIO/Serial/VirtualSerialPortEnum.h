#ifndef Poco_DeviceIO_Serial_VirtualSerialPortEnum_INCLUDED
#define Poco_DeviceIO_Serial_VirtualSerialPortEnum_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <string>
#include <vector>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// The serial ports of the present USB devices with a given vendor and product id,
/// listed once at construction.
///
/// On Windows the ports come from SetupAPI and the registry, in the order SetupAPI lists the
/// devices, followed by the port names listed in an environment variable
/// (ORLAN_TARNLINK_PORTS unless told otherwise; separated by ';' or ':'), for ports that are
/// not on USB. On Linux they come from sysfs, followed by the device paths listed in that
/// variable (separated by ':'), for udev symlinks and pseudo-terminals. A record's identifier
/// is the serial number of its USB device, empty when it has none (and for listed ports).
/// Thread-safe to make on several threads at once: each object keeps what it found to itself.
class DeviceIO_API VirtualSerialPortEnum
{
public:
    class DeviceInfo
    {
    public:
        DeviceInfo(const std::string& portName, const std::string& identifier, bool inUse)
            : portName(portName), identifier(identifier), inUse(inUse)
        {
        }
        virtual ~DeviceInfo() = default;

        std::string portName;
        std::string identifier;
        bool inUse;
    };

#if defined(_WIN32)
    /// extraPortsVariable names the variable of extra port names; null lists none.
    VirtualSerialPortEnum(unsigned short vendorId, unsigned short productId,
                          const char* extraPortsVariable = EXTRA_PORTS_VARIABLE);
#else
    /// sysRoot and devRoot are the sysfs and device folders; tests point them at a fake tree.
    /// extraPortsVariable names the variable of extra paths; null lists none.
    VirtualSerialPortEnum(unsigned short vendorId, unsigned short productId, const std::string& sysRoot = "/sys",
                          const std::string& devRoot = "/dev", const char* extraPortsVariable = EXTRA_PORTS_VARIABLE);
#endif
    virtual ~VirtualSerialPortEnum();

    std::size_t count() const
    {
        return _devices.size();
    }
    /// Throws std::out_of_range for an index at or beyond count().
    const DeviceInfo& get(std::size_t index) const;

    static const char* const EXTRA_PORTS_VARIABLE;

private:
    std::vector<DeviceInfo> _devices;
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
