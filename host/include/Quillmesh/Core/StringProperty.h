#ifndef Quillmesh_Core_StringProperty_INCLUDED
#define Quillmesh_Core_StringProperty_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/ValueProperty.h"

namespace Quillmesh {
namespace Core {

/// Text whose get() may expand environment variables ($NAME, ${NAME}, a leading ~).
/// The stored and saved text is always the unexpanded one.
class QuillmeshCore_API StringProperty : public ValueProperty<std::string>
{
public:
    StringProperty(const std::string& name, PropertyBag* bag) : ValueProperty<std::string>(name, bag) {}

    void accept(Util::System::AbstractVisitor& visitor) const override;

    void setExpandVariables(bool expand);
    bool getExpandVariables() const;

    std::string get() const;
    std::string getRaw() const { return ValueProperty<std::string>::get(); }

    static std::string expandVariables(const std::string& text);

private:
    bool _expandVariables = false;
};

} // namespace Core
} // namespace Quillmesh

#endif
