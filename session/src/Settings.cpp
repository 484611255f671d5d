#include "Drfn3/Settings.h"

#include <Poco/NumberFormatter.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

namespace Drfn3 {

std::vector<unsigned> parseSerials(const std::string& text)
{
    Poco::StringTokenizer tokens(text, ";, \t",
                                 Poco::StringTokenizer::TOK_IGNORE_EMPTY | Poco::StringTokenizer::TOK_TRIM);
    std::vector<unsigned> serials;
    for (const std::string& token : tokens)
    {
        unsigned value = 0;
        if (!Poco::NumberParser::tryParseHex(token, value) || value > 0xFFFFFF)
            throw UsageError("Not a valid hexadecimal integer: '" + token + "' (pod serials are up to 6 hex digits)");
        serials.push_back(value);
    }
    return serials;
}

std::string hex(unsigned value)
{
    return Poco::NumberFormatter::formatHex(value);
}

} // namespace Drfn3
