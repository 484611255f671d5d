#include "Quillmesh/Core/AbstractProperty.h"

#include <algorithm>

namespace Quillmesh {
namespace Core {

AbstractProperty::AbstractProperty(const std::string& name, PropertyBag* bag)
    : NamedObject(name), _bag(bag), _ownSynchronizer(bag ? nullptr : new Synchronizer)
{
    if (_bag) _bag->add(this);
}

AbstractProperty::~AbstractProperty()
{
    if (_bag) _bag->remove(this);
}

void AbstractProperty::accept(Util::System::AbstractVisitor& visitor) const
{
    acceptImpl<AbstractProperty>(*this, visitor);
}

Synchronizer& AbstractProperty::getSynchronizer() const
{
    return _bag ? _bag->getSynchronizer() : *_ownSynchronizer;
}

void AbstractProperty::addObserver(PropertyObserver* observer)
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    if (observer && std::find(_observers.begin(), _observers.end(), observer) == _observers.end())
        _observers.push_back(observer);
}

void AbstractProperty::removeObserver(PropertyObserver* observer)
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    auto it = std::find(_observers.begin(), _observers.end(), observer);
    if (it != _observers.end()) _observers.erase(it);
}

bool AbstractProperty::hasObservers() const
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    return !_observers.empty();
}

// Observers are the host's displays; one that fails must not undo a stored value.
void AbstractProperty::notifyAttributeChanged() const
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    for (PropertyObserver* observer : _observers)
    {
        try
        {
            observer->attributeChanged(*this);
        }
        catch (...)
        {
        }
    }
}

void AbstractProperty::notifyValueChanged() const
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    for (PropertyObserver* observer : _observers)
    {
        try
        {
            observer->valueChanged(*this);
        }
        catch (...)
        {
        }
    }
}

} // namespace Core
} // namespace Quillmesh
