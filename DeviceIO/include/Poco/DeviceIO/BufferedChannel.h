#ifndef Poco_DeviceIO_BufferedChannel_INCLUDED
#define Poco_DeviceIO_BufferedChannel_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>
#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Channel.h>
#include <cstddef>
#include <string>
#include <vector>

namespace Poco {
namespace DeviceIO {

/// Reads a wrapped channel a buffer's worth at a time: bytes that arrived together cost one
/// call of the channel, and later reads are served from memory. What a read hands out, and
/// where a read times out, are what the wrapped channel would give: a read ahead that comes
/// back short stands for a time-out, which the read that reaches that point reports. Held
/// bytes go where the channel's own would: configure() (the purge), open(), close() and the
/// pending read's purge drop them. A channel that cannot read ahead (Channel::readAhead
/// returns -1) is passed through untouched.
/// Not thread-safe: used from the thread that drives the controller, like the channel it wraps.
class DeviceIO_API BufferedChannel : public Channel
{
public:
    static const int DEFAULT_CAPACITY = 4096;

    /// Shares the wrapped channel's configuration.
    explicit BufferedChannel(Channel* inner, int capacity = DEFAULT_CAPACITY);

    void open() override;
    void close() override;
    void configure() override;
    void setTimeout(int milliseconds) override;
    void setBlocking() override;
    void applyTimeout(int milliseconds) override;
    int read(char*& buffer) override;
    int read(char* buffer, int length) override;
    int write(const char* data, int length) override;

    /// Reads ahead until at least count bytes are held, unless the channel times out first
    /// or cannot read ahead; returns the count held.
    std::size_t fill(std::size_t count);
    const char* held() const { return _buffer.data() + _begin; }
    std::size_t heldCount() const { return _end - _begin; }
    /// Hands out count held bytes as read() would have.
    void consume(std::size_t count);

    Channel& inner() const { return const_cast<Channel&>(*_inner); }

protected:
    ~BufferedChannel() override;

private:
    /// One readAhead of the channel for the bytes missing up to count; false when it cannot read ahead.
    bool readMore(std::size_t count);
    void drop();

    Poco::AutoPtr<Channel> _inner;
    std::vector<char> _buffer;
    std::size_t _begin = 0;
    std::size_t _end = 0;
    /// The last read ahead came back short: the channel timed out right after the held bytes.
    bool _timedOut = false;
};

} // namespace DeviceIO
} // namespace Poco

#endif
