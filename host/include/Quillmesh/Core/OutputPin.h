#ifndef Quillmesh_Core_OutputPin_INCLUDED
#define Quillmesh_Core_OutputPin_INCLUDED

#include "Quillmesh/Core/InputPin.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <vector>

namespace Quillmesh {
namespace Core {

/// An output of values of type T. The owner fills getData() in place and calls push(time);
/// every attached input then gets the value, in attach order. Publishing takes no lock:
/// attach and detach take the owner's lock, which the owner holds while it publishes.
template <typename T>
class OutputPinBase : public AbstractOutputPin
{
public:
    typedef TimeStampedData<T> Data;

    OutputPinBase() : Pin("", nullptr) {}
    ~OutputPinBase() override { OutputPinBase::detachAll(); }

    T& getData() { return _data.data; }
    const T& getData() const { return _data.data; }
    const Data& getTimeStampedData() const { return _data; }

    void push(double time)
    {
        _data.time = time;
        for (InputPinBase<T>* input : _inputs) input->receive(_data);
    }

    void attach(AbstractInputPin& input, bool notify = true) override
    {
        auto* typed = dynamic_cast<InputPinBase<T>*>(&input);
        if (!typed)
            throw Poco::InvalidArgumentException("Pin '" + input.getName() + "' does not carry the type of pin '" +
                                                 getName() + "'");
        Synchronizer::DisablerLocker lock(&getSynchronizer(), &input.getSynchronizer());
        if (input.getAbstractSource() || isAttached(typed)) throw Poco::ExistsException();
        if (input.getIsSynchronous() && notify)
        {
            bool accepted = true;
            notifyAttached(input, accepted);
            if (!accepted)
                throw Poco::InvalidAccessException("Pin '" + input.getName() + "' may not be attached to '" +
                                                   getName() + "'");
        }
        setSourceOf(input, this);
        _inputs.push_back(typed);
    }

    void detach(AbstractInputPin& input, bool synchronousOnly = false) override
    {
        if (synchronousOnly && !input.getIsSynchronous()) return;
        Synchronizer::DisablerLocker lock(&getSynchronizer(), &input.getSynchronizer());
        auto* typed = dynamic_cast<InputPinBase<T>*>(&input);
        if (!typed || !isAttached(typed)) return;
        if (input.getIsSynchronous()) notifyDetached(input);
        setSourceOf(input, nullptr);
        _inputs.erase(std::remove(_inputs.begin(), _inputs.end(), typed), _inputs.end());
    }

    void detachAll() override
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        const std::vector<InputPinBase<T>*> inputs(_inputs);
        for (InputPinBase<T>* input : inputs) detach(*input);
    }

    void refresh() override
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        for (InputPinBase<T>* input : _inputs) input->refreshBufferStrategy();
    }

    std::size_t getAttachedCount() const override { return _inputs.size(); }
    const std::vector<InputPinBase<T>*>& getAttachedPins() const { return _inputs; }

private:
    bool isAttached(InputPinBase<T>* input) const
    {
        return std::find(_inputs.begin(), _inputs.end(), input) != _inputs.end();
    }

    Data _data;
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
