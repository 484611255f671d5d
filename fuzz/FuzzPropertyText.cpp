// Sets host properties of every value type from arbitrary text: the first byte picks the
// property. A value taken must lie in its range and survive its own text form.
#include "Quillmesh/Core/EnumProperty.h"
#include "Quillmesh/Core/PropertyBag.h"
#include "Quillmesh/Core/RangeProperty.h"
#include "Quillmesh/Core/ValueProperty.h"

#include <Poco/Exception.h>

#include <cstddef>
#include <cstdint>
#include <string>

using namespace Quillmesh::Core;

namespace {

struct Properties
{
    Properties()
    {
        mode.addEntry("2g");
        mode.addEntry("4g");
        mode.addEntry("8g");
    }
    PropertyBag bag;
    ValueProperty<int> integer{"int", &bag};
    ValueProperty<unsigned> natural{"unsigned", &bag};
    ValueProperty<double> real{"double", &bag};
    ValueProperty<bool> flag{"bool", &bag};
    ValueProperty<std::string> text{"text", &bag};
    RangeProperty<int> frequency{"frequency", &bag, 10, 500, 10};
    RangeProperty<double> ratio{"ratio", &bag, -1.5, 2.5, 0.5};
    EnumProperty<std::string> mode{"mode", &bag};
};

template <typename P>
void check(P& property, const std::string& input)
{
    try
    {
        property.deSerialize(input);
    }
    catch (const Poco::Exception&)
    {
        return;
    }
    std::string once;
    property.serialize(once);
    const auto value = property.get();
    property.deSerialize(once);
    if (!(property.get() == value)) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) return 0;
    static Properties p;
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (data[0] % 8)
    {
    case 0:
        check(p.integer, input);
        break;
    case 1:
        check(p.natural, input);
        break;
    case 2:
        check(p.real, input);
        break;
    case 3:
        check(p.flag, input);
        break;
    case 4:
        check(p.text, input);
        break;
    case 5:
        check(p.frequency, input);
        if (p.frequency.get() < 10 || p.frequency.get() > 500) __builtin_trap();
        break;
    case 6:
        check(p.ratio, input);
        if (!(p.ratio.get() >= -1.5 && p.ratio.get() <= 2.5)) __builtin_trap();
        break;
    default:
        check(p.mode, input);
        if (p.mode.get() >= 3) __builtin_trap();
        break;
    }
    return 0;
}
