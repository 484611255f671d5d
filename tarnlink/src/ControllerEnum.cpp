#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDeviceInfo.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/Exception.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerV1Factory.h>
#include <Tarnlink/ControllerV2Factory.h>
#include <Poco/Mutex.h>
#include <map>
#include <set>
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

const char* const ControllerEnum::GEN1_PORTS_VARIABLE = "ORLAN_TARNLINK_PORTS_GEN1";

ControllerEnum::ControllerEnum(bool onlyAvailable) : _onlyAvailable(onlyAvailable)
{
    build("/sys", "/dev");
}

#if !defined(_WIN32)
ControllerEnum::ControllerEnum(bool onlyAvailable, const std::string& sysRoot, const std::string& devRoot)
    : _onlyAvailable(onlyAvailable)
{
    build(sysRoot, devRoot);
}
#endif

void ControllerEnum::build(const std::string& sysRoot, const std::string& devRoot)
{
    using Poco::DeviceIO::Serial::VirtualSerialPortEnum;
    try
    {
#if defined(_WIN32)
        (void)sysRoot;
        (void)devRoot;
        VirtualSerialPortEnum ports(ControllerV2Factory::VENDOR_ID, ControllerV2Factory::PRODUCT_ID);
#else
        VirtualSerialPortEnum ports(ControllerV2Factory::VENDOR_ID, ControllerV2Factory::PRODUCT_ID, sysRoot, devRoot);
#endif
        for (std::size_t i = 0; i < ports.count(); ++i)
        {
            const auto& port = ports.get(i);
            if (!_onlyAvailable || !port.inUse)
                _factories.emplace_back(new ControllerV2Factory(port.portName, port.identifier));
        }
    }
    catch (const Poco::Exception&)
    {
        // The generation 1 controllers are still worth listing.
    }

    // USB serial numbers of the generation 1 serial ports, also of those in use.
    std::set<std::string> onSerialPorts;
#if !defined(_WIN32)
    try
    {
        VirtualSerialPortEnum ports(ControllerV1Factory::VENDOR_ID, ControllerV1Factory::PRODUCT_ID, sysRoot, devRoot,
                                    GEN1_PORTS_VARIABLE);
        for (std::size_t i = 0; i < ports.count(); ++i)
        {
            const auto& port = ports.get(i);
            if (!port.identifier.empty()) onSerialPorts.insert(port.identifier);
            if (!_onlyAvailable || !port.inUse)
                _factories.emplace_back(new ControllerV1Factory(port.identifier, port.portName, sysRoot));
        }
    }
    catch (const Poco::Exception&)
    {
    }
#endif

    std::vector<Poco::DeviceIO::Ftd2xx::Ftd2xxDeviceInfo> devices;
    try
    {
        devices = Poco::DeviceIO::Ftd2xx::enumerateDevices();
    }
    catch (const Poco::LibraryLoadException&)
    {
        // Without the D2XX library generation 1 controllers are still found on serial ports.
    }
    catch (const Poco::NotFoundException&)
    {
    }
    for (const auto& device : devices)
    {
        if (onSerialPorts.count(device.serialNumber)) continue;
        if (!_onlyAvailable || !device.opened) _factories.emplace_back(new ControllerV1Factory(device.serialNumber));
    }

    std::vector<Source> extra;
    {
        Poco::FastMutex::ScopedLock lock(sourcesMutex);
        for (const auto& entry : sources()) extra.push_back(entry.second);
    }
    for (const Source& source : extra)
    {
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
