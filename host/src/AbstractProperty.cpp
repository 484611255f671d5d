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

// Observers are the host's displays; one that fails must not undo a stored value. They are
// told from a copy of the list, so one may add or remove observers (itself included) while
// it is told; an observer removed meanwhile is not told any more.
template <typename Tell>
void AbstractProperty::notify(Tell tell) const
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    const std::vector<PropertyObserver*> observers(_observers);
    for (PropertyObserver* observer : observers)
    {
        if (std::find(_observers.begin(), _observers.end(), observer) == _observers.end()) continue;
        try
        {
            tell(*observer);
        }
        catch (...)
        {
        }
    }
}

void AbstractProperty::notifyAttributeChanged() const
{
    notify([this](PropertyObserver& observer) { observer.attributeChanged(*this); });
}

void AbstractProperty::notifyValueChanged() const
{
    notify([this](PropertyObserver& observer) { observer.valueChanged(*this); });
}

} // namespace Core
} // namespace Quillmesh
