#ifndef Tarnlink_ReadFrameCommand_INCLUDED
#define Tarnlink_ReadFrameCommand_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Command.h>
#include <cstdint>

namespace Tarnlink {

/// Waits for a streamed frame with the given id and a body of length bytes after the id.
/// Not thread-safe: one execution at a time.
class Tarnlink_API ReadFrameCommand : public Command
{
public:
    ReadFrameCommand(const std::string& marker, std::uint8_t frameId, std::uint32_t length, std::string* result);
    /// Points the command at another frame length and result string, so one object serves every frame.
    void retarget(std::uint32_t length, std::string* result)
    {
        _length = length;
        _result = result;
    }
    using Command::execute;
    bool execute(Poco::DeviceIO::Channel& channel, std::ostream& log) override;

private:
    std::string _marker;
    std::string _request;
    std::uint32_t _length;
    std::string* _result;
    std::string _body;
};

} // namespace Tarnlink

#endif
