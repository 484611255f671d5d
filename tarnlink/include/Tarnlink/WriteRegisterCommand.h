#ifndef Tarnlink_WriteRegisterCommand_INCLUDED
#define Tarnlink_WriteRegisterCommand_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Command.h>
#include <cstdint>

namespace Tarnlink {

/// Writes a 16-bit register and, when asked, waits for the controller's echo.
/// Not thread-safe: used by one thread at a time.
class Tarnlink_API WriteRegisterCommand : public Command
{
public:
    WriteRegisterCommand(const std::string& marker, std::uint8_t opcode, std::uint8_t address, std::uint16_t value,
                         bool waitForEcho);
    using Command::execute;
    bool execute(Poco::DeviceIO::Channel& channel, std::ostream& log) override;

private:
    std::string _marker;
    std::string _request;
    bool _waitForEcho;
};

} // namespace Tarnlink

#endif
