#ifndef Tarnlink_Driftnode3_INCLUDED
#define Tarnlink_Driftnode3_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Driftnode3EEPROM.h>
#include <Tarnlink/DriftnodeRF.h>

namespace Tarnlink {

/// Third-generation pod: accelerometer, magnetometer, gyroscope, battery and temperature,
/// with its calibration in its own EEPROM.
/// Not thread-safe: a pod, its controller and their shared protocol are used from one thread at a time.
class Tarnlink_API Driftnode3 : public DriftnodeRF
{
public:
    /// Sample period tick in seconds.
    static constexpr double TICK = 1.5e-6;
    static constexpr unsigned TDMA_DELAY_PER_POSITION = 300;

    Driftnode3(Controller* controller, unsigned serial);
    ~Driftnode3() override;
    Driftnode3(const Driftnode3&) = delete;
    Driftnode3& operator=(const Driftnode3&) = delete;

    /// Power-on defaults: LED on, auto power-off one minute, 8g, 4 Ga, gyroscope on in full range.
    void resetRegisters() override;
    /// Both false only for firmware 1.11 and 1.12.
    bool supportsAutoPowerOff() override;
    bool supportsLed() override;

    const FieldDescriptor& streamingEnableField() const override;
    const FieldDescriptor& samplePeriodField() const override;
    const FieldDescriptor& positionField() const override;
    const FieldDescriptor& ledField() const override;
    const FieldDescriptor& autoPowerOffField() const override;
    const FieldDescriptor& temperatureField() const override;
    const FieldDescriptor& batteryField() const override;
    const FieldDescriptor& firmwareMinorField() const override;
    const FieldDescriptor& firmwareMajorField() const override;

    /// Degrees Celsius.
    double temperatureFromRaw(unsigned raw) override;
    /// Volts; the scale depends on the firmware version, read when not known yet.
    double batteryVoltageFromRaw(unsigned raw) override;

    const Driftnode3EEPROM& getEEPROM() const override { return _eeprom; }
    Driftnode3EEPROM& getEEPROM() override { return _eeprom; }
    bool isCompatibleSerial(unsigned serial) const override;

    const FieldDescriptor& channelField() const override;
    const FieldDescriptor& secondStreamingEnableField() const override;
    const FieldDescriptor& switchOffField() const override;
    const FieldDescriptor& tdmaDelayField() const override;
    const FieldDescriptor& typeField() const override;
    unsigned tdmaDelayPerPosition() const override { return TDMA_DELAY_PER_POSITION; }
    double tickSeconds() const override { return TICK; }

    virtual const FieldDescriptor& rebootField() const;
    virtual const FieldDescriptor& accRangeField() const;
    virtual const FieldDescriptor& gyroOptionField() const;
    virtual const FieldDescriptor& gyroModeField() const;
    virtual const FieldDescriptor& gyroEnabledField() const;
    virtual const FieldDescriptor& magRangeField() const;

    void reboot();
    /// Range codes: accelerometer 0-3, magnetometer 0-7, gyroscope mode 0-1.
    void setAccRange(unsigned code);
    void setMagRange(unsigned code);
    void setGyroMode(unsigned mode);
    void setGyroEnabled(bool on);
    /// Reads every pod register from the pod.
    void scanRegisters();

private:
    Driftnode3EEPROM _eeprom;
};

} // namespace Tarnlink

#endif
