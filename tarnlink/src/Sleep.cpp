#include <Tarnlink/Interrupt.h>
#include <Tarnlink/Sleep.h>
#include <Poco/Mutex.h>
#include <Poco/Thread.h>

namespace Tarnlink {

namespace {
// Slices of an interruptible wait: a stop asked for during a reboot wait is seen this soon.
const unsigned long INTERRUPT_SLICE_MS = 100;

Poco::FastMutex hookMutex;
SleepFunction& hook()
{
    static SleepFunction function;
    return function;
}

void wait(unsigned long milliseconds)
{
    SleepFunction function;
    {
        Poco::FastMutex::ScopedLock lock(hookMutex);
        function = hook();
    }
    if (function)
        function(milliseconds);
    else if (milliseconds > 0)
        Poco::Thread::sleep(static_cast<long>(milliseconds));
}
} // namespace

void sleepMilliseconds(unsigned long milliseconds)
{
    if (!interruptible())
    {
        wait(milliseconds);
        return;
    }
    pollInterrupt();
    for (;;)
    {
        const unsigned long slice = milliseconds < INTERRUPT_SLICE_MS ? milliseconds : INTERRUPT_SLICE_MS;
        wait(slice);
        milliseconds -= slice;
        if (milliseconds == 0) return;
        pollInterrupt();
    }
}

SleepFunction setSleepFunction(SleepFunction function)
{
    Poco::FastMutex::ScopedLock lock(hookMutex);
    SleepFunction previous = std::move(hook());
    hook() = std::move(function);
    return previous;
}

} // namespace Tarnlink
