#include <Tarnlink/ReadRawDataCommand.h>

namespace Tarnlink {

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
