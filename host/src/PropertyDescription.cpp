#include "Quillmesh/Core/PropertyDescription.h"

#include "Quillmesh/Core/CommandProperty.h"
#include "Quillmesh/Core/EnumProperty.h"
#include "Quillmesh/Core/FileNameProperty.h"
#include "Quillmesh/Core/RangeProperty.h"
#include "Quillmesh/Core/StringProperty.h"
#include "Quillmesh/Core/ValueProperty.h"

namespace Quillmesh {
namespace Core {

namespace {

using Util::System::Visitor;

class Describer : public Visitor<const AbstractProperty>,
                  public Visitor<const ValueProperty<bool>>,
                  public Visitor<const ValueProperty<int>>,
                  public Visitor<const ValueProperty<unsigned>>,
                  public Visitor<const ValueProperty<std::string>>,
                  public Visitor<const RangeProperty<int>>,
                  public Visitor<const EnumProperty<std::string>>,
                  public Visitor<const StringProperty>,
                  public Visitor<const FileNameProperty>,
                  public Visitor<const CommandProperty>
{
public:
    std::string kind = "other";
    std::string details;

    void visit(const AbstractProperty&) override { kind = "other"; }
    void visit(const ValueProperty<bool>&) override { kind = "bool"; }
    void visit(const ValueProperty<int>&) override { kind = "int"; }
    void visit(const ValueProperty<unsigned>&) override { kind = "unsigned"; }
    void visit(const ValueProperty<std::string>&) override { kind = "text"; }
    void visit(const RangeProperty<int>& property) override
    {
        kind = "range";
        details = "[" + std::to_string(property.getMin()) + ";" + std::to_string(property.getMax()) + "] step " +
                  std::to_string(property.getStep());
    }
    void visit(const EnumProperty<std::string>& property) override
    {
        kind = "enum";
        const std::vector<std::string> entries = property.getEntries();
        for (std::size_t i = 0; i < entries.size(); ++i)
            details += (i ? ", " : "") + std::to_string(i) + "=" + entries[i];
    }
    void visit(const StringProperty& property) override
    {
        kind = "text";
        if (property.getExpandVariables()) details = "variables expanded";
    }
    void visit(const FileNameProperty& property) override
    {
        kind = "file";
        details = property.getPattern();
    }
    void visit(const CommandProperty&) override { kind = "command"; }
};

} // namespace

PropertyDescription describeProperty(const AbstractProperty& property)
{
    Describer describer;
    property.accept(describer);
    PropertyDescription description;
    description.name = property.getName();
    description.kind = describer.kind;
    description.details = describer.details;
    property.serialize(description.value);
    description.isWritable = property.getIsWritable();
    description.isPersistent = property.getIsPersistent();
    return description;
}

} // namespace Core
} // namespace Quillmesh
