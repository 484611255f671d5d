// Restores a property bag from an arbitrary settings file.
#include "Quillmesh/Core/EnumProperty.h"
#include "Quillmesh/Core/PropertyBag.h"
#include "Quillmesh/Core/PropertyPersistence.h"
#include "Quillmesh/Core/RangeProperty.h"
#include "Quillmesh/Core/ValueProperty.h"

#include <Poco/Exception.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace Quillmesh::Core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = "/tmp/fuzz-settings-" + std::to_string(::getpid()) + ".properties";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    PropertyBag bag;
    ValueProperty<std::string> serial("serial", &bag);
    RangeProperty<int> frequency("frequency", &bag, 10, 500, 10);
    ValueProperty<bool> gyro("Gyro On", &bag);
    EnumProperty<std::string> mode("Acc Mode", &bag);
    mode.addEntry("2g");
    mode.addEntry("4g");
    ValueProperty<double> rate("Rate a:b", &bag);
    ValueProperty<std::string> dotted("Copy Calib to Manuf.", &bag);
    try
    {
        const auto problems = restoreProperties(bag, path);
        if (problems.size() > bag.getProperties().size()) __builtin_trap();
    }
    catch (const Poco::Exception&)
    {
    }
    if (frequency.get() < 10 || frequency.get() > 500 || mode.get() >= 2) __builtin_trap();
    return 0;
}
