#include "ScriptedChannel.h"
#include <Poco/DeviceIO/ChannelConfig.h>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace Tests {

namespace {
class ScriptedConfig : public Poco::DeviceIO::ChannelConfig
{
public:
    ScriptedConfig() : ChannelConfig("scripted", 200) {}
};
} // namespace

ScriptedChannel::ScriptedChannel() : Channel(new ScriptedConfig, "")
{
    config->release(); // the base took its own reference
}

ScriptedChannel& ScriptedChannel::deliver(const std::string& bytes)
{
    if (!_script.empty() && !_script.back().isTimeout)
        _script.back().bytes += bytes;
    else
        _script.push_back(Chunk{false, bytes});
    return *this;
}

ScriptedChannel& ScriptedChannel::deliverHex(const std::string& hexText)
{
    std::istringstream in(hexText);
    std::string token, bytes;
    while (in >> token) bytes += static_cast<char>(std::stoul(token, nullptr, 16));
    return deliver(bytes);
}

ScriptedChannel& ScriptedChannel::timeout()
{
    _script.push_back(Chunk{true, std::string()});
    return *this;
}

std::size_t ScriptedChannel::unread() const
{
    std::size_t n = 0;
    for (const auto& c : _script) n += c.bytes.size();
    return n;
}

int ScriptedChannel::read(char*& buffer)
{
    ++_pendingReadCalls;
    std::string pending;
    if (!_script.empty())
    {
        if (_script.front().isTimeout)
        {
            _script.pop_front();
        }
        else
        {
            pending = _script.front().bytes;
            _script.pop_front();
        }
    }
    buffer = static_cast<char*>(std::calloc(pending.size() + 1, 1));
    std::memcpy(buffer, pending.data(), pending.size());
    return static_cast<int>(pending.size());
}

int ScriptedChannel::read(char* buffer, int length)
{
    ++_readCalls;
    if (_script.empty() || length <= 0) return 0;
    Chunk& front = _script.front();
    if (front.isTimeout)
    {
        _script.pop_front();
        return 0;
    }
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(length), front.bytes.size());
    std::memcpy(buffer, front.bytes.data(), n);
    front.bytes.erase(0, n);
    if (front.bytes.empty()) _script.pop_front();
    return static_cast<int>(n);
}

int ScriptedChannel::write(const char* data, int length)
{
    std::string bytes(data, static_cast<std::size_t>(length));
    _written += bytes;
    _writes.push_back(bytes);
    if (_responder) _responder(*this, bytes);
    if (_shortWrite >= 0)
    {
        int n = _shortWrite;
        _shortWrite = -1;
        return n;
    }
    return length;
}

std::string ScriptedChannel::hex(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text)
    {
        if (!out.empty()) out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace Tests
