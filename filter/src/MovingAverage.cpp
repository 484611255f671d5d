#include "DRFN3Internal/MovingAverage.h"

namespace DRFN3Internal {

MovingAverage::MovingAverage(int window)
{
    resize(window);
}

void MovingAverage::resize(int window)
{
    _window = window < 1 ? 1 : window;
    _count = 0;
    _ring.assign(static_cast<std::size_t>(_window), 0.0);
    _index = 0;
    _sum = 0.0;
}

void MovingAverage::add(double x)
{
    double& slot = _ring[static_cast<std::size_t>(_index)];
    _sum += x - slot;
    slot = x;
    if (++_index == _window) _index = 0;
    if (_count < _window) ++_count;
}

double MovingAverage::mean() const
{
    return _count < 1 ? 0.0 : _sum / _count;
}

} // namespace DRFN3Internal
