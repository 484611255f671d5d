#ifndef Quillmesh_Core_AbstractProperty_INCLUDED
#define Quillmesh_Core_AbstractProperty_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/NamedObject.h"
#include "Quillmesh/Core/PropertyBag.h"
#include "Quillmesh/Core/Synchronizer.h"

#include "Util/System/Visitor.h"

#include <Poco/Any.h>

#include <memory>
#include <string>
#include <vector>

namespace Quillmesh {
namespace Core {

class AbstractProperty;

/// Told about value and attribute (writable, persistent, range, entries) changes.
class QuillmeshCore_API PropertyObserver
{
public:
    virtual ~PropertyObserver() = default;
    virtual void valueChanged(const AbstractProperty& property) = 0;
    virtual void attributeChanged(const AbstractProperty& property) = 0;
};

class QuillmeshCore_API AbstractProperty : public Util::System::AbstractVisitable, public NamedObject
{
public:
    /// Joins bag when it is not null; a property without a bag has a lock of its own.
    AbstractProperty(const std::string& name, PropertyBag* bag);
    AbstractProperty(const AbstractProperty&) = delete;
    AbstractProperty& operator=(const AbstractProperty&) = delete;
    ~AbstractProperty() override;

    /// Visitors that know Visitor<const AbstractProperty> get it; others see nothing.
    void accept(Util::System::AbstractVisitor& visitor) const override = 0;
    virtual bool getIsWritable() const = 0;
    virtual bool getIsPersistent() const = 0;
    virtual void serialize(std::string& text) const = 0;
    virtual void deSerialize(const std::string& text) = 0;
    virtual void setAny(const Poco::Any& value) = 0;
    virtual Poco::Any getAny() const = 0;

    PropertyBag* getPropertyBag() const { return _bag; }
    Synchronizer& getSynchronizer() const;

    void addObserver(PropertyObserver* observer);
    void removeObserver(PropertyObserver* observer);
    bool hasObservers() const;
    /// Owners call this after they change a flag such as writable or persistent.
    void notifyAttributeChanged() const;
    void notifyValueChanged() const;

private:
    template <typename Tell>
    void notify(Tell tell) const;

    PropertyBag* _bag;
    std::unique_ptr<Synchronizer> _ownSynchronizer;
    std::vector<PropertyObserver*> _observers;
};

/// Tells the observers about a stored value when it goes out of scope, if changed was true.
class QuillmeshCore_API ScopedChangeValueNotifier
{
public:
    ScopedChangeValueNotifier(const AbstractProperty* property, bool changed) : _property(property), _changed(changed)
    {
    }
    ScopedChangeValueNotifier(const ScopedChangeValueNotifier&) = delete;
    ScopedChangeValueNotifier& operator=(const ScopedChangeValueNotifier&) = delete;
    ~ScopedChangeValueNotifier()
    {
        if (_changed && _property) _property->notifyValueChanged();
    }

private:
    const AbstractProperty* _property;
    bool _changed;
};

} // namespace Core
} // namespace Quillmesh

#endif
