#include "Quillmesh/Core/PinManager.h"

#include "Quillmesh/Core/AbstractInputPin.h"
#include "Quillmesh/Core/AbstractOutputPin.h"

#include <algorithm>

namespace Quillmesh {
namespace Core {

std::vector<Pin*> PinManager::getPins() const
{
    Poco::FastMutex::ScopedLock lock(_pinsMutex);
    return _pins;
}

void PinManager::addPin(Pin* pin)
{
    Poco::FastMutex::ScopedLock lock(_pinsMutex);
    _pins.push_back(pin);
    _generation.fetch_add(1, std::memory_order_release);
}

std::vector<AbstractInputPin*> PinManager::getInputPins() const
{
    std::vector<AbstractInputPin*> pins;
    for (Pin* pin : getPins())
        if (auto* input = dynamic_cast<AbstractInputPin*>(pin)) pins.push_back(input);
    return pins;
}

std::vector<AbstractOutputPin*> PinManager::getOutputPins() const
{
    std::vector<AbstractOutputPin*> pins;
    for (Pin* pin : getPins())
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
    Poco::FastMutex::ScopedLock lock(_pinsMutex);
    auto it = std::find(_pins.begin(), _pins.end(), pin);
    if (it != _pins.end()) _pins.erase(it);
    _generation.fetch_add(1, std::memory_order_release);
}

} // namespace Core
} // namespace Quillmesh
