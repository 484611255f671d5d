#include <Tarnlink/Sim/Wire.h>
#include <Poco/Exception.h>
#include <cctype>

namespace Tarnlink {
namespace Sim {

namespace {
const unsigned kChannelCodes[32] = {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x12, 0x46, 0x22, 0x32, 0x42,
                                    0x52, 0x04, 0x14, 0x24, 0x34, 0x44, 0x06, 0x16, 0x26, 0x36, 0x02,
                                    0x54, 0x56, 0x60, 0x62, 0x64, 0x66, 0x70, 0x72, 0x74, 0x76};
}

const std::string& Wire::marker()
{
    static const std::string bytes("\x55\xAA\x55\xAA", 4);
    return bytes;
}

std::string Wire::request(std::uint8_t opcode, std::uint8_t address, std::uint16_t value)
{
    std::string out = marker();
    out += static_cast<char>(opcode);
    out += static_cast<char>(address);
    out += static_cast<char>(value >> 8);
    out += static_cast<char>(value & 0xFF);
    return out;
}

std::string Wire::reply(std::uint8_t opcode, std::uint8_t address, std::uint16_t value)
{
    return request(opcode, address, value);
}

std::string Wire::timeoutReply()
{
    return marker() + std::string(4, '\xFF');
}

std::string Wire::frame(std::uint8_t id, const std::string& body)
{
    return marker() + static_cast<char>(id) + body;
}

unsigned Wire::channelCode(unsigned index)
{
    if (index >= 32) throw Poco::RangeException("Channel index out of range");
    return kChannelCodes[index];
}

unsigned Wire::channelIndex(unsigned code)
{
    for (unsigned i = 0; i < 32; ++i)
        if (kChannelCodes[i] == code) return i;
    return 32;
}

std::string Wire::fromHex(const std::string& hex)
{
    std::string out;
    int high = -1;
    for (char c : hex)
    {
        if (std::isspace(static_cast<unsigned char>(c)) || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            throw Poco::DataFormatException("Not a hex digit", std::string(1, c));
        int v = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                                                            : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (high < 0)
        {
            high = v;
        }
        else
        {
            out += static_cast<char>(high * 16 + v);
            high = -1;
        }
    }
    if (high >= 0) throw Poco::DataFormatException("Odd number of hex digits");
    return out;
}

std::string Wire::toHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes)
    {
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

} // namespace Sim
} // namespace Tarnlink
