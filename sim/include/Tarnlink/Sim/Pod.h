#ifndef Tarnlink_Sim_Pod_INCLUDED
#define Tarnlink_Sim_Pod_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <Tarnlink/Sim/Eeprom.h>
#include <Tarnlink/Sim/Motion.h>
#include <Tarnlink/Sim/VirtualClock.h>
#include <array>
#include <cstdint>
#include <map>
#include <random>

namespace Tarnlink {
namespace Sim {

class Simulator;

/// How a pod comes out of the box.
struct PodConfig
{
    std::uint32_t serial = 0x100001;
    unsigned type = 3;
    unsigned firmwareMajor = 1;
    unsigned firmwareMinor = 15;
    /// RF_CHANNEL code it listens on (code 0 is channel index 0).
    unsigned channelCode = 0;
    bool powered = true;
    /// Battery voltage. VBATT carries it on the firmware's own ADC scale: firmware before
    /// 1.14 (and 15.0, 15.1) measures 9.94 V full scale, later firmware 4.239 V.
    double batteryVolts = 3.9;
    /// Raw VBATT (12 bits); 0 derives it from batteryVolts and the firmware version.
    unsigned vbattRaw = 0;
    /// Raw VTEMP (12 bits): about 25 degrees C.
    unsigned vtempRaw = 2299;
    /// Battery level 0-7 carried in the frames' status byte.
    unsigned batteryLevel = 6;
    /// Write the factory calibration into the working and manufacturing areas.
    bool factoryCalibration = true;
    /// Added to the frame count of the network, which starts at 0 with each transmission;
    /// a non-zero value makes this pod's frame numbers unrelated to its neighbours'.
    std::uint16_t frameNumberOffset = 0;
};

/// The sensor values of one data frame, in the current firmware's axes and scale.
struct PodSample
{
    std::uint16_t frameNumber = 0;
    std::array<std::int16_t, 3> acc{};
    std::array<std::int16_t, 3> mag{};
    std::array<std::int16_t, 3> gyr{};
    /// Bit 0 button, bits 1-3 battery level.
    std::uint8_t status = 0;
};

/// A simulated Driftnode3 pod: register table, EEPROM behind its 128-byte window,
/// radio state, and the motion its sensors measure.
///
/// EEPROM map: program area 0x0000-0xF9FF (sector codes 0-15, 0xFA0 bytes each, writable
/// only in the protected area), working calibration 0xFA00-0xFAFF (0x20) and
/// 0xFB00-0xFBFF (0x21), manufacturing copy 0xFC00-0xFDFF (0x22), boot flag word at 0xFFFE.
/// Register values read and written here bypass the radio (no recording, no faults).
class TarnlinkSim_API Pod
{
public:
    static constexpr std::uint32_t kWorkingArea = 0xFA00;
    static constexpr std::uint32_t kManufacturingArea = 0xFC00;
    static constexpr std::uint32_t kBootFlag = 0xFFFE;
    static constexpr std::uint32_t kProgramSectorSize = 0xFA0;
    /// Type reported in VERSION while the pod runs its protected (boot) area.
    static constexpr unsigned kProtectedType = 15;
    static constexpr std::uint32_t kProgramVersion = 0x0000;
    static constexpr std::uint8_t kProgramMark = 0xD3;

    explicit Pod(const PodConfig& config, std::uint32_t seed = 1);

    std::uint32_t serial() const { return _config.serial; }
    const PodConfig& config() const { return _config; }

    // Identity and firmware.
    void setType(unsigned type) { _config.type = type; }
    void setFirmwareVersion(unsigned major, unsigned minor);
    /// VERSION type field as the pod reports it now (15 in the protected area).
    unsigned reportedType() const;
    /// Firmware 1.0-1.14 sends frames in the older axis order and scale.
    bool usesOlderFrameLayout() const;
    bool inProtectedArea() const { return _protected; }

    // Power and radio.
    bool powered() const { return _powered; }
    /// Power on boots the pod on channel code 0 with default registers; off drops it from the radio.
    void setPowered(bool on);
    /// An unreachable pod is powered but never heard (the controller answers FF FF FF FF).
    void setReachable(bool reachable)
    {
        _reachable = reachable;
        touch();
    }
    bool reachable() const { return _reachable; }
    unsigned channelCode() const { return _channelCode; }
    void setChannelCode(unsigned code)
    {
        _channelCode = code;
        touch();
    }
    /// A pod in pairing mode announces its serial while the controller is pairing.
    void setPairing(bool on)
    {
        _pairing = on;
        touch();
    }
    bool pairing() const { return _pairing; }
    /// True while the pod is rebooting and does not answer.
    bool booting(Micros now) const { return now < _bootUntil; }
    unsigned rebootCount() const { return _reboots; }

    // Sensors and status.
    void setButton(bool pressed) { _button = pressed; }
    void setBatteryLevel(unsigned level) { _config.batteryLevel = level & 7; }
    /// A fixed raw VBATT, whatever the firmware.
    void setVbattRaw(unsigned raw);
    /// VBATT follows this voltage on the firmware's scale.
    void setBatteryVolts(double volts);
    void setVtempRaw(unsigned raw) { _config.vtempRaw = raw & 0xFFF; }

    // Streaming.
    /// ID bits 8 and 9 both set.
    bool streamingEnabled() const { return _streaming; }
    /// Network position (ID bits 0-7), sent as the frame's first byte.
    unsigned slot() const { return registerValue(134) & 0xFF; }
    /// Frame number the next frame will carry while streaming.
    std::uint16_t nextFrameNumber() const { return _frameNumber; }
    /// Shifts the frame number offset so that the next frame carries this number.
    void setNextFrameNumber(std::uint16_t number);
    std::uint16_t frameNumberOffset() const { return _config.frameNumberOffset; }
    void setFrameNumberOffset(std::uint16_t offset)
    {
        _config.frameNumberOffset = offset;
        touch();
    }
    /// Accelerometer counts per g for the range in ACC_CTRL.
    unsigned accelerometerCountsPerG() const;
    /// Content of the last frame sent (zeros before the first).
    const PodSample& lastSample() const { return _lastSample; }
    std::uint64_t framesSent() const { return _framesSent; }

    // Motion and sensors.
    /// The script the pod follows: MotionScript::wobble from serial mod 360 degrees unless set.
    MotionScript& motion() { return _motion; }
    void setMotion(const MotionScript& script) { _motion = script; }
    /// Noise and gyroscope bias.
    SensorModel& sensors() { return _sensors; }
    MotionTruth truth(Micros t) { return _motion.at(static_cast<double>(t) / 1e6); }
    /// The counts the sensors give at t: the truth with noise and bias, through the factory
    /// calibration inverted, clipped at the ranges the registers select (accelerometer 2, 4 or
    /// 8 g, magnetometer 0.88 to 8.1 Ga, gyroscope 2000 or 444 deg/s), zeros from a gyroscope
    /// that is off. Draws noise; the frame number is 0.
    PodSample measure(Micros t);

    // Registers (128-135 and 137-143; 0-127 read the EEPROM window).
    /// True for the addresses the pod answers.
    static bool hasRegister(unsigned address);
    /// 0 for addresses the pod does not have.
    std::uint16_t registerValue(unsigned address) const;
    /// Pokes a stored register without side effects (VERSION, VBATT, VTEMP are computed and ignore it).
    void setRegisterValue(unsigned address, std::uint16_t value);
    /// After this many more requests addressed to that register the pod stops answering it.
    void failRegisterAfter(unsigned address, unsigned requests);

    // EEPROM.
    Eeprom& eeprom() { return _eeprom; }
    const Eeprom& eeprom() const { return _eeprom; }
    std::uint16_t eepromWord(std::uint32_t address) const { return _eeprom.word(address); }
    void pokeEepromWord(std::uint32_t address, std::uint16_t value) { _eeprom.pokeWord(address, value); }
    /// The word at address ignores every write from now on.
    void makeWordStuck(std::uint32_t address, bool stuck = true) { _eeprom.setStuck(address, stuck); }
    bool eepromUnlocked() const { return _unlocked; }
    /// Writes the identity header and the three factory calibration sets into both areas.
    void writeFactoryCalibration();
    /// Calibration set 0-2 (accelerometer, magnetometer, gyroscope) as stored in the area
    /// starting at kWorkingArea or kManufacturingArea: gain row by row, offset.
    std::array<double, 9> calibrationGain(unsigned set, std::uint32_t area = kWorkingArea) const;
    std::array<double, 3> calibrationOffset(unsigned set, std::uint32_t area = kWorkingArea) const;
    /// The values writeFactoryCalibration() stores for this serial. The host reads a sample as
    /// gain x raw - offset, the accelerometer gain (measured at 4g) times 0.5, 1 or 2 for the 2g,
    /// 4g and 8g ranges; the result is in m/s^2, uT and rad/s, and the offsets are in those units.
    /// The pod's counts are this calibration inverted, whatever the EEPROM holds later.
    std::array<double, 9> factoryGain(unsigned set) const;
    std::array<double, 3> factoryOffset(unsigned set) const;

private:
    friend class Simulator;

    /// Tells the simulator that what it schedules may have changed.
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

    /// Radio exchanges; the simulator has checked power, channel and reachability.
    Outcome read(unsigned address, Micros now);
    Outcome write(unsigned address, std::uint16_t value, Micros now);
    /// Actions that take effect after the echo has gone out.
    void afterWrite(unsigned address, std::uint16_t value, Micros bootUntil);
    bool countRequest(unsigned address);
    void updateVbatt();
    void resetRegisters();
    /// Every write of ID goes through here, which keeps the streaming flag in step.
    void storeId(std::uint16_t value);
    void reboot(Micros bootUntil);
    void eepromCommand(unsigned code);
    void writeProgramVersion();
    void startProgram();
    bool writable(std::uint32_t address) const;
    std::uint32_t calibrationSetBase(unsigned set, std::uint32_t area) const;
    /// Builds the frame body (16 or 22 bytes) at time t with that frame number.
    std::string nextFrameBody(unsigned length, Micros t, std::uint16_t number);

    PodConfig _config;
    Eeprom _eeprom;
    std::map<unsigned, std::uint16_t> _registers;
    std::map<unsigned, unsigned> _failAfter;
    std::mt19937 _noise;
    unsigned _channelCode = 0;
    bool _powered = true;
    bool _reachable = true;
    bool _pairing = false;
    bool _protected = false;
    bool _unlocked = false;
    bool _button = false;
    bool _vbattFromVolts = true;
    /// ID bits 8 and 9, read for every pod at every schedule refresh.
    bool _streaming = false;
    Micros _bootUntil = 0;
    unsigned _reboots = 0;
    std::uint16_t _frameNumber = 0;
    std::uint64_t _framesSent = 0;
    PodSample _lastSample;
    /// Inverse of each factory gain (at 4g for the accelerometer) and the factory offsets.
    std::array<std::array<double, 9>, 3> _countsPerUnit{};
    std::array<std::array<double, 3>, 3> _bias{};
    MotionScript _motion;
    SensorModel _sensors;
    /// The second of the last pair of normal draws, while unused.
    double _spareNormal = 0;
    bool _haveSpareNormal = false;
};

} // namespace Sim
} // namespace Tarnlink

#endif
