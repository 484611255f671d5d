#ifndef Tarnlink_Sim_ScopedVirtualSleep_INCLUDED
#define Tarnlink_Sim_ScopedVirtualSleep_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sleep.h>

namespace Tarnlink {
namespace Sim {

/// Binds the library's sleep hook to a simulator's virtual clock for the object's lifetime:
/// a fixed wait of n ms advances the simulator by n ms instead of sleeping.
class TarnlinkSim_API ScopedVirtualSleep
{
public:
    explicit ScopedVirtualSleep(Simulator& simulator)
        : _scoped([&simulator](unsigned long ms) { simulator.advance(static_cast<Micros>(ms) * 1000); })
    {
    }

private:
    Tarnlink::ScopedSleepFunction _scoped;
};

} // namespace Sim
} // namespace Tarnlink

#endif
