#include <Poco/Bugcheck.h>
#include <Poco/DeviceIO/BufferedChannel.h>
#include <Poco/Exception.h>
#include <algorithm>
#include <cstring>

namespace Poco {
namespace DeviceIO {

BufferedChannel::BufferedChannel(Channel* inner, int capacity)
    : Channel(inner ? inner->getConfig() : nullptr, inner ? inner->getName() : std::string()),
      _inner(inner, true),
      _buffer(static_cast<std::size_t>(std::max(capacity, 1)))
{
    if (!inner) throw Poco::NullPointerException("Buffered channel without a channel");
}

BufferedChannel::~BufferedChannel() = default;

void BufferedChannel::drop()
{
    _begin = 0;
    _end = 0;
    _timedOut = false;
}

void BufferedChannel::open()
{
    drop();
    _inner->open();
}

void BufferedChannel::close()
{
    drop();
    _inner->close();
}

void BufferedChannel::configure()
{
    drop();
    _inner->configure();
}

void BufferedChannel::setTimeout(int milliseconds)
{
    _inner->setTimeout(milliseconds);
}

void BufferedChannel::setBlocking()
{
    _inner->setBlocking();
}

void BufferedChannel::applyTimeout(int milliseconds)
{
    _inner->applyTimeout(milliseconds);
}

void BufferedChannel::consume(std::size_t count)
{
    _begin += std::min(count, heldCount());
    if (_begin == _end) _begin = _end = 0;
}

bool BufferedChannel::readMore(std::size_t count)
{
    const std::size_t have = heldCount();
    if (have >= count) return true;
    if (_buffer.size() < count) _buffer.resize(count);
    // Room at the end for a whole buffer's worth where possible: move what is held to the front.
    if (_begin > 0 && _buffer.size() - _end < std::max(count - have, _buffer.size() / 2))
    {
        std::memmove(_buffer.data(), _buffer.data() + _begin, have);
        _begin = 0;
        _end = have;
    }
    const int missing = static_cast<int>(count - have);
    const int room = static_cast<int>(_buffer.size() - _end);
    const int got = _inner->readAhead(_buffer.data() + _end, missing, room);
    if (got < 0) return false;
    if (!(got <= room)) Poco::Bugcheck::assertion("got <= room", __FILE__, __LINE__);
    _end += static_cast<std::size_t>(got);
    if (got < missing) _timedOut = true;
    return true;
}

std::size_t BufferedChannel::fill(std::size_t count)
{
    if (heldCount() < count && !_timedOut) readMore(count);
    return heldCount();
}

int BufferedChannel::read(char* buffer, int length)
{
    if (length <= 0) return 0;
    const std::size_t wanted = static_cast<std::size_t>(length);
    if (heldCount() < wanted && !_timedOut && !readMore(wanted))
    {
        // The channel reads only as asked (now, at least): what is held first, then the channel.
        const std::size_t n = heldCount();
        if (n == 0) return _inner->read(buffer, length);
        std::memcpy(buffer, held(), n);
        consume(n);
        const int more = _inner->read(buffer + n, length - static_cast<int>(n));
        return static_cast<int>(n) + std::max(more, 0);
    }
    const std::size_t n = std::min(wanted, heldCount());
    std::memcpy(buffer, held(), n);
    consume(n);
    if (n < wanted)
    {
        // Short: this read is the one that meets the time-out.
        std::memset(buffer + n, 0, wanted - n);
        _timedOut = false;
    }
    return static_cast<int>(n);
}

int BufferedChannel::read(char*& buffer)
{
    _timedOut = false;
    if (heldCount() == 0) return _inner->read(buffer);
    std::string ahead(held(), heldCount());
    // A channel that refuses the pending read throws here with the held bytes still held.
    const int got = _inner->readPending(buffer, ahead);
    drop();
    if (_buffer.size() < ahead.size()) _buffer.resize(ahead.size());
    std::memcpy(_buffer.data(), ahead.data(), ahead.size());
    _end = ahead.size();
    return got;
}

int BufferedChannel::write(const char* data, int length)
{
    // A request starts a new wait: a time-out seen before it is no longer ahead.
    _timedOut = false;
    return _inner->write(data, length);
}

} // namespace DeviceIO
} // namespace Poco
