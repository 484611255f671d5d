#include "Quillmesh/Core/PropertyBag.h"

#include "Quillmesh/Core/AbstractProperty.h"
#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Exception.h>

#include <algorithm>

namespace Quillmesh {
namespace Core {

PropertyBag::PropertyBag(PropertyBagOwner* owner) : _owner(owner), _ownSynchronizer(owner ? nullptr : new Synchronizer)
{
}

PropertyBag::~PropertyBag() = default;

Synchronizer& PropertyBag::getSynchronizer() const
{
    return _owner ? _owner->getSynchronizer() : *_ownSynchronizer;
}

AbstractProperty* PropertyBag::find(const std::string& name) const
{
    for (AbstractProperty* property : _properties)
        if (property->getName() == name) return property;
    return nullptr;
}

AbstractProperty& PropertyBag::get(const std::string& name) const
{
    AbstractProperty* property = find(name);
    if (!property) throw Poco::NotFoundException("No property '" + name + "'");
    return *property;
}

void PropertyBag::add(AbstractProperty* property)
{
    _properties.push_back(property);
}

void PropertyBag::remove(AbstractProperty* property)
{
    auto it = std::find(_properties.begin(), _properties.end(), property);
    if (it != _properties.end()) _properties.erase(it);
}

} // namespace Core
} // namespace Quillmesh
