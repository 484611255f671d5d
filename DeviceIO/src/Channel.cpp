#include <Poco/DeviceIO/Channel.h>
#include <Poco/Exception.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>

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

int Channel::readAhead(char*, int, int)
{
    return -1;
}

int Channel::readPending(char*& buffer, std::string& ahead)
{
    int got = read(buffer);
    if (ahead.empty()) return got;
    if (got < 0) got = 0;
    const std::size_t total = ahead.size() + static_cast<std::size_t>(got);
    char* joined = static_cast<char*>(std::calloc(total + 1, 1));
    if (!joined) throw Poco::OutOfMemoryException();
    std::memcpy(joined, ahead.data(), ahead.size());
    if (got > 0 && buffer) std::memcpy(joined + ahead.size(), buffer, static_cast<std::size_t>(got));
    std::free(buffer);
    buffer = joined;
    ahead.clear();
    return static_cast<int>(total);
}

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
