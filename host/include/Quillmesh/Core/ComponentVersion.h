#ifndef Quillmesh_Core_ComponentVersion_INCLUDED
#define Quillmesh_Core_ComponentVersion_INCLUDED

#include "Quillmesh/Core/Core.h"
#include <string>

namespace Quillmesh {
namespace Core {

/// "major.minor.patch"; missing parts count as 0.
class QuillmeshCore_API ComponentVersion
{
public:
    ComponentVersion() = default;
    /// Throws Poco::SyntaxException for anything but up to three dot-separated numbers.
    explicit ComponentVersion(const std::string& text);
    ComponentVersion(unsigned major, unsigned minor, unsigned patch);

    unsigned getMajor() const { return _major; }
    unsigned getMinor() const { return _minor; }
    unsigned getPatch() const { return _patch; }
    std::string toString() const;

    /// Same major and minor: the interfaces between host and module match.
    bool isCompatibleWith(const ComponentVersion& other) const;

    bool operator==(const ComponentVersion& other) const;
    bool operator!=(const ComponentVersion& other) const { return !(*this == other); }
    bool operator<(const ComponentVersion& other) const;

private:
    unsigned _major = 0;
    unsigned _minor = 0;
    unsigned _patch = 0;
};

} // namespace Core
} // namespace Quillmesh

#endif
