#include "Quillmesh/Core/ComponentVersion.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

#include <tuple>

namespace Quillmesh {
namespace Core {

ComponentVersion::ComponentVersion(const std::string& text)
{
    Poco::StringTokenizer parts(text, ".", Poco::StringTokenizer::TOK_TRIM);
    if (text.empty() || parts.count() > 3) throw Poco::SyntaxException("Not a version", text);
    unsigned* fields[] = {&_major, &_minor, &_patch};
    for (std::size_t i = 0; i < parts.count(); ++i)
    {
        const std::string& part = parts[i];
        if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos ||
            !Poco::NumberParser::tryParseUnsigned(part, *fields[i]))
            throw Poco::SyntaxException("Not a version", text);
    }
}

ComponentVersion::ComponentVersion(unsigned major, unsigned minor, unsigned patch)
    : _major(major), _minor(minor), _patch(patch)
{
}

std::string ComponentVersion::toString() const
{
    return std::to_string(_major) + "." + std::to_string(_minor) + "." + std::to_string(_patch);
}

bool ComponentVersion::isCompatibleWith(const ComponentVersion& other) const
{
    return _major == other._major && _minor == other._minor;
}

bool ComponentVersion::operator==(const ComponentVersion& other) const
{
    return std::tie(_major, _minor, _patch) == std::tie(other._major, other._minor, other._patch);
}

bool ComponentVersion::operator<(const ComponentVersion& other) const
{
    return std::tie(_major, _minor, _patch) < std::tie(other._major, other._minor, other._patch);
}

} // namespace Core
} // namespace Quillmesh
