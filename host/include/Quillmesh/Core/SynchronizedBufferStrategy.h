#ifndef Quillmesh_Core_SynchronizedBufferStrategy_INCLUDED
#define Quillmesh_Core_SynchronizedBufferStrategy_INCLUDED

#include "Quillmesh/Core/Synchronizer.h"
#include "Quillmesh/Core/ThreadSafeBufferStrategy.h"

#include <Poco/Event.h>
#include <Poco/Mutex.h>

#include <cstddef>
#include <utility>

namespace Quillmesh {
namespace Core {

/// For a blocking reader on another thread: pop() waits until a writer pushes, the host
/// ends the wait, or the strategy is destroyed (then it returns false).
template <typename D, typename Buffer>
class SynchronizedBufferStrategy : public ThreadSafeBufferStrategy<D, Buffer>
{
public:
    template <typename... Args>
    explicit SynchronizedBufferStrategy(Synchronizer& synchronizer, Args&&... args)
        : ThreadSafeBufferStrategy<D, Buffer>(std::forward<Args>(args)...), _synchronizer(synchronizer)
    {
    }

    // Wakes the readers and lets them leave before the mutex and the events go: a reader
    // woken here still has to relock the mutex and look at the buffer.
    ~SynchronizedBufferStrategy() override
    {
        this->_mutex.lock();
        _closing = true;
        while (_readers > 0)
        {
            Synchronizer::signal(_event);
            this->_mutex.unlock();
            _readersGone.wait();
            this->_mutex.lock();
        }
        this->_mutex.unlock();
    }

    void push(const D& data) override
    {
        Poco::FastMutex::ScopedLock lock(this->_mutex);
        this->_buffer.push(data);
        Synchronizer::signal(_event);
    }

    bool pop(const D*& out) override
    {
        Poco::FastMutex::ScopedLock lock(this->_mutex);
        if (_closing) return false;
        if (this->_buffer.isEmpty())
        {
            // A signal left over from a push that was already read must not end this wait.
            _event.reset();
            ++_readers;
            _synchronizer.wait(this->_mutex, _event);
            --_readers;
            if (_closing)
            {
                if (_readers == 0)
                    _readersGone.set();
                else
                    Synchronizer::signal(_event);
                return false;
            }
        }
        return this->take(out);
    }

    void close() override
    {
        Poco::FastMutex::ScopedLock lock(this->_mutex);
        _closing = true;
        Synchronizer::signal(_event);
    }

    std::size_t getWaitingReaders() const
    {
        Poco::FastMutex::ScopedLock lock(this->_mutex);
        return _readers;
    }

private:
    Synchronizer& _synchronizer;
    Poco::Event _event;
    Poco::Event _readersGone;
    std::size_t _readers = 0;
    bool _closing = false;
};

} // namespace Core
} // namespace Quillmesh

#endif
