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

Poco::Mutex& Pin::getWiringMutex()
{
    static Poco::Mutex mutex;
    return mutex;
}

Synchronizer* AbstractInputPin::getSourceSynchronizer() const
{
    Poco::Mutex::ScopedLock wiring(getWiringMutex());
    AbstractOutputPin* source = getAbstractSource();
    return source ? &source->getSynchronizer() : nullptr;
}

void AbstractInputPin::unlinkFrom(AbstractOutputPin& source)
{
    source.unlink(*this);
}

// The source's owner outlives its pins, so its synchronizer may be used after the wiring
// mutex is let go; the strategy is rebuilt against whatever source is current by then.
template <typename Store>
void AbstractInputPin::setOption(Store store)
{
    Synchronizer::LinkLocker lock(&getSynchronizer(), getSourceSynchronizer());
    Poco::Mutex::ScopedLock wiring(getWiringMutex());
    store();
    rebuildBufferStrategy();
}

void AbstractInputPin::setBufferSize(std::size_t size)
{
    setOption([&] { _bufferSize = size; });
}

void AbstractInputPin::setIsLifo(bool lifo)
{
    setOption([&] { _isLifo = lifo; });
}

void AbstractInputPin::setIsSynchronous(bool synchronous)
{
    setOption([&] { _isSynchronous = synchronous; });
}

void AbstractInputPin::setIsBlocking(bool blocking)
{
    setOption([&] { _isBlocking = blocking; });
}

void AbstractOutputPin::notifyAttached(AbstractInputPin& input, bool& accepted)
{
    if (LayoutManager* layout = getLayoutManager()) layout->linkAttached(*this, input, accepted);
}

void AbstractOutputPin::notifyDetached(AbstractInputPin& input)
{
    if (LayoutManager* layout = getLayoutManager()) layout->linkDetached(*this, input);
}

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
