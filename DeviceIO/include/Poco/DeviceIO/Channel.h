#ifndef Poco_DeviceIO_Channel_INCLUDED
#define Poco_DeviceIO_Channel_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/ChannelConfig.h>
#include <Poco/RefCountedObject.h>
#include <string>

namespace Poco {
namespace DeviceIO {

/// A byte channel to a controller. Concrete channels open their device in the constructor.
/// Not thread-safe: used from the one thread that drives the controller; only the reference
/// count may be touched from elsewhere.
class DeviceIO_API Channel : public Poco::RefCountedObject
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
    /// Reads as read(buffer, length) does, but may hand over up to capacity bytes that have
    /// already arrived; never waits for more than length. The base implementation reads
    /// nothing and returns -1: a channel that cannot tell what has arrived is read with read().
    virtual int readAhead(char* buffer, int length, int capacity);
    /// The pending read of read(buffer), with ahead holding bytes read earlier and not yet
    /// handed out (a buffering layer's): they come first, as if still waiting in the device,
    /// and what is left of them stays in ahead. The base implementation reads with
    /// read(buffer) and puts all of ahead in front.
    virtual int readPending(char*& buffer, std::string& ahead);

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
