#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Bugcheck.h>
#include <Poco/Exception.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <vector>

namespace Quillmesh {
namespace Core {

namespace {

// The synchronizers this thread holds, once per acquisition, in acquisition order. Plain data
// without a destructor: in a mingw DLL a thread-local object's destructor can run after the
// thread's thread-local block is gone. The first few fit in place; beyond them a list of their
// own, which goes once the thread holds no more than fit in place.
struct HeldHere
{
    static const std::size_t IN_PLACE = 16;
    const Synchronizer* inPlace[IN_PLACE];
    std::size_t count;
    std::vector<const Synchronizer*>* more;

    const Synchronizer*& at(std::size_t i) { return i < IN_PLACE ? inPlace[i] : (*more)[i - IN_PLACE]; }
    bool contains(const Synchronizer* synchronizer)
    {
        for (std::size_t i = 0; i < count; ++i)
            if (at(i) == synchronizer) return true;
        return false;
    }
};
thread_local HeldHere heldHere;

void noteAcquired(const Synchronizer* synchronizer)
{
    if (heldHere.count < HeldHere::IN_PLACE)
    {
        heldHere.inPlace[heldHere.count] = synchronizer;
    }
    else
    {
        if (!heldHere.more) heldHere.more = new std::vector<const Synchronizer*>;
        heldHere.more->push_back(synchronizer);
    }
    ++heldHere.count;
}

void noteReleased(const Synchronizer* synchronizer)
{
    std::size_t i = heldHere.count;
    while (i > 0 && heldHere.at(i - 1) != synchronizer) --i;
    if (i == 0) return;
    for (; i < heldHere.count; ++i) heldHere.at(i - 1) = heldHere.at(i);
    --heldHere.count;
    if (heldHere.count >= HeldHere::IN_PLACE) heldHere.more->pop_back();
    if (heldHere.more && heldHere.more->empty())
    {
        delete heldHere.more;
        heldHere.more = nullptr;
    }
}

#ifndef NDEBUG
// A new synchronizer taken under others must come after all of them in address order.
void checkOrder(const Synchronizer* wanted)
{
    if (heldHere.contains(wanted)) return;
    for (std::size_t i = 0; i < heldHere.count; ++i)
        if (std::less<const Synchronizer*>()(wanted, heldHere.at(i)))
            throw Poco::AssertionViolationException("Synchronizers nested against the lock order");
}
#endif

} // namespace

bool Synchronizer::isHeldByThisThread() const
{
    return heldHere.contains(this);
}

bool Synchronizer::isAnyHeldByThisThread()
{
    return heldHere.count > 0;
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
