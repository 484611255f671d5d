#ifndef TarnlinkBench_ReplayChannel_INCLUDED
#define TarnlinkBench_ReplayChannel_INCLUDED

#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Channel.h>
#include <algorithm>
#include <cstring>
#include <string>

namespace TarnlinkBench {

/// Passes through to a set-up channel (the simulator) while recording what it reads; then either
/// serves the recording again and again from memory, so the library's cost is measured without
/// the source's, or diverts to another channel (a pseudo-terminal) with the controller already
/// streaming.
class ReplayChannel : public Poco::DeviceIO::Channel
{
public:
    /// Takes ownership of inner.
    explicit ReplayChannel(Poco::DeviceIO::Channel* inner)
        : Channel(inner->getConfig(), "replay"), _inner(inner), _target(inner, true)
    {
    }

    void record() { _recording = true; }
    void replay()
    {
        _replaying = !_bytes.empty();
        _recording = false;
        _pos = 0;
    }
    void passThrough()
    {
        _replaying = false;
        _recording = false;
        _target = _inner;
    }
    void divert(Poco::DeviceIO::Channel* other)
    {
        _replaying = false;
        _recording = false;
        _target.assign(other, true);
    }
    const std::string& recorded() const { return _bytes; }
    void clearRecording() { _bytes.clear(); }
    void setRecording(const std::string& bytes) { _bytes = bytes; }

    void open() override { _target->open(); }
    void close() override { _target->close(); }
    void configure() override { _target->configure(); }
    void applyTimeout(int milliseconds) override { _target->applyTimeout(milliseconds); }
    int read(char*& buffer) override { return _replaying ? 0 : _target->read(buffer); }
    int read(char* buffer, int length) override
    {
        if (!_replaying)
        {
            const int got = _target->read(buffer, length);
            if (_recording && got > 0) _bytes.append(buffer, static_cast<std::size_t>(got));
            return got;
        }
        // The marker search reads byte by byte: the replay should not cost more than the port would.
        if (length == 1)
        {
            *buffer = _bytes[_pos];
            if (++_pos == _bytes.size()) _pos = 0;
            return 1;
        }
        int done = 0;
        while (done < length)
        {
            const std::size_t n = std::min(_bytes.size() - _pos, static_cast<std::size_t>(length - done));
            std::memcpy(buffer + done, _bytes.data() + _pos, n);
            done += static_cast<int>(n);
            _pos += n;
            if (_pos == _bytes.size()) _pos = 0;
        }
        return done;
    }
    int write(const char* data, int length) override { return _replaying ? length : _target->write(data, length); }
    /// The whole recording has arrived: a read ahead takes all it has room for.
    int readAhead(char* buffer, int length, int capacity) override
    {
        if (_replaying) return read(buffer, std::max(length, capacity));
        const int got = _target->readAhead(buffer, length, capacity);
        if (_recording && got > 0) _bytes.append(buffer, static_cast<std::size_t>(got));
        return got;
    }

protected:
    ~ReplayChannel() override = default;

private:
    Poco::AutoPtr<Poco::DeviceIO::Channel> _inner;
    Poco::AutoPtr<Poco::DeviceIO::Channel> _target;
    std::string _bytes;
    std::size_t _pos = 0;
    bool _recording = false;
    bool _replaying = false;
};

} // namespace TarnlinkBench

#endif
