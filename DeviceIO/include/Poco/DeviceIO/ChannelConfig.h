#ifndef Poco_DeviceIO_ChannelConfig_INCLUDED
#define Poco_DeviceIO_ChannelConfig_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/RefCountedObject.h>
#include <string>

namespace Poco {
namespace DeviceIO {

/// Settings a channel is opened with. The counter is a virtual base so that a
/// configuration that also derives from a platform implementation has one count.
/// Not thread-safe: set up before the channel is opened, by the thread that opens it.
class DeviceIO_API ChannelConfig : public virtual Poco::RefCountedObject
{
public:
    ChannelConfig(const std::string& name, int timeout);

    /// Read time-out in ms; -1 waits without limit. Anything else below 0 is refused.
    virtual void setTimeout(int milliseconds);
    virtual void setBlocking();
    /// Stores without validation; overrides apply the value to the device settings.
    virtual void setTimeoutImpl(int milliseconds);

    const std::string& getName() const { return name; }
    void setName(const std::string& n) { name = n; }
    int getTimeout() const { return timeout; }

protected:
    ~ChannelConfig() override;

    std::string name;
    int timeout;
};

} // namespace DeviceIO
} // namespace Poco

#endif
