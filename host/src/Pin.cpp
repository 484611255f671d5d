#include "Quillmesh/Core/Pin.h"

#include "Quillmesh/Core/PinManager.h"

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

} // namespace Core
} // namespace Quillmesh
