#include <Tarnlink/Sim/Controller.h>

namespace Tarnlink {
namespace Sim {

namespace {
const unsigned kOpenAccess = 1;
const unsigned kCloseAccess = 2;
const unsigned kEraseSector = 4;
} // namespace

Controller::Controller(Generation generation)
    : _generation(generation),
      // A generation 1 controller below major 2 cannot drive this pod kind: the default is
      // one the host accepts; setFirmwareVersion(1, 10) gives the older one back.
      _major(generation == Generation::First ? 2 : 1),
      _minor(generation == Generation::First ? 1 : 3)
{
    if (_generation == Generation::Second)
    {
        setSerialNumber(0x0A1B2C);
        setFwuVersion(1, 1);
    }
    powerOn();
}

void Controller::powerOn()
{
    // FWU_VERSION lives in flash and survives; everything else starts over.
    auto fwu = _registers.find(12);
    const bool hasFwu = fwu != _registers.end();
    const std::uint16_t fwuValue = hasFwu ? fwu->second : 0;
    _registers.clear();
    if (hasFwu) _registers[12] = fwuValue;
    _registers[2] = 0x0F00;
    // Power-on rate of 200 Hz.
    _registers[1] = static_cast<std::uint16_t>(1000000000ull / (200ull * tickNanoseconds()));
    _eepromOpen = false;
    _slaveSelected = false;
    touch();
}

unsigned Controller::hardwareCode() const
{
    return _generation == Generation::First ? 2 : 5;
}

void Controller::setFirmwareVersion(unsigned major, unsigned minor)
{
    _major = major & 0xF;
    _minor = minor & 0xF;
    touch();
}

unsigned Controller::tickNanoseconds() const
{
    if (_generation == Generation::First) return 32000;
    return (_major == 0 && _minor < 7) ? 1000 : 2000;
}

unsigned Controller::lastRegister() const
{
    return _generation == Generation::First ? 9 : 12;
}

std::uint32_t Controller::serialNumber() const
{
    if (_generation == Generation::First) return 0;
    return (static_cast<std::uint32_t>(_eeprom.word(kSerialAddress) & 0xFF) << 16) | _eeprom.word(kSerialAddress + 2);
}

void Controller::setSerialNumber(std::uint32_t serial)
{
    if (_generation == Generation::First) return;
    _eeprom.pokeWord(kSerialAddress, static_cast<std::uint16_t>((serial >> 16) & 0xFF));
    _eeprom.pokeWord(kSerialAddress + 2, static_cast<std::uint16_t>(serial & 0xFFFF));
}

void Controller::setFwuVersion(unsigned major, unsigned minor)
{
    _registers[12] = static_cast<std::uint16_t>(((major & 0xF) << 4) | (minor & 0xF));
}

ControllerState Controller::state() const
{
    if (registerValue(1) & 0x8000) return ControllerState::Transmission;
    std::uint16_t pairing = registerValue(5);
    if (pairing & 1) return ControllerState::Pairing;
    if (pairing & 2) return ControllerState::Listening;
    return ControllerState::Idle;
}

std::uint64_t Controller::framePeriodNanoseconds() const
{
    return static_cast<std::uint64_t>(registerValue(1) & 0x7FFF) * tickNanoseconds();
}

std::uint32_t Controller::selectedSerial() const
{
    return (static_cast<std::uint32_t>(registerValue(3) & 0xFF) << 16) | registerValue(4);
}

std::uint16_t Controller::registerValue(unsigned address) const
{
    if (address == 0) return static_cast<std::uint16_t>((hardwareCode() << 8) | (_major << 4) | _minor);
    if (address == 7 && _generation == Generation::Second) return _eeprom.word(registerValue(10));
    auto it = _registers.find(address);
    return it == _registers.end() ? 0 : it->second;
}

void Controller::setRegisterValue(unsigned address, std::uint16_t value)
{
    _registers[address] = value;
    touch();
}

void Controller::failRegisterAfter(unsigned address, unsigned requests)
{
    _failAfter[address] = requests;
}

bool Controller::countRequest(unsigned address)
{
    auto it = _failAfter.find(address);
    if (it == _failAfter.end()) return true;
    if (it->second == 0) return false;
    --it->second;
    return true;
}

Controller::Outcome Controller::read(unsigned address)
{
    Outcome out;
    if (address > lastRegister() || !countRequest(address))
    {
        out.answered = false;
        return out;
    }
    out.value = registerValue(address);
    return out;
}

Controller::Outcome Controller::write(unsigned address, std::uint16_t value)
{
    Outcome out;
    if (address > lastRegister() || !countRequest(address))
    {
        out.answered = false;
        return out;
    }
    out.value = value;
    bool second = _generation == Generation::Second;
    switch (address)
    {
    case 0:
        break; // read-only
    case 3:
    case 4:
        _registers[address] = value;
        _slaveSelected = true;
        break;
    case 7:
        _registers[7] = value;
        if (second && _eepromOpen) _eeprom.program(registerValue(10), value);
        break;
    case 8:
        _registers[8] = value;
        if (second)
        {
            unsigned code = value & 0xFF;
            if (code == kOpenAccess)
                _eepromOpen = true;
            else if (code == kCloseAccess)
                _eepromOpen = false;
            else if (code == kEraseSector && _eepromOpen)
            {
                std::uint32_t first = static_cast<std::uint32_t>(value >> 8) * kEepromSectorSize;
                _eeprom.erase(first, first + kEepromSectorSize - 1);
            }
        }
        break;
    case 12:
        break; // read-only
    default:
        _registers[address] = value;
    }
    return out;
}

} // namespace Sim
} // namespace Tarnlink
