#include <Tarnlink/Sleep.h>
#include <Poco/Mutex.h>
#include <Poco/Thread.h>

namespace Tarnlink {

namespace {
Poco::FastMutex hookMutex;
SleepFunction& hook()
{
    static SleepFunction function;
    return function;
}
} // namespace

void sleepMilliseconds(unsigned long milliseconds)
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

SleepFunction setSleepFunction(SleepFunction function)
{
    Poco::FastMutex::ScopedLock lock(hookMutex);
    SleepFunction previous = std::move(hook());
    hook() = std::move(function);
    return previous;
}

} // namespace Tarnlink
