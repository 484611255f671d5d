#ifndef Quillmesh_Core_AbstractBufferStrategy_INCLUDED
#define Quillmesh_Core_AbstractBufferStrategy_INCLUDED

#include <cstddef>

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

} // namespace Core
} // namespace Quillmesh

#endif
