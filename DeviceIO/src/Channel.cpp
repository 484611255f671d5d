#include <Poco/DeviceIO/Channel.h>
#include <Poco/Exception.h>
#include <algorithm>
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

void Channel::applyTimeout(int milliseconds)
{
    setTimeout(milliseconds);
}

void Channel::configure() {}

std::string& Channel::readString(std::string& out, int count)
{
    if (count < 1)
    {
        out.clear();
        char* buffer = nullptr;
        int got = 0;
        try
        {
            got = read(buffer);
        }
        catch (...)
        {
            std::free(buffer);
            throw;
        }
        if (got > 0 && buffer) out.assign(buffer, static_cast<std::size_t>(got));
        std::free(buffer);
        return out;
    }
    // Read straight into the string: a caller that reuses it allocates nothing per read. What
    // the read leaves unfilled is cut off below, so it need not be cleared first.
    out.resize(static_cast<std::size_t>(count));
    int got = 0;
    try
    {
        got = read(&out[0], count);
    }
    catch (...)
    {
        out.clear();
        throw;
    }
    out.resize(got > 0 ? static_cast<std::size_t>(std::min(got, count)) : 0u);
    return out;
}

} // namespace DeviceIO
} // namespace Poco
