#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Bugcheck.h>
#include <Poco/Exception.h>

#include <algorithm>
#include <functional>

namespace Quillmesh {
namespace Core {

namespace {

// The synchronizers this thread holds, once per acquisition, in acquisition order.
thread_local std::vector<const Synchronizer*> heldHere;

void noteAcquired(const Synchronizer* synchronizer)
{
    heldHere.push_back(synchronizer);
}

void noteReleased(const Synchronizer* synchronizer)
{
    auto it = std::find(heldHere.rbegin(), heldHere.rend(), synchronizer);
    if (it != heldHere.rend()) heldHere.erase(std::next(it).base());
}

#ifndef NDEBUG
// A new synchronizer taken under others must come after all of them in address order.
void checkOrder(const Synchronizer* wanted)
{
    if (std::find(heldHere.begin(), heldHere.end(), wanted) != heldHere.end()) return;
    for (const Synchronizer* held : heldHere)
        if (std::less<const Synchronizer*>()(wanted, held))
            throw Poco::AssertionViolationException("Synchronizers nested against the lock order");
}
#endif

} // namespace

bool Synchronizer::isHeldByThisThread() const
{
    return std::find(heldHere.begin(), heldHere.end(), this) != heldHere.end();
}

bool Synchronizer::isAnyHeldByThisThread()
{
    return !heldHere.empty();
}

void Synchronizer::wait(Poco::FastMutex& mutex, Poco::Event& event)
{
    {
        Poco::FastMutex::ScopedLock state(_stateMutex);
        // Someone is already queued for the lock: do not start a wait it would have to end.
        if (_contenders > 0) return;
        _waiting.push_back(&event);
    }
    mutex.unlock();
    event.wait();
    {
        Poco::FastMutex::ScopedLock state(_stateMutex);
        auto it = std::find(_waiting.begin(), _waiting.end(), &event);
        if (it != _waiting.end()) _waiting.erase(it);
    }
    mutex.lock();
}

void Synchronizer::signal(Poco::Event& event)
{
    event.set();
}

void Synchronizer::wakeWaiters()
{
    Poco::FastMutex::ScopedLock state(_stateMutex);
    for (Poco::Event* event : _waiting) event->set();
}

void Synchronizer::acquire()
{
#ifndef NDEBUG
    checkOrder(this);
#endif
    if (_lock.tryLock())
    {
        noteAcquired(this);
        return;
    }
    {
        Poco::FastMutex::ScopedLock state(_stateMutex);
        ++_contenders;
        for (Poco::Event* event : _waiting) event->set();
    }
    _lock.lock();
    noteAcquired(this);
    Poco::FastMutex::ScopedLock state(_stateMutex);
    --_contenders;
}

void Synchronizer::release()
{
    noteReleased(this);
    _lock.unlock();
}

Synchronizer::DisablerLocker::DisablerLocker(Synchronizer* first, Synchronizer* second)
    : _first(first), _second(second == first ? nullptr : second)
{
    if (!_first)
    {
        _first = _second;
        _second = nullptr;
    }
    if (_first && _second && std::less<Synchronizer*>()(_second, _first)) std::swap(_first, _second);
    if (_first) _first->acquire();
    if (_second)
    {
        try
        {
            _second->acquire();
        }
        catch (...)
        {
            _first->release();
            throw;
        }
    }
}

Synchronizer::DisablerLocker::~DisablerLocker()
{
    if (_second) _second->release();
    if (_first) _first->release();
}

Synchronizer::LinkLocker::LinkLocker(Synchronizer* first, Synchronizer* second)
{
    if (!isAnyHeldByThisThread()) _lock = std::make_unique<DisablerLocker>(first, second);
}

} // namespace Core
} // namespace Quillmesh
