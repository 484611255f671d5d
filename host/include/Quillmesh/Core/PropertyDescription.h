#ifndef Quillmesh_Core_PropertyDescription_INCLUDED
#define Quillmesh_Core_PropertyDescription_INCLUDED

#include "Quillmesh/Core/Core.h"
#include <string>

namespace Quillmesh {
namespace Core {

class AbstractProperty;

/// What a host shows of a property.
struct PropertyDescription
{
    std::string name;
    /// "bool", "int", "unsigned", "text", "range", "enum", "file", "command" or "other".
    std::string kind;
    /// The text form (serialize).
    std::string value;
    /// Range and step, enum entries, file pattern; empty otherwise.
    std::string details;
    bool isWritable = false;
    bool isPersistent = false;
};

/// Call under the property's synchronizer when other threads may change it.
QuillmeshCore_API PropertyDescription describeProperty(const AbstractProperty& property);

} // namespace Core
} // namespace Quillmesh

#endif
