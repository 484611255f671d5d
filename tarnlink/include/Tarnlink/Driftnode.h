#ifndef Tarnlink_Driftnode_INCLUDED
#define Tarnlink_Driftnode_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Hardware.h>
#include <cstdint>

namespace Tarnlink {

/// A sensor pod: its register image, sampling, network position, streaming and power options.
/// Register accesses select the pod first and use the pod's default number of attempts.
/// Not thread-safe: a pod, its controller and their shared protocol are used from one thread at a time.
class Tarnlink_API Driftnode : public Hardware
{
public:
    /// Names one field of the pod's register table.
    struct FieldDescriptor
    {
        std::uint32_t address;
        std::uint32_t field;
    };

    enum StreamingState : unsigned
    {
        Stopped = 0,
        Streaming = 1
    };

    Driftnode(Protocol* protocol, std::uint8_t writeOpcode, std::uint8_t readOpcode);

    virtual bool supportsAutoPowerOff() = 0;
    virtual bool supportsLed() = 0;
    /// Poco::InvalidArgumentException when hz gives no sample period of 1 to 65535 ticks.
    virtual void setFrequency(unsigned hz);
    /// 0.0 while the pod has no sample period.
    virtual double getFrequency();
    /// Reads the register unless it is known to match the pod (or the network is busy).
    virtual void refreshRegister(Register& reg) = 0;

    virtual const FieldDescriptor& streamingEnableField() const = 0;
    virtual const FieldDescriptor& samplePeriodField() const = 0;
    virtual const FieldDescriptor& positionField() const = 0;
    virtual const FieldDescriptor& ledField() const = 0;
    virtual const FieldDescriptor& autoPowerOffField() const = 0;
    virtual const FieldDescriptor& temperatureField() const = 0;
    virtual const FieldDescriptor& batteryField() const = 0;
    virtual const FieldDescriptor& firmwareMinorField() const = 0;
    virtual const FieldDescriptor& firmwareMajorField() const = 0;

    virtual double temperatureFromRaw(unsigned raw) = 0;
    virtual double batteryVoltageFromRaw(unsigned raw) = 0;
    /// Sample period tick in seconds.
    virtual double getTick() = 0;
    virtual unsigned getDefaultAttempts() { return 30; }
    virtual void selectForRead() {}
    virtual void selectForWrite() {}
    virtual void startStreaming() = 0;
    virtual void stopStreaming() = 0;

    /// attempts 0 means getDefaultAttempts().
    void readRegister(Register& reg, unsigned attempts = 0);
    void writeRegister(Register& reg, unsigned attempts = 0, bool waitForEcho = true);
    void setField(const FieldDescriptor& descriptor, unsigned value, unsigned attempts = 0);
    void setStreamingState(unsigned state);
    unsigned getStreamingState() const { return _streamingState; }
    /// Network position (TDMA slot).
    void setSlot(unsigned position);
    double readTemperature();
    /// 0 disabled, 1 one minute, 2 thirty minutes, 3 sixty minutes; Poco::Util::IncompatibleOptionsException
    /// when the firmware lacks the option.
    void setAutoPowerOff(unsigned index);
    void setLedEnabled(bool on);

    Register& registerOf(const FieldDescriptor& descriptor) { return memory.getRegister(descriptor.address); }
    RegisterField& fieldOf(const FieldDescriptor& descriptor)
    {
        return memory.getRegister(descriptor.address).field(descriptor.field);
    }

protected:
    unsigned attemptsOrDefault(unsigned attempts) { return attempts ? attempts : getDefaultAttempts(); }
    /// Back to the value last known in the pod, so that a later write of the register does not carry
    /// a command or state that failed to reach it.
    void revertField(const FieldDescriptor& descriptor)
    {
        RegisterField& field = fieldOf(descriptor);
        field.set(field.get(true), false);
    }
    /// setField for a one-shot command bit.
    void sendCommand(const FieldDescriptor& descriptor);

    unsigned _streamingState = Stopped;
};

} // namespace Tarnlink

#endif
