// Feeds arbitrary controller byte streams to every reply reader, with logging on.
#include <Poco/DeviceIO/Channel.h>
#include <Poco/DeviceIO/ChannelConfig.h>
#include <Tarnlink/Command.h>
#include <Tarnlink/ReadFrameCommand.h>
#include <Tarnlink/ReadRawDataCommand.h>
#include <Tarnlink/ReadRegisterCommand.h>
#include <Tarnlink/WriteRegisterCommand.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

/// Delivers the input in chunks whose sizes come from the input itself; a zero-size chunk is a time-out.
class StreamChannel : public Poco::DeviceIO::Channel
{
public:
    StreamChannel(const std::uint8_t* data, std::size_t size)
        : Channel(nullptr, ""), _data(reinterpret_cast<const char*>(data)), _size(size)
    {
    }
    void open() override {}
    void close() override {}
    int read(char*& buffer) override
    {
        const std::size_t n = take(_size);
        buffer = static_cast<char*>(std::calloc(n + 1, 1));
        std::memcpy(buffer, _data + _pos - n, n);
        return static_cast<int>(n);
    }
    int read(char* buffer, int length) override
    {
        const std::size_t n = take(static_cast<std::size_t>(length));
        std::memcpy(buffer, _data + _pos - n, n);
        return static_cast<int>(n);
    }
    int write(const char*, int length) override { return length; }

private:
    std::size_t take(std::size_t max)
    {
        if (_pos >= _size) return 0;
        std::size_t n = std::min(max, _size - _pos);
        if ((static_cast<unsigned char>(_data[_pos]) & 0x3F) == 0x3F) n = 0; // an occasional time-out
        _pos += n;
        return n;
    }
    const char* _data;
    std::size_t _size;
    std::size_t _pos = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    const std::string& marker = Tarnlink::Command::frameMarker();
    Poco::AutoPtr<StreamChannel> channel(new StreamChannel(data + 1, size - 1));
    std::ostringstream log;
    std::uint32_t value = 0;
    std::string frame;
    switch (data[0] % 4)
    {
    case 0:
    {
        Tarnlink::ReadRegisterCommand cmd(marker, 5, 0, &value);
        if (cmd.execute(*channel, log) && value > 0xFFFF) __builtin_trap();
        break;
    }
    case 1:
    {
        Tarnlink::WriteRegisterCommand cmd(marker, 2, 0x85, 0x1234, true);
        cmd.execute(*channel, log);
        break;
    }
    case 2:
    {
        Tarnlink::ReadFrameCommand cmd(marker, 1, 22, &frame);
        if (cmd.execute(*channel, log) && frame.size() != 22) __builtin_trap();
        break;
    }
    default:
    {
        Tarnlink::ReadRawDataCommand cmd(static_cast<int>(data[0]) - 128, &frame);
        cmd.execute(*channel, log);
        break;
    }
    }
    return 0;
}
