#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/ControllerV2Factory.h>

namespace Tarnlink {

ControllerV2Factory::ControllerV2Factory(const std::string& portName, const std::string& identifier)
    : _portName(portName), _identifier(identifier)
{
}

unsigned ControllerV2Factory::getTimeout() const
{
    return TIMEOUT;
}

unsigned ControllerV2Factory::getGeneration() const
{
    return 2;
}

std::string ControllerV2Factory::getIdentifier() const
{
    return _identifier;
}

Poco::DeviceIO::Channel* ControllerV2Factory::createChannel() const
{
    using Poco::DeviceIO::Serial::SerialConfig;
    // USB CDC ports ignore the line speed: 0xFFFFFFFF leaves it as the driver has it.
    Poco::AutoPtr<SerialConfig> config(
        new SerialConfig(_portName, 0xFFFFFFFF, 8, 'N', 0, 0, 19, 25, false, 4, 4096, TIMEOUT));
    return new Poco::DeviceIO::Serial::SerialChannel(config.get());
}

Controller* ControllerV2Factory::createController(Protocol* protocol) const
{
    return new ControllerV2(protocol);
}

Poco::Any ControllerV2Factory::getProperty(const std::string& name) const
{
    if (name == "VID") return VENDOR_ID;
    if (name == "PID") return PRODUCT_ID;
    if (name == "Timeout") return TIMEOUT;
    if (name == "PortName") return _portName;
    return Poco::Any();
}

} // namespace Tarnlink
