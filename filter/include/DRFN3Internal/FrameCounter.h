#ifndef DRFN3Internal_FrameCounter_INCLUDED
#define DRFN3Internal_FrameCounter_INCLUDED

#include <cstdint>

namespace DRFN3Internal {

/// Unwraps a pod's wrapping radio frame number and measures frame loss over windows of at
/// least LOSS_WINDOW frame numbers.
class FrameCounter
{
public:
    static constexpr int DEFAULT_PERIOD = 65535;
    static constexpr int LOSS_WINDOW = 200;

    /// period is the largest frame number before the counter wraps to 0.
    explicit FrameCounter(int period = DEFAULT_PERIOD);

    /// False when the frame is to be dropped: the first frame after a reset (its number
    /// becomes the base the next one is measured from) or a repeat of the previous number.
    /// frameNumber must lie in [0, period].
    bool update(int frameNumber);
    void reset();

    /// (period + 1) * wraps + last frame number.
    std::int64_t getUnwrappedCount() const;
    /// lost / span of the last completed window; 0 until a window completes.
    double getLossRatio() const;
    /// Frames lost in the window still open.
    int getLostFrames() const { return _lost; }
    int getLastFrameNumber() const { return _last; }
    int getPeriod() const { return _period; }

private:
    bool _firstFrame = true;
    int _last = 0;
    int _period;
    std::int64_t _wraps = 0;
    double _lossRatio = 0.0;
    int _lost = 0;
    int _span = 0;
};

} // namespace DRFN3Internal

#endif
