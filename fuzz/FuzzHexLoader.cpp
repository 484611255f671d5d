// Feeds arbitrary text to the Intel HEX reader.
#include <Tarnlink/FirmwareImage.h>
#include <cstddef>
#include <cstdint>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    Tarnlink::FirmwareImage::EntryMap entries;
    const bool complete = Tarnlink::FirmwareImage::parse(in, 0x1234, entries);
    for (const auto& e : entries)
    {
        if (e.first > 0xFFFF || e.second.fileValue() > 0xFFFF) __builtin_trap();
    }
    (void)complete;
    return 0;
}
