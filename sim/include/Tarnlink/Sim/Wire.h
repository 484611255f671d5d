#ifndef Tarnlink_Sim_Wire_INCLUDED
#define Tarnlink_Sim_Wire_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <cstdint>
#include <string>

namespace Tarnlink {
namespace Sim {

/// Byte-level vocabulary of the controller link, as the devices see it.
/// Helpers for tests and callers that want to build or check raw bytes.
struct TarnlinkSim_API Wire
{
    enum Opcode : std::uint8_t
    {
        WriteSlave = 2,
        ReadSlave = 3,
        WriteController = 4,
        ReadController = 5,
        Probe = 0xFF
    };

    enum FrameId : std::uint8_t
    {
        DataFrame = 1,
        PairingReport = 6
    };

    /// Controller register addresses.
    enum ControllerRegister : std::uint8_t
    {
        VERSION = 0,
        TDMA_PERIOD = 1,
        RF_CHANNEL = 2,
        SLAVE_ADDR_MSB = 3,
        SLAVE_ADDR_LSB = 4,
        PAIRING_CTRL = 5,
        TEST = 6,
        EEPROM_DATA = 7,
        EEPTROM_CTRL = 8,
        FRAME_MODE = 9,
        EEPROM_ADDR = 10,
        SYNC_CTRL = 11,
        FWU_VERSION = 12
    };

    /// Pod register addresses; 0-127 are the EEPROM window.
    enum PodRegister : std::uint8_t
    {
        POD_VERSION = 128,
        SAMPLE_PERIOD = 129,
        MAGRST_CTRL = 130,
        TEST_CTRL = 131,
        TDMA_DELAY = 132,
        EEPROM_OFFSET = 133,
        ID = 134,
        POD_RF_CHANNEL = 135,
        VBATT = 137,
        VTEMP = 138,
        LOWPWR_CTRL = 139,
        EEPROM_CTRL = 140,
        ACC_CTRL = 141,
        MAG_CTRL = 142,
        GYR_CTRL = 143
    };

    /// 55 AA 55 AA.
    static const std::string& marker();
    /// marker + opcode, address, value big-endian (8 bytes).
    static std::string request(std::uint8_t opcode, std::uint8_t address, std::uint16_t value = 0);
    /// marker + the four answer bytes.
    static std::string reply(std::uint8_t opcode, std::uint8_t address, std::uint16_t value);
    /// marker + FF FF FF FF.
    static std::string timeoutReply();
    /// marker + id + body.
    static std::string frame(std::uint8_t id, const std::string& body);

    /// RF_CHANNEL code of a channel index 0-31; throws Poco::RangeException otherwise.
    static unsigned channelCode(unsigned index);
    /// Index of a channel code, or 32 when the code is not in the table.
    static unsigned channelIndex(unsigned code);

    /// Parses "55 aa 05 00" style text (blanks optional) into bytes.
    static std::string fromHex(const std::string& hex);
    /// Lower-case hex with single blanks between bytes.
    static std::string toHex(const std::string& bytes);
};

} // namespace Sim
} // namespace Tarnlink

#endif
