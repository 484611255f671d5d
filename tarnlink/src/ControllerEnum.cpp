#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDeviceInfo.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/Exception.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerV1Factory.h>
#include <Tarnlink/ControllerV2Factory.h>
#include <Poco/Mutex.h>
#include <map>
#include <stdexcept>

namespace Tarnlink {

namespace {

Poco::FastMutex sourcesMutex;
std::map<int, ControllerEnum::Source>& sources()
{
    static std::map<int, ControllerEnum::Source> registered;
    return registered;
}
int nextSourceKey = 1;

} // namespace

int ControllerEnum::addSource(Source source)
{
    Poco::FastMutex::ScopedLock lock(sourcesMutex);
    const int key = nextSourceKey++;
    sources()[key] = std::move(source);
    return key;
}

void ControllerEnum::removeSource(int key)
{
    Poco::FastMutex::ScopedLock lock(sourcesMutex);
    sources().erase(key);
}

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

    std::vector<Source> extra;
    {
        Poco::FastMutex::ScopedLock lock(sourcesMutex);
        for (const auto& entry : sources()) extra.push_back(entry.second);
    }
    for (const Source& source : extra) {
        for (const auto& factory : source()) _factories.push_back(factory);
    }
}

ControllerEnum::~ControllerEnum() = default;

Poco::AutoPtr<ControllerFactory> ControllerEnum::get(std::size_t index) const
{
    if (index >= _factories.size()) throw std::out_of_range("invalid vector<T> subscript");
    return _factories[index];
}

} // namespace Tarnlink
