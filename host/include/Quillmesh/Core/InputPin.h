#ifndef Quillmesh_Core_InputPin_INCLUDED
#define Quillmesh_Core_InputPin_INCLUDED

#include "Quillmesh/Core/AbstractInputPin.h"
#include "Quillmesh/Core/AbstractOutputPin.h"
#include "Quillmesh/Core/BufferStrategy.h"
#include "Quillmesh/Core/TimeStampedData.h"

#include <Poco/Mutex.h>

#include <memory>

namespace Quillmesh {
namespace Core {

/// An input of values of type T. Its buffer strategy depends on where the source runs:
/// - no source, both owners in the same layout, or neither in a layout and the pin synchronous: simple;
/// - own owner in a layout other than the source's, and the pin blocking: synchronized;
/// - otherwise: thread-safe.
/// A buffer size of 1 keeps the latest value, a larger one a LIFO or FIFO queue, 0 nothing.
template <typename T>
class InputPinBase : public AbstractInputPin
{
public:
    typedef TimeStampedData<T> Data;
    typedef AbstractBufferStrategy<Data> Strategy;

    InputPinBase() : Pin("", nullptr) { InputPinBase::rebuildBufferStrategy(); }
    ~InputPinBase() override
    {
        {
            Poco::Mutex::ScopedLock wiring(getWiringMutex());
            if (_source) unlinkFrom(*_source);
        }
        if (_strategy) _strategy->close();
    }

    AbstractOutputPin* getAbstractSource() const override
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        return _source;
    }
    AbstractOutputPin* getSource() const { return getAbstractSource(); }
    /// Valid until the strategy is rebuilt; for inspection, not for reading data.
    Strategy* getBufferStrategy() const
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        return _strategy.get();
    }

    /// Called by the source when it publishes.
    void receive(const Data& data)
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        if (_strategy) _strategy->push(data);
    }

    /// True when getData() would give something without waiting.
    bool hasData() const
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        return (_pending && !_pendingStale) || (_strategy && _strategy->hasData());
    }

    /// The data taken from the buffer and not yet released; takes the next one from the
    /// buffer when none is held (a synchronized buffer may wait). Null when there is none.
    /// One reader at a time; what it got stays valid until release(), even when the pin's
    /// source or strategy goes meanwhile.
    const Data* getData()
    {
        std::shared_ptr<Strategy> strategy;
        std::shared_ptr<const void> sourceData;
        {
            Poco::FastMutex::ScopedLock lock(_mutex);
            if (_pending && !_pendingStale) return _pending;
            dropPending();
            strategy = _strategy;
            sourceData = _sourceData;
        }
        if (!strategy) return nullptr;
        // Outside the pin's mutex: a synchronized buffer waits here for its writer.
        const Data* data = nullptr;
        if (!strategy->pop(data)) return nullptr;
        Poco::FastMutex::ScopedLock lock(_mutex);
        _pending = data;
        _pendingStale = false;
        _pendingStrategy = std::move(strategy);
        _pendingSource = std::move(sourceData);
        return _pending;
    }

    /// Done with the data getData() gave.
    void release()
    {
        Poco::FastMutex::ScopedLock lock(_mutex);
        dropPending();
    }

    void refreshBufferStrategy() override
    {
        Synchronizer::LinkLocker lock(&getSynchronizer(), getSourceSynchronizer());
        Poco::Mutex::ScopedLock wiring(getWiringMutex());
        rebuildBufferStrategy();
    }

protected:
    void setSource(AbstractOutputPin* source) override
    {
        {
            Poco::FastMutex::ScopedLock lock(_mutex);
            _source = source;
            _sourceData = source ? source->getDataKeeper() : nullptr;
        }
        rebuildBufferStrategy();
    }

    void rebuildBufferStrategy() override
    {
        std::shared_ptr<Strategy> fresh = makeStrategy();
        std::shared_ptr<Strategy> old;
        {
            Poco::FastMutex::ScopedLock lock(_mutex);
            old = std::move(_strategy);
            _strategy = std::move(fresh);
            _pendingStale = true;
        }
        // A reader blocked in the old strategy gets nothing; a reader still holding its data
        // keeps the strategy alive until it lets go.
        if (old) old->close();
    }

private:
    void dropPending()
    {
        _pending = nullptr;
        _pendingStale = false;
        _pendingStrategy.reset();
        _pendingSource.reset();
    }

    std::shared_ptr<Strategy> makeStrategy() const
    {
        const std::size_t size = getBufferSize();
        if (size == 0) return nullptr;

        AbstractOutputPin* sourcePin = getAbstractSource();
        LayoutManager* own = getLayoutManager();
        LayoutManager* source = sourcePin ? sourcePin->getLayoutManager() : nullptr;
        if (!sourcePin || (own && own == source) || (!own && !source && getIsSynchronous()))
        {
            if (size == 1) return std::make_shared<SimpleBufferStrategy<Data, SingleValuePtrBuffer<Data>>>();
            return makeQueued<SimpleBufferStrategy>(size);
        }
        if (own && own != source && getIsBlocking())
        {
            if (size == 1)
                return std::make_shared<SynchronizedBufferStrategy<Data, SingleValueBuffer<Data>>>(getSynchronizer());
            if (getIsLifo())
                return std::make_shared<SynchronizedBufferStrategy<Data, LifoBuffer<Data>>>(getSynchronizer(), size);
            return std::make_shared<SynchronizedBufferStrategy<Data, FifoBuffer<Data>>>(getSynchronizer(), size);
        }
        if (size == 1) return std::make_shared<ThreadSafeBufferStrategy<Data, SingleValueBuffer<Data>>>();
        return makeQueued<ThreadSafeBufferStrategy>(size);
    }

    template <template <typename, typename> class Kind>
    std::shared_ptr<Strategy> makeQueued(std::size_t size) const
    {
        if (getIsLifo()) return std::make_shared<Kind<Data, LifoBuffer<Data>>>(size);
        return std::make_shared<Kind<Data, FifoBuffer<Data>>>(size);
    }

    // Guards the fields below; a leaf under the wiring mutex and the source's publishing.
    mutable Poco::FastMutex _mutex;
    AbstractOutputPin* _source = nullptr;
    std::shared_ptr<const void> _sourceData;
    std::shared_ptr<Strategy> _strategy;
    const Data* _pending = nullptr;
    bool _pendingStale = false;
    std::shared_ptr<Strategy> _pendingStrategy;
    std::shared_ptr<const void> _pendingSource;
};

template <typename T>
class InputPin : public InputPinBase<T>
{
public:
    InputPin(const std::string& name, PinManager* manager) : Pin(name, manager) {}
};

} // namespace Core
} // namespace Quillmesh

#endif
