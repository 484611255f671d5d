#include "Quillmesh/Core/Synchronizer.h"

#include <algorithm>
#include <functional>

namespace Quillmesh {
namespace Core {

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
    if (_lock.tryLock()) return;
    {
        Poco::FastMutex::ScopedLock state(_stateMutex);
        ++_contenders;
        for (Poco::Event* event : _waiting) event->set();
    }
    _lock.lock();
    Poco::FastMutex::ScopedLock state(_stateMutex);
    --_contenders;
}

void Synchronizer::release()
{
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

} // namespace Core
} // namespace Quillmesh
