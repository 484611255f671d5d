#ifndef Tarnlink_ControllerV1Factory_INCLUDED
#define Tarnlink_ControllerV1Factory_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/ControllerFactory.h>

namespace Tarnlink {

/// A generation 1 controller: an FTDI chip, reached either through the D2XX library by
/// its serial number or as the kernel's serial port for the chip.
/// Thread-safe: nothing in it changes once built, and the slow-latency note is kept under a lock.
class Tarnlink_API ControllerV1Factory : public ControllerFactory
{
public:
    static constexpr int VENDOR_ID = 0x0403;
    static constexpr int PRODUCT_ID = 0x6001;
    static constexpr int TIMEOUT = 200;
    static constexpr unsigned BAUD_RATE = 2000000;
    static constexpr unsigned LATENCY_TIMER = 2;

    /// Through the D2XX library.
    explicit ControllerV1Factory(const std::string& serialNumber);
    /// Through the serial port portName; serialNumber is the chip's USB serial number
    /// (empty when unknown). sysRoot is where the port's latency timer is looked up.
    ControllerV1Factory(const std::string& serialNumber, const std::string& portName,
                        const std::string& sysRoot = "/sys");

    unsigned getTimeout() const override;
    unsigned getGeneration() const override;
    std::string getIdentifier() const override;
    Poco::DeviceIO::Channel* createChannel() const override;
    Controller* createController(Protocol* protocol) const override;
    /// "PortName" is the serial port, empty for a controller reached through D2XX.
    Poco::Any getProperty(const std::string& name) const override;

    /// Empty for a controller reached through D2XX.
    const std::string& getPortName() const { return _portName; }

private:
    std::string _identifier;
    std::string _portName;
    std::string _sysRoot;
};

} // namespace Tarnlink

#endif
