#ifndef Tarnlink_ReadRegisterCommand_INCLUDED
#define Tarnlink_ReadRegisterCommand_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Command.h>
#include <cstdint>

namespace Tarnlink {

/// Reads a 16-bit register; a reply is accepted on its opcode and address.
/// Not thread-safe: used by one thread at a time.
class Tarnlink_API ReadRegisterCommand : public Command
{
public:
    ReadRegisterCommand(const std::string& marker, std::uint8_t opcode, std::uint8_t address, std::uint32_t* result);
    using Command::execute;
    bool execute(Poco::DeviceIO::Channel& channel, std::ostream& log) override;

private:
    std::string _marker;
    std::string _request;
    std::uint32_t* _result;
};

} // namespace Tarnlink

#endif
