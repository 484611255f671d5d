#ifndef Quillmesh_Core_SimpleBufferStrategy_INCLUDED
#define Quillmesh_Core_SimpleBufferStrategy_INCLUDED

#include "Quillmesh/Core/AbstractBufferStrategy.h"

#include <cstddef>
#include <utility>

namespace Quillmesh {
namespace Core {

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

} // namespace Core
} // namespace Quillmesh

#endif
