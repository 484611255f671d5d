#include <Tarnlink/Command.h>
#include <Tarnlink/ReadFrameCommand.h>
#include <Tarnlink/ReadRawDataCommand.h>
#include <Tarnlink/ReadRegisterCommand.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/WriteRegisterCommand.h>

namespace Tarnlink {

namespace {
const std::string ctrlTimeout("\xFF\xFF\xFF\xFF", 4);

std::string txLine(const std::string& marker, const std::string& request)
{
    const auto opcode = static_cast<std::uint8_t>(request[0]);
    const auto address = static_cast<std::uint8_t>(request[1]);
    return "TX" + Command::dump(marker) + Command::dump(request) + " [" + RegisterMap::logOpcodeName(opcode) + "] " +
           RegisterMap::logRegisterName(opcode, address);
}
} // namespace

bool Command::execute(Poco::DeviceIO::Channel& channel)
{
    // A stream without a buffer is failed for good, which tells the exchange not to build its
    // log lines at all; nothing ever writes to it, so one serves every thread.
    static std::ostream discard(nullptr);
    return execute(channel, discard);
}

const std::string& Command::frameMarker()
{
    static const std::string marker("\x55\xAA\x55\xAA", 4);
    return marker;
}

std::string Command::dump(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (unsigned char c : bytes)
    {
        out += ':';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool Command::sendRequest(Poco::DeviceIO::Channel& channel, std::ostream& log, const std::string& marker,
                          const std::string& request)
{
    const std::string bytes = marker + request;
    const int written = channel.write(bytes.data(), static_cast<int>(bytes.size()));
    if (written != static_cast<int>(bytes.size()))
    {
        if (log) log << txLine(marker, request) << " (FAIL)" << std::endl;
        return false;
    }
    if (log) log << txLine(marker, request) << std::endl;
    return true;
}

bool Command::readMarkedBody(Poco::DeviceIO::Channel& channel, std::ostream& log, const std::string& marker,
                             std::size_t length, std::string& body)
{
    std::size_t matched = 0;
    std::string skipped;
    while (matched < marker.size())
    {
        char byte = 0;
        // A controller listening on a busy channel never falls silent: without a bound, a reply
        // lost in its noise would keep the search going for ever.
        if (skipped.size() >= MAX_SKIPPED_BYTES || channel.read(&byte, 1) <= 0)
        {
            if (log && !skipped.empty()) log << "RX" << dump(skipped) << " (GARBAGE)" << std::endl;
            if (log) log << "RX" << dump(marker.substr(0, matched)) << ":... (COM_TIMEOUT)" << std::endl;
            return false;
        }
        if (byte == marker[matched])
        {
            ++matched;
        }
        else
        {
            // The breaking byte is not retried as a first marker byte; the partial match is dropped unreported.
            skipped += byte;
            matched = 0;
        }
    }
    if (log && !skipped.empty()) log << "RX" << dump(skipped) << " (DISCARD)" << std::endl;

    channel.readString(body, static_cast<int>(length));
    if (body.size() < length)
    {
        if (log) log << "RX" << dump(marker) << dump(body) << ":... (COM_TIMEOUT)" << std::endl;
        return false;
    }
    return true;
}

bool Command::awaitRegisterReply(Poco::DeviceIO::Channel& channel, std::ostream& log, const std::string& marker,
                                 std::string& body, const std::function<bool(const std::string&)>& accept)
{
    for (int tries = 0; tries < 3; ++tries)
    {
        if (!readMarkedBody(channel, log, marker, 4, body)) return false;
        if (body == ctrlTimeout)
        {
            if (log) log << "RX" << dump(marker) << dump(body) << " (CTRL_TIMEOUT)" << std::endl;
            return false;
        }
        if (accept(body))
        {
            if (log) log << "RX" << dump(marker) << dump(body) << std::endl;
            return true;
        }
        if (log) log << "RX" << dump(marker) << dump(body) << " (FAIL)" << std::endl;
    }
    return false;
}

ReadRegisterCommand::ReadRegisterCommand(const std::string& marker, std::uint8_t opcode, std::uint8_t address,
                                         std::uint32_t* result)
    : _marker(marker), _result(result)
{
    _request = {static_cast<char>(opcode), static_cast<char>(address), 0, 0};
}

bool ReadRegisterCommand::execute(Poco::DeviceIO::Channel& channel, std::ostream& log)
{
    if (!sendRequest(channel, log, _marker, _request)) return false;
    std::string body;
    // A read reply counts on its opcode and address; the value is whatever follows.
    if (!awaitRegisterReply(channel, log, _marker, body,
                            [this](const std::string& b) { return b[0] == _request[0] && b[1] == _request[1]; }))
        return false;
    if (_result)
        *_result = static_cast<std::uint32_t>(static_cast<unsigned char>(body[2])) * 256u +
                   static_cast<unsigned char>(body[3]);
    return true;
}

WriteRegisterCommand::WriteRegisterCommand(const std::string& marker, std::uint8_t opcode, std::uint8_t address,
                                           std::uint16_t value, bool waitForEcho)
    : _marker(marker), _waitForEcho(waitForEcho)
{
    _request = {static_cast<char>(opcode), static_cast<char>(address), static_cast<char>(value >> 8),
                static_cast<char>(value & 0xFF)};
}

bool WriteRegisterCommand::execute(Poco::DeviceIO::Channel& channel, std::ostream& log)
{
    if (!sendRequest(channel, log, _marker, _request)) return false;
    if (!_waitForEcho) return true;
    std::string body;
    return awaitRegisterReply(channel, log, _marker, body, [this](const std::string& b) { return b == _request; });
}

ReadFrameCommand::ReadFrameCommand(const std::string& marker, std::uint8_t frameId, std::uint32_t length,
                                   std::string* result)
    : _marker(marker), _request(1, static_cast<char>(frameId)), _length(length), _result(result)
{
}

bool ReadFrameCommand::execute(Poco::DeviceIO::Channel& channel, std::ostream& log)
{
    // One body buffer per thread, kept between frames: a frame loop then allocates nothing, and
    // the caller's string changes only when a frame is accepted.
    thread_local std::string body;
    for (int tries = 0; tries < 3; ++tries)
    {
        if (!readMarkedBody(channel, log, _marker, _length + 1, body)) return false;
        if (body[0] == _request[0])
        {
            if (_result) _result->assign(body, 1, _length);
            if (log)
                log << "RX" << dump(_marker) << dump(body)
                    << " [DATA_FRAME] id:" << static_cast<unsigned>(static_cast<unsigned char>(_request[0]))
                    << std::endl;
            return true;
        }
        if (log) log << "RX" << dump(_marker) << dump(body) << " (FAIL)" << std::endl;
    }
    return false;
}

ReadRawDataCommand::ReadRawDataCommand(int count, std::string* result) : _count(count), _result(result) {}

bool ReadRawDataCommand::execute(Poco::DeviceIO::Channel& channel, std::ostream& log)
{
    if (log) log << "RX: [READ_RAW_DATA]" << std::endl;
    std::string bytes;
    channel.readString(bytes, _count);
    if (log && !bytes.empty()) log << "RX" << dump(bytes) << std::endl;
    if (_result) *_result = bytes;
    return true;
}

} // namespace Tarnlink
