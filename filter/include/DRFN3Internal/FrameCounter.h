#ifndef DRFN3Internal_FrameCounter_INCLUDED
#define DRFN3Internal_FrameCounter_INCLUDED

#include <cstdint>

namespace DRFN3Internal {

/// Unwraps a pod's wrapping radio frame number and measures frame loss over windows of at
/// least LOSS_WINDOW frame numbers.
///
/// A number that does not follow the last believed one is held as a suspect until the next
/// frame: when that frame goes on from the suspect, the jump was real; when it goes on from
/// before the suspect (within RESYNC_WINDOW), the suspect was a damaged number, and neither
/// the count nor the loss take it as a jump.
class FrameCounter
{
public:
    static constexpr int DEFAULT_PERIOD = 65535;
    static constexpr int LOSS_WINDOW = 200;
    static constexpr int RESYNC_WINDOW = 64;

    /// period is the largest frame number before the counter wraps to 0.
    explicit FrameCounter(int period = DEFAULT_PERIOD);

    /// False when the frame is to be dropped: the first frame after a reset (its number
    /// becomes the base the next one is measured from) or a repeat of the previous number.
    /// frameNumber must lie in [0, period].
    bool update(int frameNumber);
    void reset();

    /// (period + 1) * wraps + last frame number, the suspect's number while one is held.
    std::int64_t getUnwrappedCount() const;
    /// lost / span of the last completed window; 0 until a window completes.
    double getLossRatio() const;
    /// Frames lost in the window still open; a suspect's jump counts once it is believed.
    int getLostFrames() const { return static_cast<int>(_lost); }
    int getLastFrameNumber() const { return _last; }
    int getPeriod() const { return _period; }

private:
    /// How far frame number to lies ahead of from, modulo the period.
    std::int64_t ahead(int from, int to) const;
    /// Believes frameNumber, span numbers ahead of the last believed one.
    void commit(std::int64_t span, int frameNumber);

    bool _firstFrame = true;
    bool _pending = false;
    std::int64_t _pendingAhead = 0;
    int _suspect = 0;
    /// Frames since the last believed one whose numbers were found damaged.
    std::int64_t _damaged = 0;
    int _last = 0;
    int _period;
    std::int64_t _count = 0;
    double _lossRatio = 0.0;
    std::int64_t _lost = 0;
    std::int64_t _span = 0;
};

} // namespace DRFN3Internal

#endif
