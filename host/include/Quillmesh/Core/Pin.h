#ifndef Quillmesh_Core_Pin_INCLUDED
#define Quillmesh_Core_Pin_INCLUDED

#include "Quillmesh/Core/NamedObject.h"
#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Mutex.h>

#include <atomic>
#include <memory>

namespace Quillmesh {
namespace Core {

class LayoutManager;
class PinManager;

/// A typed connection point of a pin manager (usually a filter). Pins without a manager
/// (a host program's own probes) have a synchronizer of their own.
class Pin : public NamedObject
{
public:
    Pin(const std::string& name, PinManager* manager);
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;
    ~Pin() override;

    PinManager* getManager() const { return _manager; }
    Synchronizer& getSynchronizer() const;
    /// The layout manager of the owner, or null.
    LayoutManager* getLayoutManager() const;

    /// Guards every link between pins (an input's source, an output's inputs). A leaf lock:
    /// taken after any synchronizer, and no synchronizer is taken while it is held.
    static Poco::Mutex& getWiringMutex();

private:
    PinManager* _manager;
    std::unique_ptr<Synchronizer> _ownSynchronizer;
};

class AbstractOutputPin;

// Pin is a virtual base: the most derived pin class constructs it, so the Pin("", nullptr)
// below never runs.
class AbstractInputPin : public virtual Pin
{
public:
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

class AbstractOutputPin : public virtual Pin
{
public:
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
