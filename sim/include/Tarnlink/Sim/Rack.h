#ifndef Tarnlink_Sim_Rack_INCLUDED
#define Tarnlink_Sim_Rack_INCLUDED

#include <Tarnlink/Sim/Simulator.h>
#include <cstdint>
#include <memory>
#include <vector>

namespace Tarnlink {
namespace Sim {

/// Several simulated controllers, each with its own pods, on one virtual clock and in one
/// air: a channel one of them streams on is busy for the others' channel searches, and a
/// virtual-time test that moves the clock moves it for all of them.
class TarnlinkSim_API Rack
{
public:
    explicit Rack(std::uint32_t seed = 1);
    Rack(const Rack&) = delete;
    Rack& operator=(const Rack&) = delete;

    /// A new controller; its seed follows from the rack's and its place, so that two
    /// controllers never make the same noise.
    Simulator& add(Generation generation = Generation::Second);
    std::size_t size() const { return _simulators.size(); }
    Simulator& operator[](std::size_t index) { return *_simulators.at(index); }

    VirtualClock& clock() { return *_clock; }
    Air& air() { return *_air; }
    /// Moves the shared clock; every controller produces what happens meanwhile.
    void advance(Micros dt);

    /// The serial of pod `index` (from 0) of controller `controller` as drfn3 sim numbers
    /// them: A10001 up for the first controller, A10101 up for the second, and so on.
    static std::uint32_t serialOf(std::size_t controller, std::size_t index)
    {
        return static_cast<std::uint32_t>(0xA10001 + 0x100 * controller + index);
    }

private:
    std::uint32_t _seed;
    std::shared_ptr<VirtualClock> _clock;
    std::shared_ptr<Air> _air;
    std::vector<std::unique_ptr<Simulator>> _simulators;
};

} // namespace Sim
} // namespace Tarnlink

#endif
