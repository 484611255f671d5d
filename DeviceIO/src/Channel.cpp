#include <Poco/DeviceIO/Channel.h>
#include <Poco/Exception.h>
#include <cstdlib>

namespace Poco {
namespace DeviceIO {

Channel::Channel(ChannelConfig* cfg, const std::string& n) : name(n), config(cfg, true) {}

Channel::~Channel() = default;

void Channel::setTimeout(int milliseconds)
{
    if (!config) throw Poco::NullPointerException("Channel has no configuration");
    config->setTimeout(milliseconds);
}

void Channel::setBlocking()
{
    if (!config) throw Poco::NullPointerException("Channel has no configuration");
    config->setBlocking();
}

void Channel::applyTimeout(int milliseconds) { setTimeout(milliseconds); }

void Channel::configure() {}

std::string& Channel::readString(std::string& out, int count)
{
    out.clear();
    char* buffer = nullptr;
    int got = 0;
    try {
        if (count < 1) {
            got = read(buffer);
        } else {
            buffer = static_cast<char*>(std::calloc(static_cast<std::size_t>(count), 1));
            if (!buffer) throw Poco::OutOfMemoryException("Cannot allocate read buffer");
            got = read(buffer, count);
            if (got > count) got = count;
        }
    } catch (...) {
        std::free(buffer);
        throw;
    }
    if (got > 0 && buffer) out.assign(buffer, static_cast<std::size_t>(got));
    std::free(buffer);
    return out;
}

} // namespace DeviceIO
} // namespace Poco
