#ifndef Drfn3_ProgressBar_INCLUDED
#define Drfn3_ProgressBar_INCLUDED

#include <Tarnlink/Progress.h>

#include <chrono>
#include <mutex>
#include <string>

namespace Drfn3 {

/// "write  [#####-----]  512/1024 words, about 8 s left" for a step whose phase has run for
/// elapsed seconds; a phase without words shows its name only.
std::string renderProgress(const Tarnlink::ProgressStep& step, double elapsed, unsigned width = 30);

/// Shows the library's progress steps on stderr while it lives: one line redrawn on a
/// terminal, otherwise one line per phase.
class ProgressBar
{
public:
    explicit ProgressBar(const std::string& title);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    /// Ends the display with the outcome ("done", "failed").
    void finish(const std::string& outcome);

private:
    typedef std::chrono::steady_clock Clock;
    void update(const Tarnlink::ProgressStep& step);

    std::mutex _mutex;
    bool _terminal;
    bool _finished = false;
    bool _started = false;
    Tarnlink::ProgressStep::Phase _phase = Tarnlink::ProgressStep::Reboot;
    std::uint32_t _serial = 0;
    Clock::time_point _phaseStart;
    Clock::time_point _lastDraw;
    Tarnlink::ScopedProgressFunction _observer;
};

} // namespace Drfn3

#endif
