#ifndef Quillmesh_Core_QueueBuffer_INCLUDED
#define Quillmesh_Core_QueueBuffer_INCLUDED

#include <cstddef>
#include <utility>
#include <vector>

namespace Quillmesh {
namespace Core {

/// A bounded queue of copies; pushing into a full queue discards the oldest element. The
/// slots are kept and assigned to, so a stream of same-sized values allocates nothing. What
/// pop() hands out stays valid until the next pop.
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

} // namespace Core
} // namespace Quillmesh

#endif
