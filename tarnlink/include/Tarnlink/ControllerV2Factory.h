#ifndef Tarnlink_ControllerV2Factory_INCLUDED
#define Tarnlink_ControllerV2Factory_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/ControllerFactory.h>

namespace Tarnlink {

/// A generation 2 controller: a USB virtual serial port.
/// Thread-safe: nothing in it changes once built.
class Tarnlink_API ControllerV2Factory : public ControllerFactory
{
public:
    static constexpr int VENDOR_ID = 0x0483;
    static constexpr int PRODUCT_ID = 0xA027;
    static constexpr int TIMEOUT = 150;

    ControllerV2Factory(const std::string& portName, const std::string& identifier);

    unsigned getTimeout() const override;
    unsigned getGeneration() const override;
    std::string getIdentifier() const override;
    /// Opens the port: throws its opening errors.
    Poco::DeviceIO::Channel* createChannel() const override;
    Controller* createController(Protocol* protocol) const override;
    Poco::Any getProperty(const std::string& name) const override;

    const std::string& getPortName() const { return _portName; }

private:
    std::string _portName;
    std::string _identifier;
};

} // namespace Tarnlink

#endif
