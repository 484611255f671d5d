// Feeds arbitrary text to the parser of the "serial" property.
#include "DRFN3Internal/FilterDRFNBase.h"

#include <Poco/Exception.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<unsigned> serials;
    try
    {
        serials = DRFN3Internal::FilterDRFNBase::parseSerials(text);
    }
    catch (const Poco::SyntaxException&)
    {
        return 0;
    }
    catch (const Poco::ExistsException&)
    {
        return 0;
    }
    // An accepted list has no repeats and never more entries than separated tokens.
    std::vector<unsigned> sorted = serials;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) __builtin_trap();
    if (serials.size() > (size + 1) / 2) __builtin_trap();
    return 0;
}
