#ifndef Tarnlink_ReadRawDataCommand_INCLUDED
#define Tarnlink_ReadRawDataCommand_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Command.h>

namespace Tarnlink {

/// Drains bytes without parsing them; count 0 or less takes everything pending.
/// Not thread-safe: used by one thread at a time.
class Tarnlink_API ReadRawDataCommand : public Command
{
public:
    ReadRawDataCommand(int count, std::string* result);
    using Command::execute;
    bool execute(Poco::DeviceIO::Channel& channel, std::ostream& log) override;

private:
    int _count;
    std::string* _result;
};

} // namespace Tarnlink

#endif
