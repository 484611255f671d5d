#ifndef Quillmesh_Core_SingleValueBuffer_INCLUDED
#define Quillmesh_Core_SingleValueBuffer_INCLUDED

#include <cstddef>

namespace Quillmesh {
namespace Core {

/// Keeps a copy of the latest value; a new value replaces an unread one. What pop() hands out
/// stays valid until the next push.
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

} // namespace Core
} // namespace Quillmesh

#endif
