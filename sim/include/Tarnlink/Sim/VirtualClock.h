#ifndef Tarnlink_Sim_VirtualClock_INCLUDED
#define Tarnlink_Sim_VirtualClock_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <atomic>
#include <cstdint>
#include <limits>

namespace Tarnlink {
namespace Sim {

/// Simulated time in microseconds since the simulator was created.
typedef std::int64_t Micros;

/// A moment that never comes.
constexpr Micros kNever = std::numeric_limits<Micros>::max();

/// Monotonic virtual clock. It only moves when someone moves it: the in-process channel
/// (a read that would wait), the bound sleep hook, a test, or the pty server (real time).
class TarnlinkSim_API VirtualClock
{
public:
    Micros now() const { return _now.load(); }
    /// Moves forward by dt (negative values are ignored).
    void advance(Micros dt)
    {
        if (dt > 0) _now.fetch_add(dt);
    }
    /// Moves forward to t; a t in the past is ignored.
    void advanceTo(Micros t)
    {
        Micros current = _now.load();
        while (t > current && !_now.compare_exchange_weak(current, t))
        {
        }
    }

private:
    std::atomic<Micros> _now{0};
};

} // namespace Sim
} // namespace Tarnlink

#endif
