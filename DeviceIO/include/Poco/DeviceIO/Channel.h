#ifndef Poco_DeviceIO_Channel_INCLUDED
#define Poco_DeviceIO_Channel_INCLUDED

#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/ChannelConfig.h>
#include <Poco/RefCountedObject.h>
#include <string>

namespace Poco {
namespace DeviceIO {

/// A byte channel to a controller. Concrete channels open their device in the constructor.
class Channel : public Poco::RefCountedObject
{
public:
    Channel(ChannelConfig* config, const std::string& name);

    virtual void open() = 0;
    virtual void close() = 0;
    virtual void setTimeout(int milliseconds);
    virtual void setBlocking();
    virtual void applyTimeout(int milliseconds);
    virtual void configure();
    /// Reads what is pending into a calloc'd buffer the caller frees; returns the count.
    virtual int read(char*& buffer) = 0;
    /// Reads at most length bytes; 0 when the time-out passed with nothing received.
    virtual int read(char* buffer, int length) = 0;
    /// Returns length on success; throws on failure.
    virtual int write(const char* data, int length) = 0;

    /// count < 1 reads whatever is pending; otherwise one read of up to count bytes.
    std::string& readString(std::string& out, int count);

    const std::string& getName() const { return name; }
    /// The configuration, or null; the channel keeps its own reference.
    ChannelConfig* getConfig() const { return const_cast<ChannelConfig*>(config.get()); }

protected:
    ~Channel() override;

    std::string name;
    std::string reserved;
    Poco::AutoPtr<ChannelConfig> config;
};

} // namespace DeviceIO
} // namespace Poco

#endif
