#ifndef Tarnlink_ControllerV2_INCLUDED
#define Tarnlink_ControllerV2_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Controller.h>
#include <cstdint>

namespace Tarnlink {

/// Generation 2 ("2.0 (ST)"): serial number and firmware in its own EEPROM, sync mode.
/// Not thread-safe: used from one thread at a time, together with its pods, as every Controller.
class Tarnlink_API ControllerV2 : public Controller
{
public:
    /// Reads the serial number from the controller EEPROM; a failure leaves it 0.
    explicit ControllerV2(Protocol* protocol);

    void setSyncMode(unsigned mode) override;
    unsigned getSyncMode() override;
    unsigned getSerialNumber() override { return _serialNumber; }
    bool verifyFirmware(const std::string& path) override;
    bool upgradeFirmware(const std::string& path) override;
    unsigned getPodTimingDivisor() const override { return 20; }
    /// 1000 ns below firmware 0.7, else 2000 ns.
    unsigned getTickNanoseconds() override;

    std::uint16_t readEepromWord(std::uint32_t address);
    /// Up to 50 verified tries; the outcome of the last is not reported.
    void writeEepromWord(std::uint32_t address, std::uint16_t value);

private:
    void setEepromControl(unsigned code, unsigned sector = 0);
    void saveRegisters();
    void restoreRegisters();

    unsigned _syncMode = 1;
    std::uint32_t _serialNumber = 0;
};

} // namespace Tarnlink

#endif
