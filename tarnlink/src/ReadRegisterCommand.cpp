#include <Tarnlink/ReadRegisterCommand.h>

namespace Tarnlink {

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

} // namespace Tarnlink
