#ifndef Tarnlink_Progress_INCLUDED
#define Tarnlink_Progress_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace Tarnlink {

/// Where a long procedure stands. Within one phase, words done runs from 0 to words total,
/// each word counted once; a phase without words (reboot, erase) reports 0 of 0 once.
/// A plain value: a copy may go to any thread.
struct ProgressStep
{
    enum Operation
    {
        CalibrationRead,
        CalibrationCommit,
        CalibrationRestore,
        CalibrationCopy,
        FirmwareVerify,
        FirmwareUpgrade
    };
    enum Phase
    {
        Reboot, ///< the pod restarting into its protected area
        Erase,  ///< sector commands
        Read,   ///< words read from the device
        Write   ///< verified word writes
    };

    Operation operation;
    Phase phase;
    /// Pod serial, or the controller's serial number for its own firmware.
    std::uint32_t serial;
    bool controller;
    std::size_t wordsDone;
    std::size_t wordsTotal;
};

Tarnlink_API const char* operationName(ProgressStep::Operation operation);
Tarnlink_API const char* phaseName(ProgressStep::Phase phase);

/// Called on the thread doing the work; it must not touch the device. Whatever it throws is
/// dropped, so an observer never changes a procedure's outcome.
typedef std::function<void(const ProgressStep&)> ProgressFunction;

/// Installs the process-wide observer (empty: none); returns the previous one.
Tarnlink_API ProgressFunction setProgressFunction(ProgressFunction function);
/// Hands a step to the observer, if any.
Tarnlink_API void reportProgress(const ProgressStep& step);

/// Installs an observer for the lifetime of the object.
/// Thread-safe: the observer is set and read under a lock, but it is process-wide, so scopes on
/// several threads must not overlap.
class Tarnlink_API ScopedProgressFunction
{
public:
    explicit ScopedProgressFunction(ProgressFunction function) : _previous(setProgressFunction(std::move(function))) {}
    ~ScopedProgressFunction() { setProgressFunction(std::move(_previous)); }
    ScopedProgressFunction(const ScopedProgressFunction&) = delete;
    ScopedProgressFunction& operator=(const ScopedProgressFunction&) = delete;

private:
    ProgressFunction _previous;
};

/// One phase of a procedure: reports 0 of total at once, then each counted word.
/// Not thread-safe: it belongs to the procedure, and to the thread, that reports it.
class Tarnlink_API ProgressPhase
{
public:
    ProgressPhase(ProgressStep::Operation operation, ProgressStep::Phase phase, std::uint32_t serial, bool controller,
                  std::size_t total);
    /// One more word done.
    void step();
    std::size_t done() const { return _step.wordsDone; }

private:
    ProgressStep _step;
};

} // namespace Tarnlink

#endif
