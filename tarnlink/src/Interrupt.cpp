#include <Tarnlink/Interrupt.h>
#include <typeinfo>

namespace Tarnlink {

POCO_IMPLEMENT_EXCEPTION(InterruptedException, Poco::RuntimeException, "Interrupted")

namespace {
// A plain pointer: the frame path pays one thread-local load when nobody installed a scope.
thread_local InterruptScope* current = nullptr;
} // namespace

InterruptScope::InterruptScope(InterruptCheck check) : _check(std::move(check)), _previous(current)
{
    current = this;
}

InterruptScope::~InterruptScope()
{
    current = _previous;
}

InterruptShield::InterruptShield() : _hidden(current)
{
    current = nullptr;
}

InterruptShield::~InterruptShield()
{
    current = _hidden;
}

void pollInterrupt()
{
    InterruptScope* scope = current;
    if (!scope || scope->_tripped || !scope->_check) return;
    if (!scope->_check()) return;
    scope->_tripped = true;
    throw InterruptedException();
}

bool interruptible()
{
    const InterruptScope* scope = current;
    return scope && !scope->tripped() && scope->_check;
}

} // namespace Tarnlink
