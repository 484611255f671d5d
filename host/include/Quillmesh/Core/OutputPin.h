#ifndef Quillmesh_Core_OutputPin_INCLUDED
#define Quillmesh_Core_OutputPin_INCLUDED

#include "Quillmesh/Core/InputPin.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace Quillmesh {
namespace Core {

/// An output of values of type T. The owner fills getData() in place and calls push(time);
/// every attached input then gets the value, in attach order. Publishing takes no
/// synchronizer, only this pin's own mutex, so an input that detaches (from any thread) gets
/// nothing more once detach has returned.
template <typename T>
class OutputPinBase : public AbstractOutputPin
{
public:
    typedef TimeStampedData<T> Data;

    OutputPinBase() : Pin("", nullptr), _data(std::make_shared<Data>()) {}
    ~OutputPinBase() override
    {
        // May run under the owner's lock (a handler dropping the pin): take no other filter's.
        Poco::Mutex::ScopedLock wiring(getWiringMutex());
        for (InputPinBase<T>* input : getAttachedPins()) OutputPinBase::unlink(*input);
    }

    T& getData() { return _data->data; }
    const T& getData() const { return _data->data; }
    const Data& getTimeStampedData() const { return *_data; }

    void push(double time)
    {
        Poco::FastMutex::ScopedLock lock(_inputsMutex);
        _data->time = time;
        for (InputPinBase<T>* input : _inputs) input->receive(*_data);
    }

    void attach(AbstractInputPin& input, bool notify = true) override
    {
        auto* typed = dynamic_cast<InputPinBase<T>*>(&input);
        if (!typed)
            throw Poco::InvalidArgumentException("Pin '" + input.getName() + "' does not carry the type of pin '" +
                                                 getName() + "'");
        Synchronizer::LinkLocker lock(&getSynchronizer(), &input.getSynchronizer());
        Poco::Mutex::ScopedLock wiring(getWiringMutex());
        if (input.getAbstractSource() || isAttached(typed)) throw Poco::ExistsException();
        if (input.getIsSynchronous() && notify)
        {
            bool accepted = true;
            notifyAttached(input, accepted);
            if (!accepted)
                throw Poco::InvalidAccessException("Pin '" + input.getName() + "' may not be attached to '" +
                                                   getName() + "'");
        }
        {
            Poco::FastMutex::ScopedLock inputs(_inputsMutex);
            _inputs.push_back(typed);
        }
        setSourceOf(input, this);
    }

    void detach(AbstractInputPin& input, bool synchronousOnly = false) override
    {
        if (synchronousOnly && !input.getIsSynchronous()) return;
        Synchronizer::LinkLocker lock(&getSynchronizer(), &input.getSynchronizer());
        Poco::Mutex::ScopedLock wiring(getWiringMutex());
        unlink(input);
    }

    /// Detaches one input at a time, each under its own pair of locks.
    void detachAll() override
    {
        for (const Peer& peer : getPeers())
        {
            Synchronizer::LinkLocker lock(&getSynchronizer(), peer.second);
            Poco::Mutex::ScopedLock wiring(getWiringMutex());
            // Only a pin still attached is known to be alive.
            if (isAttached(peer.first)) unlink(*peer.first);
        }
    }

    /// Rebuilds the strategy of one input at a time, each under its own pair of locks.
    void refresh() override
    {
        for (const Peer& peer : getPeers())
        {
            Synchronizer::LinkLocker lock(&getSynchronizer(), peer.second);
            Poco::Mutex::ScopedLock wiring(getWiringMutex());
            if (isAttached(peer.first)) rebuildBufferStrategyOf(*peer.first);
        }
    }

    std::size_t getAttachedCount() const override
    {
        Poco::FastMutex::ScopedLock lock(_inputsMutex);
        return _inputs.size();
    }
    /// A copy: inputs come and go while others look.
    std::vector<InputPinBase<T>*> getAttachedPins() const
    {
        Poco::FastMutex::ScopedLock lock(_inputsMutex);
        return _inputs;
    }

    std::shared_ptr<const void> getDataKeeper() const override { return _data; }

protected:
    void unlink(AbstractInputPin& input) override
    {
        auto* typed = dynamic_cast<InputPinBase<T>*>(&input);
        if (!typed || !isAttached(typed)) return;
        if (input.getIsSynchronous()) notifyDetached(input);
        {
            // Waits for a push in progress, so the input hears nothing after this.
            Poco::FastMutex::ScopedLock inputs(_inputsMutex);
            _inputs.erase(std::remove(_inputs.begin(), _inputs.end(), typed), _inputs.end());
        }
        setSourceOf(input, nullptr);
    }

private:
    typedef std::pair<InputPinBase<T>*, Synchronizer*> Peer;

    // The inputs with their owners' synchronizers, which outlive the pins themselves.
    std::vector<Peer> getPeers() const
    {
        Poco::Mutex::ScopedLock wiring(getWiringMutex());
        std::vector<Peer> peers;
        for (InputPinBase<T>* input : getAttachedPins()) peers.emplace_back(input, &input->getSynchronizer());
        return peers;
    }

    bool isAttached(InputPinBase<T>* input) const
    {
        Poco::FastMutex::ScopedLock lock(_inputsMutex);
        return std::find(_inputs.begin(), _inputs.end(), input) != _inputs.end();
    }

    // Shared so a reader holding a reference to the value keeps it after this pin goes.
    std::shared_ptr<Data> _data;
    mutable Poco::FastMutex _inputsMutex;
    std::vector<InputPinBase<T>*> _inputs;
};

template <typename T>
class OutputPin : public OutputPinBase<T>
{
public:
    OutputPin(const std::string& name, PinManager* manager) : Pin(name, manager) {}
};

} // namespace Core
} // namespace Quillmesh

#endif
