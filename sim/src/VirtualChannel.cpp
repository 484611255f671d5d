#include <Tarnlink/Sim/VirtualChannel.h>
#include <Poco/DeviceIO/ChannelConfig.h>
#include <Poco/Exception.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Tarnlink {
namespace Sim {

namespace {

Poco::DeviceIO::ChannelConfig* makeConfig(const std::string& name, int timeout)
{
    return new Poco::DeviceIO::ChannelConfig(name, timeout);
}

} // namespace

VirtualChannel::VirtualChannel(Simulator& simulator, int timeoutMilliseconds, const std::string& name)
    : Poco::DeviceIO::Channel(makeConfig(name, timeoutMilliseconds), name), _simulator(simulator)
{
    config->release(); // the base took its own reference
}

VirtualChannel::~VirtualChannel() = default;

void VirtualChannel::checkPresent()
{
    if (_simulator.gone()) throw Poco::IOException("Unable to communicate with device", getName());
}

int VirtualChannel::read(char*& buffer)
{
    auto guard = _simulator.lock();
    checkPresent();
    std::string bytes = _simulator.take();
    buffer = static_cast<char*>(std::calloc(std::max<std::size_t>(bytes.size(), 1), 1));
    if (!buffer) throw Poco::OutOfMemoryException("Cannot allocate read buffer");
    std::memcpy(buffer, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
}

int VirtualChannel::read(char* buffer, int length)
{
    auto guard = _simulator.lock();
    checkPresent();
    if (length <= 0) return 0;
    const Micros gone = _simulator.faults().disappearAt;
    const int timeout = config ? config->getTimeout() : 0;
    if (_simulator.available(1) == 0 && timeout > 0)
    {
        const Micros now = _simulator.clock().now();
        _simulator.waitForOutput(std::min(now + static_cast<Micros>(timeout) * 1000, gone));
    }
    else if (timeout <= 0)
    {
        // No time-out: wait for the full count, or as long as anything can still come.
        while (_simulator.available(static_cast<std::size_t>(length)) < static_cast<std::size_t>(length))
        {
            Micros next = _simulator.nextEventTime();
            if (next == kNever) break;
            _simulator.advanceTo(std::min(next, gone));
            checkPresent();
        }
    }
    checkPresent();
    std::string bytes = _simulator.take(static_cast<std::size_t>(length));
    std::memcpy(buffer, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
}

int VirtualChannel::write(const char* data, int length)
{
    auto guard = _simulator.lock();
    checkPresent();
    if (length > 0) _simulator.feed(data, static_cast<std::size_t>(length));
    return length;
}

} // namespace Sim
} // namespace Tarnlink
