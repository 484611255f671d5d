#include "ProgressBar.h"

#include "Common.h"

#include <cmath>
#include <iostream>

namespace Drfn3 {

std::string renderProgress(const Tarnlink::ProgressStep& step, double elapsed, unsigned width)
{
    std::string text = Tarnlink::phaseName(step.phase);
    text.resize(std::max<std::size_t>(text.size(), 6), ' ');
    if (step.wordsTotal == 0) return text + " ...";
    const double fraction = static_cast<double>(step.wordsDone) / static_cast<double>(step.wordsTotal);
    const unsigned filled = static_cast<unsigned>(fraction * width);
    text += " [" + std::string(filled, '#') + std::string(width - filled, '-') + "] " + std::to_string(step.wordsDone) +
            "/" + std::to_string(step.wordsTotal) + " words";
    if (step.wordsDone == step.wordsTotal)
        text += ", done";
    else if (step.wordsDone > 0 && elapsed > 0)
    {
        const double left = elapsed / fraction - elapsed;
        text += ", about " + std::to_string(static_cast<long>(std::ceil(left))) + " s left";
    }
    return text;
}

ProgressBar::ProgressBar(const std::string& title)
    : _terminal(stderrIsTerminal()), _observer([this](const Tarnlink::ProgressStep& step) { update(step); })
{
    std::cerr << title << std::endl;
}

ProgressBar::~ProgressBar()
{
    finish(stopRequested() ? "interrupted" : "failed");
}

void ProgressBar::update(const Tarnlink::ProgressStep& step)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_finished) return;
    const Clock::time_point now = Clock::now();
    const bool newPhase = !_started || step.phase != _phase || step.serial != _serial;
    if (newPhase)
    {
        if (_started && _terminal) std::cerr << '\n';
        _started = true;
        _phase = step.phase;
        _serial = step.serial;
        _phaseStart = now;
    }
    const double elapsed = std::chrono::duration<double>(now - _phaseStart).count();
    const std::string who = step.controller ? "controller " : "pod " + hex(step.serial) + " ";
    const bool last = step.wordsDone == step.wordsTotal;
    if (_terminal)
    {
        if (!newPhase && !last && now - _lastDraw < std::chrono::milliseconds(100)) return;
        _lastDraw = now;
        std::cerr << "\r  " << who << renderProgress(step, elapsed) << "\033[K" << std::flush;
        return;
    }
    // In a log or a pipe a bar has nothing to redraw: one line says what each phase does.
    if (!newPhase) return;
    std::string name = Tarnlink::phaseName(step.phase);
    if (step.wordsTotal) name += " (" + std::to_string(step.wordsTotal) + " words)";
    std::cerr << "  " << who << name << std::endl;
}

void ProgressBar::finish(const std::string& outcome)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_finished) return;
    _finished = true;
    if (_terminal && _started) std::cerr << '\n';
    std::cerr << "  " << outcome << std::endl;
}

} // namespace Drfn3
