#include "Quillmesh/Core/StringProperty.h"

#include <Poco/Path.h>

namespace Quillmesh {
namespace Core {

void StringProperty::accept(Util::System::AbstractVisitor& visitor) const
{
    if (!acceptImpl<StringProperty>(*this, visitor)) AbstractProperty::accept(visitor);
}

void StringProperty::setExpandVariables(bool expand)
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    _expandVariables = expand;
}

bool StringProperty::getExpandVariables() const
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    return _expandVariables;
}

std::string StringProperty::get() const
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    return _expandVariables ? expandVariables(_value) : _value;
}

std::string StringProperty::expandVariables(const std::string& text)
{
    return Poco::Path::expand(text);
}

} // namespace Core
} // namespace Quillmesh
