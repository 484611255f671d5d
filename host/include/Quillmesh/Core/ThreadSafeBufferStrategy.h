#ifndef Quillmesh_Core_ThreadSafeBufferStrategy_INCLUDED
#define Quillmesh_Core_ThreadSafeBufferStrategy_INCLUDED

#include "Quillmesh/Core/AbstractBufferStrategy.h"

#include <Poco/Mutex.h>

#include <cstddef>
#include <utility>

namespace Quillmesh {
namespace Core {

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

} // namespace Core
} // namespace Quillmesh

#endif
