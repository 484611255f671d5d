#ifndef Tests_ScriptedChannel_INCLUDED
#define Tests_ScriptedChannel_INCLUDED

#include <Poco/DeviceIO/Channel.h>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace Tests {

/// An in-memory channel that plays a script: bytes to deliver, time-outs between them,
/// and records what was written. Nothing waits; a time-out is just a read returning 0.
class ScriptedChannel : public Poco::DeviceIO::Channel
{
public:
    /// Called after every write with the bytes written; may queue replies.
    typedef std::function<void(ScriptedChannel&, const std::string&)> Responder;

    ScriptedChannel();

    /// Queues bytes that later reads deliver.
    ScriptedChannel& deliver(const std::string& bytes);
    /// Queues bytes given as hex text, for example "55 aa 55 aa 05 00 00 12".
    ScriptedChannel& deliverHex(const std::string& hex);
    /// Queues a time-out: the read that reaches it returns 0.
    ScriptedChannel& timeout();
    void setResponder(Responder responder) { _responder = std::move(responder); }
    /// Makes the next write report this many bytes written (once).
    void shortWrite(int count) { _shortWrite = count; }

    const std::string& written() const { return _written; }
    const std::vector<std::string>& writes() const { return _writes; }
    int readCalls() const { return _readCalls; }
    int pendingReadCalls() const { return _pendingReadCalls; }
    std::size_t unread() const;
    void clearWritten()
    {
        _written.clear();
        _writes.clear();
    }
    bool isOpen() const { return _open; }

    void open() override { _open = true; }
    void close() override { _open = false; }
    int read(char*& buffer) override;
    int read(char* buffer, int length) override;
    int write(const char* data, int length) override;

    static std::string hex(const std::string& text);

private:
    struct Chunk
    {
        bool isTimeout;
        std::string bytes;
    };
    std::deque<Chunk> _script;
    std::string _written;
    std::vector<std::string> _writes;
    Responder _responder;
    int _shortWrite = -1;
    int _readCalls = 0;
    int _pendingReadCalls = 0;
    bool _open = true;
};

} // namespace Tests

#endif
