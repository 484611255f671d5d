#ifndef Tarnlink_Interrupt_INCLUDED
#define Tarnlink_Interrupt_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Poco/Exception.h>
#include <functional>

namespace Tarnlink {

/// Thrown at a polling point when the current thread's interrupt check asks to stop.
POCO_DECLARE_EXCEPTION(Tarnlink_API, InterruptedException, Poco::RuntimeException)

/// Tells whether the device work of the current thread should stop (a stop signal came, say).
/// It runs on the thread that does the work; what it throws passes through the polling point.
typedef std::function<bool()> InterruptCheck;

/// Makes the long device work of the current thread interruptible for the object's lifetime.
///
/// The library polls the check before each attempt of a command, so that no exchange is cut
/// in half, and during its fixed waits. The first time the check says yes the poll throws
/// InterruptedException and the scope trips: later polls let everything through, so that the
/// clean-up on the way out can still talk to the device. Scopes nest (the innermost one is
/// polled) and must be destroyed, in reverse order, on the thread that created them.
/// Per thread: a scope governs only the thread that created it, and only that thread may use it.
class Tarnlink_API InterruptScope
{
public:
    explicit InterruptScope(InterruptCheck check);
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    /// True once a poll has thrown InterruptedException for this scope. Some operations report
    /// a failure of their own text whatever cut them short: ask here to tell an interrupt.
    bool tripped() const { return _tripped; }

private:
    friend void pollInterrupt();
    friend bool interruptible();

    InterruptCheck _check;
    InterruptScope* _previous;
    bool _tripped = false;
};

/// Holds off the current thread's interrupt check for the object's lifetime, so that clean-up
/// which must reach the device runs whole. A stop asked for meanwhile is seen at the first
/// poll after it.
/// Per thread: it holds off only the checks of the thread that created it, which must destroy it.
class Tarnlink_API InterruptShield
{
public:
    InterruptShield();
    ~InterruptShield();
    InterruptShield(const InterruptShield&) = delete;
    InterruptShield& operator=(const InterruptShield&) = delete;

private:
    InterruptScope* _hidden;
};

/// A polling point: throws InterruptedException when the current thread has a scope that has
/// not tripped and whose check says yes. Without a scope it costs one thread-local test.
Tarnlink_API void pollInterrupt();

/// Whether a poll on this thread would call a check now (a scope, not tripped, not shielded).
Tarnlink_API bool interruptible();

} // namespace Tarnlink

#endif
