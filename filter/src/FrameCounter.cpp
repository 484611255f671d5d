#include "DRFN3Internal/FrameCounter.h"

namespace DRFN3Internal {

FrameCounter::FrameCounter(int period) : _period(period) {}

bool FrameCounter::update(int frameNumber)
{
    if (_firstFrame)
    {
        // Keep the number: measuring the next frame from 0 would count every frame before
        // this one as lost whenever the pod's counter does not start at 0.
        _firstFrame = false;
        _last = frameNumber;
        return false;
    }
    int diff = frameNumber - _last;
    if (diff == 0) return false;
    if (diff < 0)
    {
        ++_wraps;
        diff += _period + 1;
    }
    _last = frameNumber;
    _span += diff;
    _lost += diff - 1;
    if (_span >= LOSS_WINDOW)
    {
        _lossRatio = static_cast<double>(_lost) / static_cast<double>(_span);
        _span = 0;
        _lost = 0;
    }
    return true;
}

void FrameCounter::reset()
{
    _firstFrame = true;
    _last = 0;
    _wraps = 0;
    _lossRatio = 0.0;
    _lost = 0;
    _span = 0;
}

std::int64_t FrameCounter::getUnwrappedCount() const
{
    return (static_cast<std::int64_t>(_period) + 1) * _wraps + _last;
}

double FrameCounter::getLossRatio() const
{
    return _lossRatio;
}

} // namespace DRFN3Internal
