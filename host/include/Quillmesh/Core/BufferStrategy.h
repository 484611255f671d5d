#ifndef Quillmesh_Core_BufferStrategy_INCLUDED
#define Quillmesh_Core_BufferStrategy_INCLUDED

#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Event.h>
#include <Poco/Mutex.h>

#include <cstddef>
#include <utility>
#include <vector>

namespace Quillmesh {
namespace Core {

/// How an input pin keeps what its source pushes until its owner reads it.
template <typename D>
class AbstractBufferStrategy
{
public:
    virtual ~AbstractBufferStrategy() = default;
    virtual void push(const D& data) = 0;
    /// out stays valid until the next pop, clear or destruction.
    virtual bool pop(const D*& out) = 0;
    virtual void clear() = 0;
    virtual std::size_t getCapacity() const = 0;
    virtual bool isEmpty() const = 0;
    virtual bool hasData() const = 0;
    /// The strategy is being replaced: a blocked reader gets nothing and none waits again.
    virtual void close() {}
};

// Buffers. pop() hands out a pointer into the buffer that stays valid until the next push
// for the single-value buffers, and until the next pop for the queues.

/// Keeps only a pointer to the pushed value: the source's own storage.
template <typename D>
class SingleValuePtrBuffer
{
public:
    void push(const D& data) { _data = &data; }
    bool pop(const D*& out)
    {
        if (!_data) return false;
        out = _data;
        _data = nullptr;
        return true;
    }
    void clear() { _data = nullptr; }
    std::size_t getCapacity() const { return 1; }
    bool isEmpty() const { return _data == nullptr; }

private:
    const D* _data = nullptr;
};

/// Keeps a copy of the latest value; a new value replaces an unread one.
template <typename D>
class SingleValueBuffer
{
public:
    void push(const D& data)
    {
        _data = data;
        _full = true;
    }
    bool pop(const D*& out)
    {
        if (!_full) return false;
        out = &_data;
        _full = false;
        return true;
    }
    void clear() { _full = false; }
    std::size_t getCapacity() const { return 1; }
    bool isEmpty() const { return !_full; }

private:
    D _data{};
    bool _full = false;
};

/// A bounded queue of copies; pushing into a full queue discards the oldest element. The
/// slots are kept and assigned to, so a stream of same-sized values allocates nothing.
template <typename D, bool NewestFirst>
class QueueBuffer
{
public:
    explicit QueueBuffer(std::size_t capacity) : _slots(capacity ? capacity : 1) {}
    void push(const D& data)
    {
        if (_size == _slots.size())
        {
            _first = next(_first);
            --_size;
        }
        _slots[(_first + _size) % _slots.size()] = data;
        ++_size;
    }
    bool pop(const D*& out)
    {
        if (_size == 0) return false;
        const std::size_t at = NewestFirst ? (_first + _size - 1) % _slots.size() : _first;
        // The taken value changes places with its slot: both keep their storage.
        std::swap(_taken, _slots[at]);
        if (!NewestFirst) _first = next(_first);
        --_size;
        out = &_taken;
        return true;
    }
    void clear()
    {
        _first = 0;
        _size = 0;
    }
    std::size_t getCapacity() const { return _slots.size(); }
    bool isEmpty() const { return _size == 0; }

private:
    std::size_t next(std::size_t i) const { return (i + 1) % _slots.size(); }

    std::vector<D> _slots;
    std::size_t _first = 0;
    std::size_t _size = 0;
    D _taken{};
};

template <typename D>
using LifoBuffer = QueueBuffer<D, true>;
template <typename D>
using FifoBuffer = QueueBuffer<D, false>;

/// For a reader on the writer's thread: no lock.
template <typename D, typename Buffer>
class SimpleBufferStrategy : public AbstractBufferStrategy<D>
{
public:
    template <typename... Args>
    explicit SimpleBufferStrategy(Args&&... args) : _buffer(std::forward<Args>(args)...)
    {
    }
    void push(const D& data) override { _buffer.push(data); }
    bool pop(const D*& out) override { return _buffer.pop(out); }
    void clear() override { _buffer.clear(); }
    std::size_t getCapacity() const override { return _buffer.getCapacity(); }
    bool isEmpty() const override { return _buffer.isEmpty(); }
    bool hasData() const override { return !_buffer.isEmpty(); }

private:
    Buffer _buffer;
};

/// For a reader on another thread: every operation under a mutex, and the reader gets its
/// own copy so a later push cannot change what it is reading.
template <typename D, typename Buffer>
class ThreadSafeBufferStrategy : public AbstractBufferStrategy<D>
{
public:
    template <typename... Args>
    explicit ThreadSafeBufferStrategy(Args&&... args) : _buffer(std::forward<Args>(args)...)
    {
    }
    void push(const D& data) override
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        _buffer.push(data);
    }
    bool pop(const D*& out) override
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        return take(out);
    }
    void clear() override
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        _buffer.clear();
    }
    std::size_t getCapacity() const override
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        return _buffer.getCapacity();
    }
    bool isEmpty() const override
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        return _buffer.isEmpty();
    }
    bool hasData() const override { return !isEmpty(); }

protected:
    /// Called with the mutex held.
    bool take(const D*& out)
    {
        const D* buffered = nullptr;
        if (!_buffer.pop(buffered)) return false;
        _readerCopy = *buffered;
        out = &_readerCopy;
        return true;
    }

    mutable Poco::FastMutex _mutex;
    Buffer _buffer;
    D _readerCopy{};
};

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
