#ifndef Tarnlink_Sim_Controller_INCLUDED
#define Tarnlink_Sim_Controller_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <Tarnlink/Sim/Eeprom.h>
#include <Tarnlink/Sim/VirtualClock.h>
#include <cstdint>
#include <map>

namespace Tarnlink {
namespace Sim {

enum class Generation
{
    First = 1, ///< FTDI based: registers 0-9, hardware code 2, tick 32000 ns, firmware 2.1 by default
    Second = 2 ///< ST based: registers 0-12, hardware code 5, own EEPROM, tick 1000/2000 ns
};

enum class ControllerState
{
    Idle = 0,
    Pairing = 1,
    Transmission = 2,
    Listening = 3
};

/// The USB radio controller's registers and, for generation 2, its own EEPROM.
///
/// The state follows the register bits: TDMA_PERIOD bit 15 is Transmission, otherwise
/// PAIRING_CTRL bit 0 Pairing, bit 1 Listening. While transmitting the controller sends
/// no echo to register writes, nor to the write that starts transmission.
/// Generation 2 EEPROM: 512-byte sectors (EEPTROM_CTRL code 4 erases sector field 1 while
/// access is open), serial number at word addresses 0x7000 (bits 23-16) and 0x7002.
class TarnlinkSim_API Controller
{
public:
    static constexpr std::uint32_t kEepromSectorSize = 0x200;
    static constexpr std::uint32_t kSerialAddress = 0x7000;

    explicit Controller(Generation generation = Generation::Second);

    Generation generation() const { return _generation; }
    /// 2 for generation 1, 5 for generation 2.
    unsigned hardwareCode() const;
    unsigned firmwareMajor() const { return _major; }
    unsigned firmwareMinor() const { return _minor; }
    void setFirmwareVersion(unsigned major, unsigned minor);
    /// Frame period tick in ns: 32000; generation 2: 1000 below firmware 0.7, else 2000.
    unsigned tickNanoseconds() const;
    /// Highest register address (9 or 12).
    unsigned lastRegister() const;

    /// Serial number from the EEPROM (generation 2), 0 for generation 1.
    std::uint32_t serialNumber() const;
    /// Stores the serial number in the EEPROM (generation 2 only).
    void setSerialNumber(std::uint32_t serial);
    void setFwuVersion(unsigned major, unsigned minor);

    ControllerState state() const;
    /// RF_CHANNEL bits 0-6.
    unsigned channelCode() const { return registerValue(2) & 0x7F; }
    /// 16 or 22 by FRAME_MODE.
    unsigned frameLength() const { return (registerValue(9) & 1) ? 22 : 16; }
    /// Frame period in nanoseconds from TDMA_PERIOD bits 0-14 and the tick (0 when unset).
    std::uint64_t framePeriodNanoseconds() const;
    /// Serial from SLAVE_ADDR_MSB bits 0-7 and SLAVE_ADDR_LSB.
    std::uint32_t selectedSerial() const;
    /// True once SLAVE_ADDR_LSB or SLAVE_ADDR_MSB was written.
    bool slaveSelected() const { return _slaveSelected; }

    /// Stored register value; VERSION is computed from the firmware version.
    std::uint16_t registerValue(unsigned address) const;
    /// Pokes a register without side effects or recording.
    void setRegisterValue(unsigned address, std::uint16_t value);
    /// After this many more requests for that register the controller stops replying to it.
    void failRegisterAfter(unsigned address, unsigned requests);

    Eeprom& eeprom() { return _eeprom; }
    const Eeprom& eeprom() const { return _eeprom; }
    std::uint16_t eepromWord(std::uint32_t address) const { return _eeprom.word(address); }
    bool eepromOpen() const { return _eepromOpen; }

private:
    friend class Simulator;

    void touch()
    {
        if (_revision) ++*_revision;
    }
    std::uint64_t* _revision = nullptr;

    struct Outcome
    {
        bool answered = true;
        std::uint16_t value = 0;
    };

    /// Registers back to their power-on values (a replugged controller); firmware and EEPROM stay.
    void powerOn();
    Outcome read(unsigned address);
    Outcome write(unsigned address, std::uint16_t value);
    bool countRequest(unsigned address);

    Generation _generation;
    unsigned _major;
    unsigned _minor;
    std::map<unsigned, std::uint16_t> _registers;
    std::map<unsigned, unsigned> _failAfter;
    Eeprom _eeprom;
    bool _eepromOpen = false;
    bool _slaveSelected = false;
};

} // namespace Sim
} // namespace Tarnlink

#endif
