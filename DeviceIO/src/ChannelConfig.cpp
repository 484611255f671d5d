#include <Poco/DeviceIO/ChannelConfig.h>
#include <Poco/Exception.h>

namespace Poco {
namespace DeviceIO {

ChannelConfig::ChannelConfig(const std::string& n, int t) : name(n), timeout(t) {}

ChannelConfig::~ChannelConfig() = default;

void ChannelConfig::setTimeout(int milliseconds)
{
    if (milliseconds < 0 && milliseconds != -1) throw Poco::InvalidArgumentException("Invalid timeout value");
    timeout = milliseconds;
}

void ChannelConfig::setBlocking()
{
    timeout = -1;
}

void ChannelConfig::setTimeoutImpl(int milliseconds)
{
    timeout = milliseconds;
}

} // namespace DeviceIO
} // namespace Poco
