#include "DRFN3Internal/FrameCounter.h"

#include <algorithm>

namespace DRFN3Internal {

FrameCounter::FrameCounter(int period) : _period(period) {}

std::int64_t FrameCounter::ahead(int from, int to) const
{
    const std::int64_t modulus = static_cast<std::int64_t>(_period) + 1;
    return ((static_cast<std::int64_t>(to) - from) % modulus + modulus) % modulus;
}

void FrameCounter::commit(std::int64_t span, int frameNumber)
{
    _count += span;
    _last = frameNumber;
    _span += span;
    _lost += std::max<std::int64_t>(0, span - 1 - _damaged);
    _damaged = 0;
    _pending = false;
    if (_span >= LOSS_WINDOW)
    {
        _lossRatio = static_cast<double>(_lost) / static_cast<double>(_span);
        _span = 0;
        _lost = 0;
    }
}

bool FrameCounter::update(int frameNumber)
{
    if (_firstFrame)
    {
        // Keep the number: measuring the next frame from 0 would count every frame before
        // this one as lost whenever the pod's counter does not start at 0.
        _firstFrame = false;
        _last = frameNumber;
        _count = frameNumber;
        return false;
    }
    if (_pending)
    {
        const std::int64_t fromLast = ahead(_last, frameNumber);
        const std::int64_t fromSuspect = ahead(_suspect, frameNumber);
        if (fromLast == 0 || fromSuspect == 0) return false;
        const bool nearLast = fromLast <= RESYNC_WINDOW;
        if (fromSuspect == 1 || (!nearLast && fromSuspect <= RESYNC_WINDOW))
        {
            // The stream goes on from the suspect: its jump was real.
            commit(_pendingAhead, _suspect);
        }
        else
        {
            // A damaged number on a frame that did arrive: it fills one of the numbers in
            // between, and this frame is measured from the last believed one again.
            ++_damaged;
            _pending = false;
        }
    }
    const std::int64_t diff = ahead(_last, frameNumber);
    if (diff == 0) return false;
    if (diff == _damaged + 1)
    {
        commit(diff, frameNumber);
        return true;
    }
    // A frame number has no checksum: a jump is only believed once the next frame follows it.
    _pending = true;
    _pendingAhead = diff;
    _suspect = frameNumber;
    return true;
}

void FrameCounter::reset()
{
    _firstFrame = true;
    _pending = false;
    _pendingAhead = 0;
    _suspect = 0;
    _damaged = 0;
    _last = 0;
    _count = 0;
    _lossRatio = 0.0;
    _lost = 0;
    _span = 0;
}

std::int64_t FrameCounter::getUnwrappedCount() const
{
    return _pending ? _count + _pendingAhead : _count;
}

double FrameCounter::getLossRatio() const
{
    return _lossRatio;
}

} // namespace DRFN3Internal
