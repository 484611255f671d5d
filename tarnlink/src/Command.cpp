#include <Poco/DeviceIO/BufferedChannel.h>
#include <Tarnlink/Command.h>
#include <Tarnlink/RegisterMap.h>
#include <cstring>

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
    // Through the protocol's read-ahead a reply usually starts right where the last one ended:
    // then it is taken whole from what one read brought. Anything else goes the byte-wise way
    // below over the same held bytes, so what is skipped, logged and timed out stays the same.
    if (auto* buffered = dynamic_cast<Poco::DeviceIO::BufferedChannel*>(&channel))
    {
        const std::size_t whole = marker.size() + length;
        if (buffered->fill(whole) >= whole && std::memcmp(buffered->held(), marker.data(), marker.size()) == 0)
        {
            body.assign(buffered->held() + marker.size(), length);
            buffered->consume(whole);
            return true;
        }
    }
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

} // namespace Tarnlink
