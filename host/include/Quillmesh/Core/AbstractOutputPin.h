#ifndef Quillmesh_Core_AbstractOutputPin_INCLUDED
#define Quillmesh_Core_AbstractOutputPin_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/AbstractInputPin.h"
#include "Quillmesh/Core/Pin.h"

#include <cstddef>
#include <memory>

namespace Quillmesh {
namespace Core {

/// An output pin whatever its type: the inputs attached to it.
class QuillmeshCore_API AbstractOutputPin : public virtual Pin
{
public:
    // Pin is a virtual base: the most derived pin class constructs it, so this Pin("", nullptr) never runs.
    AbstractOutputPin() : Pin("", nullptr) {}

    /// Throws Poco::ExistsException when input already has a source or is attached here,
    /// Poco::InvalidArgumentException when it carries another type. notify false skips
    /// telling the host about a synchronous input.
    virtual void attach(AbstractInputPin& input, bool notify = true) = 0;
    /// With synchronousOnly, asynchronous inputs stay attached.
    virtual void detach(AbstractInputPin& input, bool synchronousOnly = false) = 0;
    virtual void detachAll() = 0;
    /// Makes every attached input choose its buffer strategy again.
    virtual void refresh() = 0;
    virtual std::size_t getAttachedCount() const = 0;

    /// Keeps the value this pin publishes alive for a reader that took it by reference.
    virtual std::shared_ptr<const void> getDataKeeper() const = 0;

protected:
    friend class AbstractInputPin;
    /// Drops input from this pin with the wiring mutex held and no synchronizer taken, as
    /// pin destructors do: they may run under their owner's lock, which must not nest.
    virtual void unlink(AbstractInputPin& input) = 0;

    /// The host's hooks for synchronous inputs: the layout manager records the link so it can
    /// run the input's owner after this pin's owner. Clearing accepted refuses the attach.
    virtual void notifyAttached(AbstractInputPin& input, bool& accepted);
    virtual void notifyDetached(AbstractInputPin& input);

    static void setSourceOf(AbstractInputPin& input, AbstractOutputPin* source) { input.setSource(source); }
    static void rebuildBufferStrategyOf(AbstractInputPin& input) { input.rebuildBufferStrategy(); }
};

} // namespace Core
} // namespace Quillmesh

#endif
