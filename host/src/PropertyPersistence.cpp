#include "Quillmesh/Core/PropertyPersistence.h"

#include "Quillmesh/Core/AbstractProperty.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Poco/Util/PropertyFileConfiguration.h>

#include <exception>

namespace Quillmesh {
namespace Core {

namespace {

// Properties files trim the blanks around a value. A value that starts or ends with a blank
// (or with a quote, to stay unambiguous) is written between double quotes, which reading
// takes off again.
bool needsQuotes(const std::string& text)
{
    if (text.empty()) return false;
    auto special = [](char c) { return c == ' ' || c == '\t' || c == '"'; };
    return special(text.front()) || special(text.back());
}

std::string encode(const std::string& text)
{
    return needsQuotes(text) ? '"' + text + '"' : text;
}

std::string decode(const std::string& text)
{
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
}

// Properties files end a key at ":" or "=", take a line starting with "#" or "!" for a
// comment and trim the blanks around a key, so such characters in a property name are
// written as "%" and two hexadecimal digits (and "%" itself too).
std::string encodeName(const std::string& name)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string key;
    for (std::size_t i = 0; i < name.size(); ++i)
    {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool edge = i == 0 || i + 1 == name.size();
        const bool special = c == '%' || c == ':' || c == '=' || c == '#' || c == '!' || c == '\\' || c < 0x20 ||
                             c == 0x7F || (edge && c == ' ');
        if (special)
        {
            key += '%';
            key += digits[c >> 4];
            key += digits[c & 0x0F];
        }
        else
            key += static_cast<char>(c);
    }
    return key;
}

} // namespace

void saveProperties(const PropertyBag& bag, const std::string& path)
{
    Poco::AutoPtr<Poco::Util::PropertyFileConfiguration> file(new Poco::Util::PropertyFileConfiguration);
    {
        Synchronizer::DisablerLocker lock(&bag.getSynchronizer());
        for (const AbstractProperty* property : bag.getProperties())
        {
            if (!property->getIsPersistent()) continue;
            std::string text;
            property->serialize(text);
            file->setString(encodeName(property->getName()), encode(text));
        }
    }
    file->save(path);
}

std::vector<RestoreProblem> restoreProperties(PropertyBag& bag, const std::string& path)
{
    Poco::AutoPtr<Poco::Util::PropertyFileConfiguration> file(new Poco::Util::PropertyFileConfiguration(path));
    std::vector<RestoreProblem> problems;
    Synchronizer::DisablerLocker lock(&bag.getSynchronizer());
    // A handler may add or remove properties; walk a copy.
    const std::vector<AbstractProperty*> properties = bag.getProperties();
    for (AbstractProperty* property : properties)
    {
        if (!property->getIsPersistent()) continue;
        const std::string& name = property->getName();
        const std::string key = encodeName(name);
        if (!file->has(key))
        {
            problems.push_back({name, "Not in the file"});
            continue;
        }
        // Raw: the configuration would otherwise expand ${...} in texts saved unexpanded.
        const std::string text = decode(file->getRawString(key));
        if (!property->getIsWritable())
        {
            // Writable only at times (while connected, say): a saved value that changes nothing
            // is no reason to complain.
            std::string current;
            property->serialize(current);
            if (current == text) continue;
        }
        try
        {
            property->deSerialize(text);
        }
        catch (const Poco::Exception& error)
        {
            problems.push_back({name, error.displayText()});
        }
        catch (const std::exception& error)
        {
            problems.push_back({name, error.what()});
        }
    }
    return problems;
}

} // namespace Core
} // namespace Quillmesh
