#include "Quillmesh/Core/Pin.h"

#include "Quillmesh/Core/LayoutManager.h"
#include "Quillmesh/Core/PinManager.h"

#include <algorithm>

namespace Quillmesh {
namespace Core {

Pin::Pin(const std::string& name, PinManager* manager)
    : NamedObject(name), _manager(manager), _ownSynchronizer(manager ? nullptr : new Synchronizer)
{
    if (_manager) _manager->addPin(this);
}

Pin::~Pin()
{
    if (_manager) _manager->removePin(this);
}

Synchronizer& Pin::getSynchronizer() const
{
    return _manager ? _manager->getSynchronizer() : *_ownSynchronizer;
}

LayoutManager* Pin::getLayoutManager() const
{
    return _manager ? _manager->getLayoutManager() : nullptr;
}

void AbstractInputPin::setBufferSize(std::size_t size)
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    _bufferSize = size;
    refreshBufferStrategy();
}

void AbstractInputPin::setIsLifo(bool lifo)
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    _isLifo = lifo;
    refreshBufferStrategy();
}

void AbstractInputPin::setIsSynchronous(bool synchronous)
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    _isSynchronous = synchronous;
    refreshBufferStrategy();
}

void AbstractInputPin::setIsBlocking(bool blocking)
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    _isBlocking = blocking;
    refreshBufferStrategy();
}

void AbstractOutputPin::notifyAttached(AbstractInputPin& input, bool& accepted)
{
    if (LayoutManager* layout = getLayoutManager()) layout->linkAttached(*this, input, accepted);
}

void AbstractOutputPin::notifyDetached(AbstractInputPin& input)
{
    if (LayoutManager* layout = getLayoutManager()) layout->linkDetached(*this, input);
}

std::vector<AbstractInputPin*> PinManager::getInputPins() const
{
    std::vector<AbstractInputPin*> pins;
    for (Pin* pin : _pins)
        if (auto* input = dynamic_cast<AbstractInputPin*>(pin)) pins.push_back(input);
    return pins;
}

std::vector<AbstractOutputPin*> PinManager::getOutputPins() const
{
    std::vector<AbstractOutputPin*> pins;
    for (Pin* pin : _pins)
        if (auto* output = dynamic_cast<AbstractOutputPin*>(pin)) pins.push_back(output);
    return pins;
}

AbstractInputPin* PinManager::findInputPin(const std::string& name) const
{
    for (AbstractInputPin* pin : getInputPins())
        if (pin->getName() == name) return pin;
    return nullptr;
}

AbstractOutputPin* PinManager::findOutputPin(const std::string& name) const
{
    for (AbstractOutputPin* pin : getOutputPins())
        if (pin->getName() == name) return pin;
    return nullptr;
}

void PinManager::removePin(Pin* pin)
{
    auto it = std::find(_pins.begin(), _pins.end(), pin);
    if (it != _pins.end()) _pins.erase(it);
}

} // namespace Core
} // namespace Quillmesh
