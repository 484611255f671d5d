#ifndef Quillmesh_Core_PropertyBag_INCLUDED
#define Quillmesh_Core_PropertyBag_INCLUDED

#include "Quillmesh/Core/Core.h"
#include <memory>
#include <string>
#include <vector>

namespace Quillmesh {
namespace Core {

class AbstractProperty;
class PropertyBagOwner;
class Synchronizer;

/// The properties of one owner, in creation order. It does not own them: properties add
/// themselves when built and leave when destroyed.
class QuillmeshCore_API PropertyBag
{
public:
    explicit PropertyBag(PropertyBagOwner* owner = nullptr);
    PropertyBag(const PropertyBag&) = delete;
    PropertyBag& operator=(const PropertyBag&) = delete;
    ~PropertyBag();

    PropertyBagOwner* getOwner() const { return _owner; }
    Synchronizer& getSynchronizer() const;

    const std::vector<AbstractProperty*>& getProperties() const { return _properties; }
    /// Null when no property has that name.
    AbstractProperty* find(const std::string& name) const;
    /// Throws Poco::NotFoundException when no property has that name.
    AbstractProperty& get(const std::string& name) const;

private:
    friend class AbstractProperty;
    void add(AbstractProperty* property);
    void remove(AbstractProperty* property);

    PropertyBagOwner* _owner;
    std::unique_ptr<Synchronizer> _ownSynchronizer;
    std::vector<AbstractProperty*> _properties;
};

class QuillmeshCore_API PropertyBagOwner
{
public:
    PropertyBagOwner() : _propertyBag(this) {}
    virtual ~PropertyBagOwner() = default;

    PropertyBag& getPropertyBag() { return _propertyBag; }
    const PropertyBag& getPropertyBag() const { return _propertyBag; }

    /// The lock every property of the bag is read and written under.
    virtual Synchronizer& getSynchronizer() = 0;

private:
    PropertyBag _propertyBag;
};

} // namespace Core
} // namespace Quillmesh

#endif
