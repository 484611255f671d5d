#ifndef Quillmesh_Core_FileNameProperty_INCLUDED
#define Quillmesh_Core_FileNameProperty_INCLUDED

#include "Quillmesh/Core/Core.h"
#include "Quillmesh/Core/StringProperty.h"

namespace Quillmesh {
namespace Core {

/// A file name, with the pattern and options a file chooser would use.
class QuillmeshCore_API FileNameProperty : public StringProperty
{
public:
    FileNameProperty(const std::string& name, PropertyBag* bag, const std::string& pattern = "*",
                     bool mustExist = false, bool isDirectory = false, bool forSaving = false)
        : StringProperty(name, bag),
          _pattern(pattern),
          _mustExist(mustExist),
          _isDirectory(isDirectory),
          _forSaving(forSaving)
    {
    }

    void accept(Util::System::AbstractVisitor& visitor) const override
    {
        if (!acceptImpl<FileNameProperty>(*this, visitor)) AbstractProperty::accept(visitor);
    }

    const std::string& getPattern() const { return _pattern; }
    bool getMustExist() const { return _mustExist; }
    bool getIsDirectory() const { return _isDirectory; }
    bool getForSaving() const { return _forSaving; }

private:
    std::string _pattern;
    bool _mustExist;
    bool _isDirectory;
    bool _forSaving;
};

} // namespace Core
} // namespace Quillmesh

#endif
