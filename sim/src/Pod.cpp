#include <Tarnlink/Sim/Pod.h>
#include <algorithm>
#include <cmath>

namespace Tarnlink {
namespace Sim {

namespace {

const double kPi = 3.14159265358979323846;
const double kGravity = 9.80665; // m/s^2
const std::uint32_t kSetOffsets[3] = {0x0C, 0x7C, 0x100};

std::array<double, 9> inverse3(const std::array<double, 9>& m)
{
    std::array<double, 9> r{};
    r[0] = m[4] * m[8] - m[5] * m[7];
    r[1] = m[2] * m[7] - m[1] * m[8];
    r[2] = m[1] * m[5] - m[2] * m[4];
    r[3] = m[5] * m[6] - m[3] * m[8];
    r[4] = m[0] * m[8] - m[2] * m[6];
    r[5] = m[2] * m[3] - m[0] * m[5];
    r[6] = m[3] * m[7] - m[4] * m[6];
    r[7] = m[1] * m[6] - m[0] * m[7];
    r[8] = m[0] * m[4] - m[1] * m[3];
    const double det = m[0] * r[0] + m[1] * r[3] + m[2] * r[6];
    for (double& v : r) v /= det;
    return r;
}

std::int16_t clamp16(double v)
{
    long r = std::lround(v);
    return static_cast<std::int16_t>(std::max(-32768L, std::min(32767L, r)));
}

void put16(std::string& body, std::size_t at, std::int32_t v)
{
    std::uint16_t u = static_cast<std::uint16_t>(v & 0xFFFF);
    body[at] = static_cast<char>(u >> 8);
    body[at + 1] = static_cast<char>(u & 0xFF);
}

std::uint8_t bcd(unsigned v)
{
    return static_cast<std::uint8_t>((v / 10) * 16 + v % 10);
}

} // namespace

Pod::Pod(const PodConfig& config, std::uint32_t seed)
    : _config(config),
      _noise(seed ^ (config.serial * 2654435761u)),
      _channelCode(config.channelCode),
      _powered(config.powered),
      _motion(MotionScript::wobble(static_cast<double>((config.serial & 0xFFFFFF) % 360)))
{
    _config.serial &= 0xFFFFFF;
    _frameNumber = _config.frameNumberOffset;
    if (_config.vbattRaw != 0)
        setVbattRaw(_config.vbattRaw);
    else
        updateVbatt();
    resetRegisters();
    writeProgramVersion();
    for (unsigned set = 0; set < 3; ++set)
    {
        _countsPerUnit[set] = inverse3(factoryGain(set));
        _bias[set] = factoryOffset(set);
    }
    if (_config.factoryCalibration) writeFactoryCalibration();
}

void Pod::writeProgramVersion()
{
    _eeprom.pokeWord(kProgramVersion, static_cast<std::uint16_t>((kProgramMark << 8) | (_config.firmwareMajor << 4) |
                                                                 _config.firmwareMinor));
}

void Pod::startProgram()
{
    const std::uint16_t descriptor = _eeprom.word(kProgramVersion);
    if ((descriptor >> 8) != kProgramMark) return;
    setFirmwareVersion((descriptor >> 4) & 0xF, descriptor & 0xF);
}

void Pod::setFirmwareVersion(unsigned major, unsigned minor)
{
    _config.firmwareMajor = major & 0xF;
    _config.firmwareMinor = minor & 0xF;
    if (!_protected) writeProgramVersion();
    updateVbatt();
    touch();
}

void Pod::setVbattRaw(unsigned raw)
{
    _vbattFromVolts = false;
    _config.vbattRaw = raw & 0xFFF;
}

void Pod::setBatteryVolts(double volts)
{
    _config.batteryVolts = volts;
    _vbattFromVolts = true;
    updateVbatt();
}

void Pod::updateVbatt()
{
    if (!_vbattFromVolts) return;
    // The ADC reference and divider changed with firmware 1.14; 15.0 and 15.1 kept the old ones.
    const unsigned major = _config.firmwareMajor, minor = _config.firmwareMinor;
    const bool newScale = (major > 1 || minor >= 14) && (major != 15 || minor >= 2);
    const double fullScale = newScale ? 1.2 * 3.5325 : 2.8 * 3.55;
    const long raw = std::lround(_config.batteryVolts * 4096.0 / fullScale);
    _config.vbattRaw = static_cast<unsigned>(std::max(0L, std::min(4095L, raw)));
}

unsigned Pod::reportedType() const
{
    return _protected ? kProtectedType : (_config.type & 0xF);
}

bool Pod::usesOlderFrameLayout() const
{
    return _config.firmwareMajor == 1 && _config.firmwareMinor < 15;
}

void Pod::setPowered(bool on)
{
    if (on && !_powered)
    {
        _channelCode = 0;
        resetRegisters();
        _unlocked = false;
        _protected = _eeprom.word(kBootFlag) == kBootFlag;
    }
    _powered = on;
    touch();
}

void Pod::setNextFrameNumber(std::uint16_t number)
{
    _config.frameNumberOffset = static_cast<std::uint16_t>(_config.frameNumberOffset + (number - _frameNumber));
    _frameNumber = number;
    touch();
}

unsigned Pod::accelerometerCountsPerG() const
{
    // The factory gain is measured at 4g and the host scales it by 0.5, 1 and 2 for 2g, 4g
    // and 8g, so the counts per g halve as the range doubles: 2048, 1024, 512. Code 2 has
    // no name on the host side; it reads like the widest range.
    switch (registerValue(141) & 3)
    {
    case 0:
        return 2048;
    case 1:
        return 1024;
    default:
        return 512;
    }
}

bool Pod::hasRegister(unsigned address)
{
    // 136 is a name in the host's log only. Others get no answer, so the controller
    // sends FF FF FF FF after its time-out as for a pod that is not there.
    return address < 136 || (address > 136 && address <= 143);
}

std::uint16_t Pod::registerValue(unsigned address) const
{
    if (address < 128) return _eeprom.word((registerValue(133) & 0xFF80u) + address);
    switch (address)
    {
    case 128:
        return static_cast<std::uint16_t>((reportedType() << 8) | ((_config.firmwareMajor & 0xF) << 4) |
                                          (_config.firmwareMinor & 0xF));
    case 135:
        return static_cast<std::uint16_t>(_channelCode & 0x7FFF);
    case 137:
        return static_cast<std::uint16_t>(_config.vbattRaw & 0xFFF);
    case 138:
        return static_cast<std::uint16_t>(_config.vtempRaw & 0xFFF);
    default:
    {
        if (!hasRegister(address)) return 0;
        auto it = _registers.find(address);
        return it == _registers.end() ? 0 : it->second;
    }
    }
}

void Pod::setRegisterValue(unsigned address, std::uint16_t value)
{
    if (address < 128)
        _eeprom.pokeWord((registerValue(133) & 0xFF80u) + address, value);
    else if (address == 135)
        _channelCode = value & 0x7FFF;
    else if (address == 134)
        storeId(value);
    else if (hasRegister(address) && address != 128 && address != 137 && address != 138)
        _registers[address] = value;
    touch();
}

void Pod::storeId(std::uint16_t value)
{
    _registers[134] = value;
    _streaming = (value & 0x0300) == 0x0300;
}

void Pod::failRegisterAfter(unsigned address, unsigned requests)
{
    _failAfter[address] = requests;
}

bool Pod::countRequest(unsigned address)
{
    auto it = _failAfter.find(address);
    if (it == _failAfter.end()) return true;
    if (it->second == 0) return false;
    --it->second;
    return true;
}

void Pod::resetRegisters()
{
    _registers.clear();
    for (unsigned a : {129u, 130u, 131u, 132u, 133u, 140u}) _registers[a] = 0;
    storeId(0);
    _registers[139] = 0x0006; // LED on, auto power-off one minute
    _registers[141] = 3;
    _registers[142] = 4;
    _registers[143] = 1; // gyroscope on
}

void Pod::reboot(Micros until)
{
    resetRegisters();
    _unlocked = false;
    _protected = _eeprom.word(kBootFlag) == kBootFlag;
    _bootUntil = until;
    ++_reboots;
}

bool Pod::writable(std::uint32_t address) const
{
    return _protected || address >= kWorkingArea;
}

void Pod::eepromCommand(unsigned code)
{
    if (code == 0x20)
        _eeprom.erase(0xFA00, 0xFAFF);
    else if (code == 0x21)
        _eeprom.erase(0xFB00, 0xFBFF);
    else if (code == 0x22)
        _eeprom.erase(0xFC00, 0xFDFF);
    else if (code < 16 && _protected)
        _eeprom.erase(code * kProgramSectorSize, code * kProgramSectorSize + kProgramSectorSize - 1);
    else if (code == 0x23 && _protected)
    {
        _eeprom.erase(kBootFlag, kBootFlag + 1);
        _protected = false;
        startProgram();
    }
}

Pod::Outcome Pod::read(unsigned address, Micros)
{
    Outcome out;
    if (!hasRegister(address) || !countRequest(address))
    {
        out.answered = false;
        return out;
    }
    out.value = registerValue(address);
    return out;
}

Pod::Outcome Pod::write(unsigned address, std::uint16_t value, Micros)
{
    Outcome out;
    if (!hasRegister(address) || !countRequest(address))
    {
        out.answered = false;
        return out;
    }
    out.value = value;
    if (address < 128)
    {
        std::uint32_t target = (registerValue(133) & 0xFF80u) + address;
        if (_unlocked && writable(target)) _eeprom.program(target, value);
        return out;
    }
    switch (address)
    {
    case 128:
    case 135: // takes effect once the echo is out
    case 137:
    case 138:
        break;
    case 134:
        storeId(value & 0x03FF);
        break;
    case 140:
        _registers[140] = value;
        if (value & 0x0200) eepromCommand(value & 0xFF);
        _unlocked = (value & 0x0100) != 0;
        break;
    default:
        _registers[address] = value;
    }
    return out;
}

void Pod::afterWrite(unsigned address, std::uint16_t value, Micros bootUntil)
{
    if (address == 135)
        _channelCode = value & 0x7FFF;
    else if (address == 134)
    {
        if (value & 0x0800) reboot(bootUntil);
        if (value & 0x0400) _powered = false;
    }
}

std::uint32_t Pod::calibrationSetBase(unsigned set, std::uint32_t area) const
{
    return area + kSetOffsets[set % 3];
}

std::array<double, 9> Pod::factoryGain(unsigned set) const
{
    // Nominal: 1024 counts per g at 4g, 10.9 counts per uT (1090 per gauss), 16.4 counts per
    // degree per second; each pod a few per cent off on the diagonal, a little cross-axis.
    const double scale[3] = {kGravity / 1024.0, 1.0 / 10.9, (kPi / 180.0) / 16.4};
    std::array<double, 9> g{};
    for (unsigned r = 0; r < 3; ++r)
        for (unsigned c = 0; c < 3; ++c)
        {
            double s = scale[set % 3];
            g[3 * r + c] = r == c ? s * (1.0 + 0.01 * ((_config.serial + set + r) % 5))
                                  : s * 0.001 * static_cast<double>((_config.serial >> (r + 3 * c)) % 3);
        }
    return g;
}

std::array<double, 3> Pod::factoryOffset(unsigned set) const
{
    // Sensor biases: 1 to 8 steps of 0.04 m/s^2, 2.5 uT (hard iron) or 0.003 rad/s, either sign.
    const double step[3] = {0.04, 2.5, 0.003};
    std::array<double, 3> o{};
    for (unsigned r = 0; r < 3; ++r)
    {
        const double size = step[set % 3] * static_cast<double>(1 + (_config.serial >> (3 * r + 2 * set)) % 8);
        o[r] = (_config.serial >> (12 + 3 * set + r)) & 1 ? -size : size;
    }
    return o;
}

std::array<double, 9> Pod::calibrationGain(unsigned set, std::uint32_t area) const
{
    std::uint32_t base = calibrationSetBase(set, area) + 16;
    std::array<double, 9> g{};
    for (unsigned r = 0; r < 3; ++r)
        for (unsigned c = 0; c < 3; ++c) g[3 * r + c] = _eeprom.real(base + 8 * (r + 3 * c));
    return g;
}

std::array<double, 3> Pod::calibrationOffset(unsigned set, std::uint32_t area) const
{
    std::uint32_t base = calibrationSetBase(set, area) + 88;
    return {_eeprom.real(base), _eeprom.real(base + 8), _eeprom.real(base + 16)};
}

void Pod::writeFactoryCalibration()
{
    for (std::uint32_t area : {kWorkingArea, kManufacturingArea})
    {
        _eeprom.pokeUInt32(area, 0x12000000u | (_config.serial & 0xFFFF));
        const std::uint8_t identity[8] = {static_cast<std::uint8_t>(_config.serial >> 16),
                                          static_cast<std::uint8_t>(_config.serial >> 8),
                                          static_cast<std::uint8_t>(_config.serial),
                                          0x01,
                                          0x00,
                                          0x00,
                                          0x03,
                                          0x00};
        for (unsigned k = 0; k < 8; ++k) _eeprom.pokeByte(area + 4 + k, identity[k]);
        for (unsigned set = 0; set < 3; ++set)
        {
            std::uint32_t base = calibrationSetBase(set, area);
            // 12 March 2015, 10:20:30 UTC
            const std::uint8_t header[8] = {bcd(12), bcd(3), bcd(15), bcd(10), bcd(20), bcd(30), 0x00, 0x03};
            for (unsigned k = 0; k < 8; ++k) _eeprom.pokeByte(base + k, header[k]);
            _eeprom.pokeReal(base + 8, 24.5);
            std::array<double, 9> g = factoryGain(set);
            for (unsigned r = 0; r < 3; ++r)
                for (unsigned c = 0; c < 3; ++c) _eeprom.pokeReal(base + 16 + 8 * (r + 3 * c), g[3 * r + c]);
            std::array<double, 3> o = factoryOffset(set);
            for (unsigned r = 0; r < 3; ++r) _eeprom.pokeReal(base + 88 + 8 * r, o[r]);
        }
    }
}

PodSample Pod::measure(Micros t)
{
    const MotionTruth truth = _motion.at(static_cast<double>(t) / 1e6);
    Vector3 physical[3] = {truth.specificForce(), truth.fieldInPod(), truth.angularVelocity};
    for (std::size_t k = 0; k < 3; ++k) physical[2][k] += _sensors.gyroscopeBias[k];
    const double sigma[3] = {_sensors.accelerometerNoise, _sensors.magnetometerNoise, _sensors.gyroscopeNoise};
    auto gaussian = [this](double s) {
        if (s <= 0) return 0.0;
        // The polar method on draws of the pod's generator, two at a time, cut at 4 sigma.
        double n = _spareNormal;
        if (!_haveSpareNormal)
        {
            double u, v, r;
            do
            {
                u = 2 * ((static_cast<double>(_noise()) + 0.5) / 4294967296.0) - 1;
                v = 2 * ((static_cast<double>(_noise()) + 0.5) / 4294967296.0) - 1;
                r = u * u + v * v;
            } while (r >= 1);
            const double f = std::sqrt(-2 * std::log(r) / r);
            n = u * f;
            _spareNormal = v * f;
        }
        _haveSpareNormal = !_haveSpareNormal;
        return s * std::max(-4.0, std::min(4.0, n));
    };

    // Full scale in counts. The accelerometer's is 4096 at every range (2048 counts per g at
    // 2g ...); the magnetometer keeps 10.9 counts per uT and the gyroscope 16.4 per deg/s in
    // every mode, only their ranges change.
    static const double magRange[8] = {88, 130, 190, 250, 400, 470, 560, 810}; // uT
    const double limit[3] = {4096.0, magRange[registerValue(142) & 7] * 10.9,
                             (registerValue(143) & 2 ? 2000.0 / 4.5 : 2000.0) * 16.4};
    // The counts are what the factory calibration maps back onto the truth; the host scales the
    // accelerometer gain with the range, so the counts scale the other way.
    const double rangeFactor = 1024.0 / accelerometerCountsPerG();
    const bool gyroOn = (registerValue(143) & 1) != 0;
    PodSample sample;
    for (unsigned set = 0; set < 3; ++set)
    {
        double felt[3];
        for (unsigned k = 0; k < 3; ++k) felt[k] = physical[set][k] + gaussian(sigma[set]) + _bias[set][k];
        std::int16_t* out = set == 0 ? sample.acc.data() : set == 1 ? sample.mag.data() : sample.gyr.data();
        for (unsigned r = 0; r < 3; ++r)
        {
            double c = 0;
            for (unsigned k = 0; k < 3; ++k) c += _countsPerUnit[set][3 * r + k] * felt[k];
            if (set == 0) c /= rangeFactor;
            out[r] = set == 2 && !gyroOn ? 0 : clamp16(std::max(-limit[set], std::min(limit[set], c)));
        }
    }
    sample.status = static_cast<std::uint8_t>((_button ? 1 : 0) | ((_config.batteryLevel & 7) << 1));
    return sample;
}

std::string Pod::nextFrameBody(unsigned length, Micros t, std::uint16_t number)
{
    PodSample sample = measure(t);
    sample.frameNumber = number;
    _frameNumber = static_cast<std::uint16_t>(number + 1);
    _lastSample = sample;
    ++_framesSent;

    std::string body(length, '\0');
    body[0] = static_cast<char>(slot());
    put16(body, 1, sample.frameNumber);
    const auto& a = sample.acc;
    const auto& mg = sample.mag;
    const auto& w = sample.gyr;
    bool older = usesOlderFrameLayout();
    if (older)
    {
        // The older layout's x16 saturates like the sensor would at 2g.
        put16(body, 3, clamp16(-a[1] * 16.0));
        put16(body, 5, clamp16(a[0] * 16.0));
        put16(body, 7, clamp16(-a[2] * 16.0));
        put16(body, 9, mg[1]);
        put16(body, 11, -mg[0]);
        put16(body, 13, mg[2]);
    }
    else
    {
        for (unsigned k = 0; k < 3; ++k)
        {
            put16(body, 3 + 2 * k, a[k]);
            put16(body, 9 + 2 * k, mg[k]);
        }
    }
    if (length >= 22)
    {
        if (older)
        {
            put16(body, 15, w[1]);
            put16(body, 17, -w[0]);
            put16(body, 19, w[2]);
        }
        else
        {
            for (unsigned k = 0; k < 3; ++k) put16(body, 15 + 2 * k, w[k]);
        }
    }
    body[length - 1] = static_cast<char>(sample.status);
    return body;
}

} // namespace Sim
} // namespace Tarnlink
