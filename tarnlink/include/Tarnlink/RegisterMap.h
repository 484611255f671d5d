#ifndef Tarnlink_RegisterMap_INCLUDED
#define Tarnlink_RegisterMap_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Memory.h>
#include <cstdint>
#include <string>

namespace Tarnlink {

/// Wire opcodes.
namespace Opcode {
enum : std::uint8_t
{
    WRITE_SLAVE_REG = 2,
    READ_SLAVE_REG = 3,
    WRITE_FPGA_REG = 4,
    READ_FPGA_REG = 5,
    PROBE = 0xFF
};
} // namespace Opcode

/// Controller register addresses (opcodes 4 and 5).
namespace CtrlReg {
enum : std::uint32_t
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
} // namespace CtrlReg

/// Pod register addresses (opcodes 2 and 3); 0-127 is the EEPROM window.
namespace PodReg {
enum : std::uint32_t
{
    VERSION = 128,
    SAMPLE_PERIOD = 129,
    MAGRST_CTRL = 130,
    TEST_CTRL = 131,
    TDMA_DELAY = 132,
    EEPROM_OFFSET = 133,
    ID = 134,
    RF_CHANNEL = 135,
    RF_CTRL = 136,
    VBATT = 137,
    VTEMP = 138,
    LOWPWR_CTRL = 139,
    EEPROM_CTRL = 140,
    ACC_CTRL = 141,
    MAG_CTRL = 142,
    GYR_CTRL = 143
};
} // namespace PodReg

/// The register tables and the names the traffic log prints; the device classes
/// and the log both read them from here.
/// Thread-safe: it holds only constant tables; the define functions change just the memory they are given.
class Tarnlink_API RegisterMap
{
public:
    /// Log name of an opcode; null for an opcode without one.
    static const char* opcodeName(std::uint8_t opcode);
    /// Log name of a controller register; null when the address has none.
    static const char* controllerRegisterName(std::uint32_t address);
    /// Log name of a pod register; null when the address has none.
    static const char* podRegisterName(std::uint32_t address);
    /// The register name as the log prints it for this opcode family: the name, or two hex digits.
    static std::string logRegisterName(std::uint8_t opcode, std::uint32_t address);
    /// The opcode as the log prints it: its name, or two hex digits.
    static std::string logOpcodeName(std::uint8_t opcode);

    /// Defines the controller registers of a generation (1: addresses 0-9, 2: 0-12).
    static void defineControllerRegisters(Memory& memory, int generation);
    /// Defines the pod registers 128-143 (no register object at 136).
    static void definePodRegisters(Memory& memory);
};

} // namespace Tarnlink

#endif
