#ifndef Quillmesh_Core_NamedObject_INCLUDED
#define Quillmesh_Core_NamedObject_INCLUDED

#include "Quillmesh/Core/Core.h"
#include <string>

namespace Quillmesh {
namespace Core {

class QuillmeshCore_API NamedObject
{
public:
    explicit NamedObject(const std::string& name) : _name(name) {}
    virtual ~NamedObject() = default;

    const std::string& getName() const { return _name; }

private:
    std::string _name;
};

} // namespace Core
} // namespace Quillmesh

#endif
