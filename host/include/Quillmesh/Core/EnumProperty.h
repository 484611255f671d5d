#ifndef Quillmesh_Core_EnumProperty_INCLUDED
#define Quillmesh_Core_EnumProperty_INCLUDED

#include "Quillmesh/Core/ValueProperty.h"

#include <vector>

namespace Quillmesh {
namespace Core {

/// A choice among entries; the value is the index of the chosen entry, and that index (not
/// the entry) is its text form. With no entries any index is accepted.
template <typename T>
class EnumProperty : public ValueProperty<unsigned>
{
public:
    typedef Util::System::Functor<void> Listener;

    EnumProperty(const std::string& name, PropertyBag* bag) : ValueProperty<unsigned>(name, bag) {}
    ~EnumProperty() override { delete _listener; }

    void accept(Util::System::AbstractVisitor& visitor) const override
    {
        if (!acceptImpl<EnumProperty>(*this, visitor)) AbstractProperty::accept(visitor);
    }

    void validate(const unsigned& index) override
    {
        if (!_entries.empty() && index >= _entries.size()) throw Poco::RangeException();
        checkWritable();
        callHandler(index);
    }

    virtual void notifyEntriesChanged()
    {
        if (_listener) (*_listener)();
        notifyAttributeChanged();
    }

    void addEntry(const T& entry)
    {
        {
            Synchronizer::DisablerLocker lock(&getSynchronizer());
            _entries.push_back(entry);
        }
        notifyEntriesChanged();
    }

    std::vector<T> getEntries() const
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        return _entries;
    }

    /// The entry the value points at; a default T when the index is past the entries.
    T getEntry() const
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        return _value < _entries.size() ? _entries[_value] : T();
    }

    /// Takes ownership of listener.
    void setListener(Listener* listener)
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        delete _listener;
        _listener = listener;
    }

private:
    std::vector<T> _entries;
    Listener* _listener = nullptr;
};

} // namespace Core
} // namespace Quillmesh

#endif
