#ifndef Quillmesh_Core_InputPin_INCLUDED
#define Quillmesh_Core_InputPin_INCLUDED

#include "Quillmesh/Core/BufferStrategy.h"
#include "Quillmesh/Core/Pin.h"
#include "Quillmesh/Core/TimeStampedData.h"

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

    InputPinBase() : Pin("", nullptr) { InputPinBase::refreshBufferStrategy(); }
    ~InputPinBase() override
    {
        if (AbstractOutputPin* source = _source) source->detach(*this);
        delete _strategy;
    }

    AbstractOutputPin* getAbstractSource() const override { return _source; }
    AbstractOutputPin* getSource() const { return _source; }
    Strategy* getBufferStrategy() const { return _strategy; }

    /// Called by the source when it publishes.
    void receive(const Data& data)
    {
        if (_strategy) _strategy->push(data);
    }

    /// True when getData() would give something without waiting.
    bool hasData() const { return _pending || (_strategy && _strategy->hasData()); }

    /// The data taken from the buffer and not yet released; takes the next one from the
    /// buffer when none is held (a synchronized buffer may wait). Null when there is none.
    const Data* getData()
    {
        if (!_pending && _strategy)
        {
            const Data* data = nullptr;
            if (_strategy->pop(data)) _pending = data;
        }
        return _pending;
    }

    /// Done with the data getData() gave.
    void release() { _pending = nullptr; }

    void refreshBufferStrategy() override
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer(), _source ? &_source->getSynchronizer() : nullptr);
        _pending = nullptr;
        delete _strategy;
        _strategy = nullptr;
        const std::size_t size = getBufferSize();
        if (size == 0) return;

        LayoutManager* own = getLayoutManager();
        LayoutManager* source = _source ? _source->getLayoutManager() : nullptr;
        if (!_source || (own && own == source) || (!own && !source && getIsSynchronous()))
        {
            if (size == 1)
                _strategy = new SimpleBufferStrategy<Data, SingleValuePtrBuffer<Data>>();
            else
                _strategy = makeQueued<SimpleBufferStrategy>(size);
        }
        else if (own && own != source && getIsBlocking())
        {
            if (size == 1)
                _strategy = new SynchronizedBufferStrategy<Data, SingleValueBuffer<Data>>(getSynchronizer());
            else if (getIsLifo())
                _strategy = new SynchronizedBufferStrategy<Data, LifoBuffer<Data>>(getSynchronizer(), size);
            else
                _strategy = new SynchronizedBufferStrategy<Data, FifoBuffer<Data>>(getSynchronizer(), size);
        }
        else
        {
            if (size == 1)
                _strategy = new ThreadSafeBufferStrategy<Data, SingleValueBuffer<Data>>();
            else
                _strategy = makeQueued<ThreadSafeBufferStrategy>(size);
        }
    }

protected:
    void setSource(AbstractOutputPin* source) override
    {
        _source = source;
        refreshBufferStrategy();
    }

private:
    template <template <typename, typename> class Kind>
    Strategy* makeQueued(std::size_t size) const
    {
        if (getIsLifo()) return new Kind<Data, LifoBuffer<Data>>(size);
        return new Kind<Data, FifoBuffer<Data>>(size);
    }

    AbstractOutputPin* _source = nullptr;
    Strategy* _strategy = nullptr;
    const Data* _pending = nullptr;
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
