#ifndef Tarnlink_FirmwareImage_INCLUDED
#define Tarnlink_FirmwareImage_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/FirmwareWord.h>
#include <cstdint>
#include <istream>
#include <map>
#include <ostream>
#include <string>

namespace Tarnlink {

/// An Intel HEX firmware file authenticated by its ".md5" companion (HMAC-MD5), as 16-bit words by address.
/// Not thread-safe while it loads or takes words read back; once loaded, several threads may read it.
class Tarnlink_API FirmwareImage
{
public:
    typedef std::map<std::uint32_t, FirmwareWord> EntryMap;

    /// Loads path; missing files throw the POCO file exceptions, a bad file leaves the image invalid.
    explicit FirmwareImage(const std::string& path, std::uint32_t addressOffset = 0);
    FirmwareImage(const FirmwareImage&) = delete;
    FirmwareImage& operator=(const FirmwareImage&) = delete;

    void load(const std::string& path);
    bool isValid() const { return _valid; }
    /// False when invalid or empty; otherwise every read-back word equals its file word.
    bool matches() const;
    /// "File is valid"/"File not valid", then an "eeprom @" and a "file @" line per entry, in hex.
    void writeReport(std::ostream& out) const;

    EntryMap& entries() { return _entries; }
    const EntryMap& entries() const { return _entries; }
    EntryMap::iterator begin() { return _entries.begin(); }
    EntryMap::iterator end() { return _entries.end(); }
    EntryMap::const_iterator begin() const { return _entries.begin(); }
    EntryMap::const_iterator end() const { return _entries.end(); }

    /// Lowercase hex HMAC-MD5 of the file's bytes under the firmware key.
    static std::string signature(const std::string& path);
    /// Parses Intel HEX records into entries; false when the text is not a complete file.
    static bool parse(std::istream& in, std::uint32_t addressOffset, EntryMap& entries);

private:
    EntryMap _entries;
    bool _valid = false;
    std::uint32_t _addressOffset;
};

} // namespace Tarnlink

#endif
