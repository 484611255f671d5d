#include <Tarnlink/Sim/Recorder.h>

namespace Tarnlink {
namespace Sim {

std::vector<Record> Recorder::of(Record::Kind kind) const
{
    std::vector<Record> out;
    for (const Record& r : _records)
        if (r.kind == kind) out.push_back(r);
    return out;
}

std::vector<Record> Recorder::requests(int opcode, int address) const
{
    std::vector<Record> out;
    for (const Record& r : _records)
        if (r.kind == Record::Request && (opcode < 0 || r.opcode == opcode) && (address < 0 || r.address == address))
            out.push_back(r);
    return out;
}

std::size_t Recorder::count(Record::Kind kind) const
{
    std::size_t n = 0;
    for (const Record& r : _records)
        if (r.kind == kind) ++n;
    return n;
}

void Recorder::add(Record record)
{
    if (!_enabled) return;
    bool stream = record.kind == Record::Frame || record.kind == Record::PairingReport || record.kind == Record::Noise;
    if (stream && !_streams) return;
    _records.push_back(std::move(record));
}

} // namespace Sim
} // namespace Tarnlink
