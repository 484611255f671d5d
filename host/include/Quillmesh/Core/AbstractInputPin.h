#ifndef Quillmesh_Core_AbstractInputPin_INCLUDED
#define Quillmesh_Core_AbstractInputPin_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/Pin.h"
#include "Quillmesh/Core/Synchronizer.h"

#include <atomic>
#include <cstddef>

namespace Quillmesh {
namespace Core {

class AbstractOutputPin;

/// An input pin whatever its type: its source and the options its buffer strategy is built from.
class QuillmeshCore_API AbstractInputPin : public virtual Pin
{
public:
    // Pin is a virtual base: the most derived pin class constructs it, so this Pin("", nullptr) never runs.
    AbstractInputPin() : Pin("", nullptr) {}

    /// The output pin this pin is attached to, or null.
    virtual AbstractOutputPin* getAbstractSource() const = 0;
    /// Chooses the buffer strategy again (after a change of source, layout or options).
    virtual void refreshBufferStrategy() = 0;

    // Changing an option rebuilds the buffer strategy; unread data is dropped.
    std::size_t getBufferSize() const { return _bufferSize; }
    void setBufferSize(std::size_t size);
    bool getIsLifo() const { return _isLifo; }
    void setIsLifo(bool lifo);
    bool getIsSynchronous() const { return _isSynchronous; }
    void setIsSynchronous(bool synchronous);
    bool getIsBlocking() const { return _isBlocking; }
    void setIsBlocking(bool blocking);

protected:
    friend class AbstractOutputPin;
    /// Called by the output pin with the wiring mutex held.
    virtual void setSource(AbstractOutputPin* source) = 0;
    /// refreshBufferStrategy() without any lock of its own: the wiring mutex is held.
    virtual void rebuildBufferStrategy() = 0;
    /// The synchronizer of the source's owner, or null; read under the wiring mutex.
    Synchronizer* getSourceSynchronizer() const;
    /// For a destroyed input: leaves source with the wiring mutex held.
    void unlinkFrom(AbstractOutputPin& source);

private:
    template <typename Store>
    void setOption(Store store);

    std::atomic<std::size_t> _bufferSize{1};
    std::atomic<bool> _isLifo{true};
    std::atomic<bool> _isSynchronous{false};
    std::atomic<bool> _isBlocking{true};
};

} // namespace Core
} // namespace Quillmesh

#endif
