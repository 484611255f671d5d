#include <Poco/Exception.h>
#include <Poco/NumberFormatter.h>
#include <Tarnlink/Driftnode3.h>
#include <Tarnlink/RegisterMap.h>

namespace Tarnlink {

namespace {
typedef Driftnode::FieldDescriptor Field;

const Field streamingEnable{PodReg::ID, 1};
const Field samplePeriod{PodReg::SAMPLE_PERIOD, 0};
const Field position{PodReg::ID, 0};
const Field led{PodReg::LOWPWR_CTRL, 1};
const Field autoPowerOff{PodReg::LOWPWR_CTRL, 2};
const Field temperature{PodReg::VTEMP, 0};
const Field battery{PodReg::VBATT, 0};
const Field firmwareMinor{PodReg::VERSION, 0};
const Field firmwareMajor{PodReg::VERSION, 1};
const Field channel{PodReg::RF_CHANNEL, 0};
const Field secondStreamingEnable{PodReg::ID, 2};
const Field switchOffCommand{PodReg::ID, 3};
const Field tdmaDelay{PodReg::TDMA_DELAY, 0};
const Field type{PodReg::VERSION, 2};
const Field rebootCommand{PodReg::ID, 4};
const Field accRange{PodReg::ACC_CTRL, 0};
const Field gyroOption{PodReg::GYR_CTRL, 2};
const Field gyroMode{PodReg::GYR_CTRL, 1};
const Field gyroEnabled{PodReg::GYR_CTRL, 0};
const Field magRange{PodReg::MAG_CTRL, 0};

void checkCode(unsigned code, unsigned last, const char* what)
{
    if (code > last) throw Poco::InvalidArgumentException(std::string(what) + " out of range: " + std::to_string(code));
}
} // namespace

Driftnode3::Driftnode3(Controller* controller, unsigned serial) : DriftnodeRF(controller, serial), _eeprom(*this)
{
    RegisterMap::definePodRegisters(memory);
    resetRegisters();
}

Driftnode3::~Driftnode3() = default;

void Driftnode3::resetRegisters()
{
    memory.reset();
    fieldOf(led).set(1, true);
    fieldOf(autoPowerOff).set(1, true);
    fieldOf(accRange).set(3, true);
    fieldOf(magRange).set(4, true);
    fieldOf(gyroEnabled).set(1, true);
    fieldOf(gyroMode).set(0, true);
    // A restarted pod no longer shows the EEPROM page last selected.
    _eeprom.forgetPage();
}

bool Driftnode3::supportsAutoPowerOff()
{
    unsigned major = 0, minor = 0;
    getFirmwareVersion(major, minor);
    return !(major == 1 && (minor == 11 || minor == 12));
}

bool Driftnode3::supportsLed()
{
    return supportsAutoPowerOff();
}

const Field& Driftnode3::streamingEnableField() const
{
    return streamingEnable;
}
const Field& Driftnode3::samplePeriodField() const
{
    return samplePeriod;
}
const Field& Driftnode3::positionField() const
{
    return position;
}
const Field& Driftnode3::ledField() const
{
    return led;
}
const Field& Driftnode3::autoPowerOffField() const
{
    return autoPowerOff;
}
const Field& Driftnode3::temperatureField() const
{
    return temperature;
}
const Field& Driftnode3::batteryField() const
{
    return battery;
}
const Field& Driftnode3::firmwareMinorField() const
{
    return firmwareMinor;
}
const Field& Driftnode3::firmwareMajorField() const
{
    return firmwareMajor;
}
const Field& Driftnode3::channelField() const
{
    return channel;
}
const Field& Driftnode3::secondStreamingEnableField() const
{
    return secondStreamingEnable;
}
const Field& Driftnode3::switchOffField() const
{
    return switchOffCommand;
}
const Field& Driftnode3::tdmaDelayField() const
{
    return tdmaDelay;
}
const Field& Driftnode3::typeField() const
{
    return type;
}
const Field& Driftnode3::rebootField() const
{
    return rebootCommand;
}
const Field& Driftnode3::accRangeField() const
{
    return accRange;
}
const Field& Driftnode3::gyroOptionField() const
{
    return gyroOption;
}
const Field& Driftnode3::gyroModeField() const
{
    return gyroMode;
}
const Field& Driftnode3::gyroEnabledField() const
{
    return gyroEnabled;
}
const Field& Driftnode3::magRangeField() const
{
    return magRange;
}

double Driftnode3::temperatureFromRaw(unsigned raw)
{
    return (1864.1 - raw * 2800.0 / 4096.0) / 11.71;
}

double Driftnode3::batteryVoltageFromRaw(unsigned raw)
{
    unsigned major = 0, minor = 0;
    try
    {
        getFirmwareVersion(major, minor);
    }
    catch (...)
    {
        throw Poco::IOException("Error while accessing the drfn");
    }
    const bool newScale = (major > 1 || minor >= 14) && (major != 15 || minor >= 2);
    return newScale ? raw * 1.2 * 3.5325 / 4096.0 : raw * 2.8 * 3.55 / 4096.0;
}

bool Driftnode3::isCompatibleSerial(unsigned serial) const
{
    if (serial > 0xFFFFFF) return false;
    const std::string digits = Poco::NumberFormatter::formatHex(serial, 6);
    return digits[0] == 'A' || digits[0] == '1' || digits[0] == '9' || digits.compare(0, 2, "01") == 0;
}

void Driftnode3::reboot()
{
    sendCommand(rebootCommand);
    resetRegisters();
}

void Driftnode3::setAccRange(unsigned code)
{
    checkCode(code, 3, "Accelerometer range code");
    setField(accRange, code);
}

void Driftnode3::setMagRange(unsigned code)
{
    checkCode(code, 7, "Magnetometer range code");
    setField(magRange, code);
}

void Driftnode3::setGyroMode(unsigned mode)
{
    checkCode(mode, 1, "Gyroscope mode");
    setField(gyroMode, mode);
}

void Driftnode3::setGyroEnabled(bool on)
{
    setField(gyroEnabled, on ? 1 : 0);
}

void Driftnode3::scanRegisters()
{
    for (std::uint32_t address = PodReg::VERSION; address <= PodReg::GYR_CTRL; ++address)
        if (address != PodReg::RF_CTRL) readRegister(memory.getRegister(address));
}

} // namespace Tarnlink
