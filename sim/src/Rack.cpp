#include <Tarnlink/Sim/Rack.h>

namespace Tarnlink {
namespace Sim {

Rack::Rack(std::uint32_t seed) : _seed(seed), _clock(std::make_shared<VirtualClock>()), _air(std::make_shared<Air>()) {}

Simulator& Rack::add(Generation generation)
{
    const std::uint32_t seed = _seed + 7919u * static_cast<std::uint32_t>(_simulators.size());
    _simulators.push_back(std::make_unique<Simulator>(generation, seed, _clock, _air));
    return *_simulators.back();
}

void Rack::advance(Micros dt)
{
    if (_simulators.empty())
    {
        _clock->advance(dt);
        return;
    }
    _simulators.front()->advance(dt);
    for (std::size_t i = 1; i < _simulators.size(); ++i) _simulators[i]->advance(0);
}

} // namespace Sim
} // namespace Tarnlink
