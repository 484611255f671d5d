#include <Tarnlink/ReadFrameCommand.h>

namespace Tarnlink {

ReadFrameCommand::ReadFrameCommand(const std::string& marker, std::uint8_t frameId, std::uint32_t length,
                                   std::string* result)
    : _marker(marker), _request(1, static_cast<char>(frameId)), _length(length), _result(result)
{
}

bool ReadFrameCommand::execute(Poco::DeviceIO::Channel& channel, std::ostream& log)
{
    // The body buffer is kept between frames: one command serving every frame allocates nothing,
    // and the caller's string changes only when a frame is accepted.
    std::string& body = _body;
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

} // namespace Tarnlink
