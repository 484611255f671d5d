#ifndef Tarnlink_Sleep_INCLUDED
#define Tarnlink_Sleep_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <functional>

namespace Tarnlink {

/// Replacement for the real clock behind the fixed waits of the device procedures.
typedef std::function<void(unsigned long milliseconds)> SleepFunction;

/// Every fixed wait of the library (EEPROM word writes, sector commands, firmware steps) goes through here.
/// Under an interrupt scope (Interrupt.h) it polls before the wait and every 100 ms of it.
Tarnlink_API void sleepMilliseconds(unsigned long milliseconds);

/// Installs a replacement (an empty function restores the real sleep); returns the previous one.
Tarnlink_API SleepFunction setSleepFunction(SleepFunction function);

/// Installs a replacement for the lifetime of the object.
/// Thread-safe: the hook is set and read under a lock, but it is process-wide, so scopes on
/// several threads must not overlap.
class Tarnlink_API ScopedSleepFunction
{
public:
    explicit ScopedSleepFunction(SleepFunction function) : _previous(setSleepFunction(std::move(function))) {}
    ~ScopedSleepFunction() { setSleepFunction(std::move(_previous)); }
    ScopedSleepFunction(const ScopedSleepFunction&) = delete;
    ScopedSleepFunction& operator=(const ScopedSleepFunction&) = delete;

private:
    SleepFunction _previous;
};

} // namespace Tarnlink

#endif
