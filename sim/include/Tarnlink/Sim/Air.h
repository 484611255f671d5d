#ifndef Tarnlink_Sim_Air_INCLUDED
#define Tarnlink_Sim_Air_INCLUDED

#include <Tarnlink/Sim/Sim.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

namespace Tarnlink {
namespace Sim {

/// The radio space several simulated controllers share: a channel on which one of them
/// streams is busy for every other one that listens there. Thread-safe; its lock is always
/// taken last, under a simulator's own.
class TarnlinkSim_API Air
{
public:
    /// The holder's network streams on this channel code (it leaves any other it held).
    void occupy(const void* holder, unsigned code)
    {
        std::lock_guard<std::mutex> guard(_mutex);
        auto found = _codes.find(holder);
        if (found != _codes.end() && found->second == code) return;
        _codes[holder] = code;
        ++_revision;
    }
    void release(const void* holder)
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_codes.erase(holder)) ++_revision;
    }
    /// Someone else streams on this channel code.
    bool busyFor(const void* listener, unsigned code) const
    {
        std::lock_guard<std::mutex> guard(_mutex);
        for (const auto& entry : _codes)
            if (entry.first != listener && entry.second == code) return true;
        return false;
    }
    /// Changes with every occupation and release: a listener looks again when it moved.
    std::uint64_t revision() const { return _revision.load(); }

private:
    mutable std::mutex _mutex;
    std::map<const void*, unsigned> _codes;
    std::atomic<std::uint64_t> _revision{0};
};

} // namespace Sim
} // namespace Tarnlink

#endif
