#include <Tarnlink/WriteRegisterCommand.h>

namespace Tarnlink {

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

} // namespace Tarnlink
