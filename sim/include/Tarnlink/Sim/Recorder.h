#ifndef Tarnlink_Sim_Recorder_INCLUDED
#define Tarnlink_Sim_Recorder_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <Tarnlink/Sim/VirtualClock.h>
#include <cstdint>
#include <string>
#include <vector>

namespace Tarnlink {
namespace Sim {

/// One message that crossed the wire.
struct Record
{
    enum Kind
    {
        Request,       ///< 8 bytes from the host (marker, opcode, address, value)
        Reply,         ///< register echo or read reply, or FF FF FF FF
        Frame,         ///< data frame (id 1)
        PairingReport, ///< pairing report (id 6)
        Noise,         ///< bytes heard on a busy channel
        Discarded      ///< host bytes outside any request
    };

    Kind kind = Request;
    /// Request: when it was written; others: when its first byte became readable.
    Micros time = 0;
    /// Exactly the bytes that crossed, faults included.
    std::string bytes;
    /// Request and Reply: opcode, address and value as the host sent them (for a reply,
    /// of the request it answers). Frames: opcode 1, address = slot, value = frame number.
    std::uint8_t opcode = 0;
    std::uint8_t address = 0;
    std::uint16_t value = 0;
    /// Pod concerned: selected serial for slave opcodes, sender for frames and reports.
    std::uint32_t serial = 0;
};

/// Everything the simulator received and sent, in order, with virtual times.
class TarnlinkSim_API Recorder
{
public:
    const std::vector<Record>& records() const { return _records; }
    /// Records of one kind, in order.
    std::vector<Record> of(Record::Kind kind) const;
    /// Requests with that opcode (and address, when given).
    std::vector<Record> requests(int opcode = -1, int address = -1) const;
    std::size_t count(Record::Kind kind) const;
    void clear() { _records.clear(); }

    /// Frames, reports and noise are recorded unless switched off (long streaming runs).
    void setRecordStreams(bool on) { _streams = on; }
    bool recordStreams() const { return _streams; }
    void setEnabled(bool on) { _enabled = on; }

    void add(Record record);

private:
    std::vector<Record> _records;
    bool _streams = true;
    bool _enabled = true;
};

} // namespace Sim
} // namespace Tarnlink

#endif
