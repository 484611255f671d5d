#ifndef Quillmesh_Core_SingleValuePtrBuffer_INCLUDED
#define Quillmesh_Core_SingleValuePtrBuffer_INCLUDED

#include <cstddef>

namespace Quillmesh {
namespace Core {

/// Keeps only a pointer to the pushed value: the source's own storage. What pop() hands out
/// stays valid until the next push.
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

} // namespace Core
} // namespace Quillmesh

#endif
