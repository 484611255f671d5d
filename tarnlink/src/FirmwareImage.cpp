#include <Poco/DigestEngine.h>
#include <Poco/FileStream.h>
#include <Poco/HMACEngine.h>
#include <Poco/MD5Engine.h>
#include <Tarnlink/FirmwareImage.h>
#include <cctype>

namespace Tarnlink {

namespace {

const char* const FIRMWARE_KEY = "zelqo";

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// Two non-blank characters read as one hex number; the second counts only when it is a digit too.
bool readByte(std::istream& in, std::uint32_t& value)
{
    char c0 = 0, c1 = 0;
    if (!(in >> c0) || !(in >> c1)) return false;
    const int d0 = hexDigit(c0);
    if (d0 < 0) return false;
    const int d1 = hexDigit(c1);
    value = static_cast<std::uint32_t>(d1 < 0 ? d0 : d0 * 16 + d1) & 0xFF;
    return true;
}

} // namespace

FirmwareWord::FirmwareWord(std::uint32_t address) : fileWord(address, 2), eepromWord(address, 2)
{
    fileWord.addField(0, 8, 15, true).addField(1, 0, 7, true);
    eepromWord.addField(0, 8, 15, true).addField(1, 0, 7, true);
}

FirmwareImage::FirmwareImage(const std::string& path, std::uint32_t addressOffset) : _addressOffset(addressOffset)
{
    load(path);
}

std::string FirmwareImage::signature(const std::string& path)
{
    Poco::FileInputStream in(path, std::ios::in | std::ios::binary);
    Poco::HMACEngine<Poco::MD5Engine> engine(FIRMWARE_KEY);
    char buffer[8192];
    while (in)
    {
        in.read(buffer, sizeof buffer);
        if (in.gcount() > 0) engine.update(buffer, static_cast<unsigned>(in.gcount()));
    }
    return Poco::DigestEngine::digestToHex(engine.digest());
}

bool FirmwareImage::parse(std::istream& in, std::uint32_t addressOffset, EntryMap& entries)
{
    in >> std::skipws;
    for (;;)
    {
        char start = 0;
        if (!(in >> start) || start != ':') return false;
        std::uint32_t count = 0, hi = 0, lo = 0, type = 0;
        if (!readByte(in, count) || !readByte(in, hi) || !readByte(in, lo) || !readByte(in, type)) return false;
        const bool endRecord = type == 1; // read whole like any other record
        std::uint32_t address = (((hi << 8) | lo) + addressOffset) & 0xFFFF;
        for (std::uint32_t i = 1; i <= count;)
        {
            if (i == count)
            {
                std::uint32_t b = 0;
                if (!readByte(in, b)) return false;
                if (type == 0)
                {
                    FirmwareWord word(address);
                    word.fileWord.field(0).set(b, false);
                    word.oddByte = true;
                    entries.emplace(address, word);
                    address = (address + 1) & 0xFFFF;
                }
                i += 1;
            }
            else
            {
                std::uint32_t b0 = 0, b1 = 0;
                if (!readByte(in, b0) || !readByte(in, b1)) return false;
                if (type == 0)
                {
                    FirmwareWord word(address);
                    word.fileWord.field(0).set(b0, false);
                    word.fileWord.field(1).set(b1, false);
                    entries.emplace(address, word);
                    address = (address + 2) & 0xFFFF;
                }
                i += 2;
            }
        }
        std::uint32_t checksum = 0; // read, never verified
        if (!readByte(in, checksum)) return false;
        if (endRecord) return true; // nothing after it is read
    }
}

void FirmwareImage::load(const std::string& path)
{
    _entries.clear();
    _valid = false;

    const std::string digest = signature(path);
    std::string expected;
    {
        Poco::FileInputStream sig(path + ".md5", std::ios::in | std::ios::binary);
        char c;
        while (sig.get(c))
            if (c != '\r' && c != '\n') expected += c;
    }
    if (expected != digest) return;

    Poco::FileInputStream in(path, std::ios::in | std::ios::binary);
    EntryMap parsed;
    if (!parse(in, _addressOffset, parsed)) return;
    _entries.swap(parsed);
    _valid = true;
}

bool FirmwareImage::matches() const
{
    if (!_valid || _entries.empty()) return false;
    for (const auto& e : _entries)
        if (!e.second.matches()) return false;
    return true;
}

void FirmwareImage::writeReport(std::ostream& out) const
{
    out << (_valid ? "File is valid" : "File not valid") << '\n' << std::hex << std::nouppercase;
    for (const auto& e : _entries)
    {
        out << "eeprom @" << e.first << '\t' << e.second.eepromValue() << '\n';
        out << "file @" << e.first << '\t' << e.second.fileValue() << '\n';
    }
}

} // namespace Tarnlink
