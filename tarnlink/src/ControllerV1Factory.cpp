#include <Poco/DeviceIO/Ftd2xx/Ftd2xxChannel.h>
#include <Poco/DeviceIO/Serial/LatencyTimer.h>
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/Logger.h>
#include <Poco/Mutex.h>
#include <Tarnlink/ControllerV1.h>
#include <Tarnlink/ControllerV1Factory.h>
#include <Tarnlink/Log.h>
#include <set>

namespace Tarnlink {

namespace {

/// Once per port and process: the note matters when the log is read, not on every reopen.
void noteSlowLatency(const std::string& portName, const std::string& why)
{
    Poco::Logger* log = Poco::Logger::has(LOGGER_NAME);
    if (!log) return;
    static Poco::FastMutex mutex;
    static std::set<std::string> noted;
    {
        Poco::FastMutex::ScopedLock lock(mutex);
        if (!noted.insert(portName).second) return;
    }
    log->information("Latency timer of " + portName + " not lowered (" + why +
                     "): replies may wait up to 16 ms in the FTDI chip; the udev rules set it at plug-in time");
}

} // namespace

ControllerV1Factory::ControllerV1Factory(const std::string& serialNumber) : _identifier(serialNumber) {}

ControllerV1Factory::ControllerV1Factory(const std::string& serialNumber, const std::string& portName,
                                         const std::string& sysRoot)
    : _identifier(serialNumber), _portName(portName), _sysRoot(sysRoot)
{
}

unsigned ControllerV1Factory::getTimeout() const
{
    return TIMEOUT;
}

unsigned ControllerV1Factory::getGeneration() const
{
    return 1;
}

std::string ControllerV1Factory::getIdentifier() const
{
    return _identifier;
}

Poco::DeviceIO::Channel* ControllerV1Factory::createChannel() const
{
    if (_portName.empty())
    {
        using Poco::DeviceIO::Ftd2xx::Ftd2xxConfig;
        Poco::AutoPtr<Ftd2xxConfig> config(
            new Ftd2xxConfig(_identifier, BAUD_RATE, 8, 0, 0, 0, 0, 0, 4096, TIMEOUT, LATENCY_TIMER));
        return new Poco::DeviceIO::Ftd2xx::Ftd2xxChannel(config.get());
    }
    using Poco::DeviceIO::Serial::SerialConfig;
    // Before the channel opens the port exclusively: the driver's flag needs an open of its own.
    const std::string why = Poco::DeviceIO::Serial::lowerLatencyTimer(_portName, LATENCY_TIMER, _sysRoot);
    // Flow control 1 with XON/XOFF handling off is no handshake at all, as on the D2XX channel.
    Poco::AutoPtr<SerialConfig> config(
        new SerialConfig(_portName, BAUD_RATE, 8, 'N', 0, 1, 0x11, 0x13, false, 4, 4096, TIMEOUT));
    Poco::AutoPtr<Poco::DeviceIO::Channel> channel(new Poco::DeviceIO::Serial::SerialChannel(config.get()));
    if (!why.empty()) noteSlowLatency(_portName, why);
    return channel.duplicate();
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
    if (name == "PortName" && !_portName.empty()) return _portName;
    return Poco::Any();
}

} // namespace Tarnlink
