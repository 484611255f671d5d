#include <Poco/DeviceIO/Ftd2xx/Ftd2xxChannel.h>
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/ControllerV1.h>
#include <Tarnlink/ControllerV1Factory.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/ControllerV2Factory.h>

namespace Tarnlink {

ControllerFactory::~ControllerFactory() = default;

//
// Generation 1
//

ControllerV1Factory::ControllerV1Factory(const std::string& serialNumber) : _identifier(serialNumber) {}

unsigned ControllerV1Factory::getTimeout() const { return TIMEOUT; }

unsigned ControllerV1Factory::getGeneration() const { return 1; }

std::string ControllerV1Factory::getIdentifier() const { return _identifier; }

Poco::DeviceIO::Channel* ControllerV1Factory::createChannel() const
{
    using Poco::DeviceIO::Ftd2xx::Ftd2xxConfig;
    Poco::AutoPtr<Ftd2xxConfig> config(new Ftd2xxConfig(_identifier, 2000000, 8, 0, 0, 0, 0, 0, 4096, TIMEOUT, 2));
    return new Poco::DeviceIO::Ftd2xx::Ftd2xxChannel(config.get());
}

Controller* ControllerV1Factory::createController(Protocol* protocol) const
{
    return new ControllerV1(protocol);
}

Poco::Any ControllerV1Factory::getProperty(const std::string& name) const
{
    if (name == "VID") return VENDOR_ID;
    if (name == "PID") return PRODUCT_ID;
    if (name == "Timeout") return TIMEOUT;
    return Poco::Any();
}

//
// Generation 2
//

ControllerV2Factory::ControllerV2Factory(const std::string& portName, const std::string& identifier)
    : _portName(portName), _identifier(identifier)
{
}

unsigned ControllerV2Factory::getTimeout() const { return TIMEOUT; }

unsigned ControllerV2Factory::getGeneration() const { return 2; }

std::string ControllerV2Factory::getIdentifier() const { return _identifier; }

Poco::DeviceIO::Channel* ControllerV2Factory::createChannel() const
{
    using Poco::DeviceIO::Serial::SerialConfig;
    // USB CDC ports ignore the line speed: 0xFFFFFFFF leaves it as the driver has it.
    Poco::AutoPtr<SerialConfig> config(new SerialConfig(_portName, 0xFFFFFFFF, 8, 'N', 0, 0, 19, 25, false, 4, 4096, TIMEOUT));
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
