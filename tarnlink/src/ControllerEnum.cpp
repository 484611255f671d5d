#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDeviceInfo.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/Exception.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerV1Factory.h>
#include <Tarnlink/ControllerV2Factory.h>
#include <stdexcept>

namespace Tarnlink {

ControllerEnum::ControllerEnum(bool onlyAvailable) : _onlyAvailable(onlyAvailable)
{
    try {
        Poco::DeviceIO::Serial::VirtualSerialPortEnum ports(ControllerV2Factory::VENDOR_ID, ControllerV2Factory::PRODUCT_ID);
        for (std::size_t i = 0; i < ports.count(); ++i) {
            const auto& port = ports.get(i);
            if (!_onlyAvailable || !port.inUse) _factories.emplace_back(new ControllerV2Factory(port.portName, port.identifier));
        }
    } catch (const Poco::Exception&) {
        // The generation 1 controllers are still worth listing.
    }

    std::vector<Poco::DeviceIO::Ftd2xx::Ftd2xxDeviceInfo> devices;
    try {
        devices = Poco::DeviceIO::Ftd2xx::enumerateDevices();
    } catch (const Poco::LibraryLoadException&) {
        // Without the D2XX library there is no generation 1 controller, and generation 2 still works.
    } catch (const Poco::NotFoundException&) {
    }
    for (const auto& device : devices) {
        if (!_onlyAvailable || !device.opened) _factories.emplace_back(new ControllerV1Factory(device.serialNumber));
    }
}

ControllerEnum::~ControllerEnum() = default;

Poco::AutoPtr<ControllerFactory> ControllerEnum::get(std::size_t index) const
{
    if (index >= _factories.size()) throw std::out_of_range("invalid vector<T> subscript");
    return _factories[index];
}

} // namespace Tarnlink
