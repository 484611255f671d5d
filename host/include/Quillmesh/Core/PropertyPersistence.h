#ifndef Quillmesh_Core_PropertyPersistence_INCLUDED
#define Quillmesh_Core_PropertyPersistence_INCLUDED

#include "Quillmesh/Core/Core.h"
#include <string>
#include <vector>

namespace Quillmesh {
namespace Core {

class PropertyBag;

struct RestoreProblem
{
    std::string property;
    std::string reason;
};

/// Writes the persistent properties of bag, as their text form keyed by property name, to a
/// properties file. Holds the bag's synchronizer while it reads them.
QuillmeshCore_API void saveProperties(const PropertyBag& bag, const std::string& path);

/// Sets the persistent properties of bag found in the file, in property creation order.
/// A value a property refuses, and a persistent property the file lacks (reason "Not in the
/// file"), are reported; the others still get theirs. A property that is not writable now is
/// left alone, without a report, when the file holds the value it already has.
/// Throws when the file cannot be read.
QuillmeshCore_API std::vector<RestoreProblem> restoreProperties(PropertyBag& bag, const std::string& path);

} // namespace Core
} // namespace Quillmesh

#endif
