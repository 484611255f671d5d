#include <Poco/Exception.h>
#include <Poco/Util/OptionException.h>
#include <Tarnlink/Driftnode.h>

namespace Tarnlink {

Driftnode::Driftnode(Protocol* protocol, std::uint8_t writeOpcode, std::uint8_t readOpcode)
    : Hardware(protocol, writeOpcode, readOpcode)
{
}

void Driftnode::setFrequency(unsigned hz)
{
    const double ticks = hz ? 1.0 / (hz * getTick()) + 0.5 : 0.0;
    // SAMPLE_PERIOD is 16 bits; a period that does not fit would wrap to another rate.
    if (ticks < 1.0 || ticks >= 65536.0)
        throw Poco::InvalidArgumentException("Sample frequency out of the pod's range: " + std::to_string(hz));
    fieldOf(samplePeriodField()).set(static_cast<unsigned>(ticks), false);
    writeRegister(registerOf(samplePeriodField()));
}

double Driftnode::getFrequency()
{
    refreshRegister(registerOf(samplePeriodField()));
    const unsigned period = fieldOf(samplePeriodField()).get(true);
    return period ? 1.0 / (period * getTick()) : 0.0;
}

void Driftnode::readRegister(Register& reg, unsigned attempts)
{
    selectForRead();
    Hardware::readRegister(reg, attemptsOrDefault(attempts));
}

void Driftnode::writeRegister(Register& reg, unsigned attempts, bool waitForEcho)
{
    selectForWrite();
    Hardware::writeRegister(reg, attemptsOrDefault(attempts), waitForEcho);
}

void Driftnode::setField(const FieldDescriptor& descriptor, unsigned value, unsigned attempts)
{
    fieldOf(descriptor).set(value, false);
    writeRegister(registerOf(descriptor), attempts, true);
}

void Driftnode::sendCommand(const FieldDescriptor& descriptor)
{
    try
    {
        setField(descriptor, 1);
    }
    catch (...)
    {
        revertField(descriptor);
        throw;
    }
}

void Driftnode::setStreamingState(unsigned state)
{
    if (state == _streamingState) return;
    if (_streamingState == Streaming)
        stopStreaming();
    else if (state == Streaming)
        startStreaming();
}

void Driftnode::setSlot(unsigned position)
{
    if (position > 0xFF)
        throw Poco::InvalidArgumentException("Network position out of range: " + std::to_string(position));
    setField(positionField(), position);
}

double Driftnode::readTemperature()
{
    readRegister(registerOf(temperatureField()));
    return temperatureFromRaw(fieldOf(temperatureField()).get(true));
}

void Driftnode::setAutoPowerOff(unsigned index)
{
    if (!supportsAutoPowerOff())
        throw Poco::Util::IncompatibleOptionsException(
            "Option, AutoPower, is unreachable with current driftnode firmware, upgrade to latest firmware");
    if (index > 3) throw Poco::InvalidArgumentException("Auto power-off index out of range: " + std::to_string(index));
    setField(autoPowerOffField(), index);
}

void Driftnode::setLedEnabled(bool on)
{
    if (!supportsLed())
        throw Poco::Util::IncompatibleOptionsException(
            "Option, Enable Led, is unreachable with current driftnode firmware, upgrade to latest firmware");
    setField(ledField(), on ? 1 : 0);
}

} // namespace Tarnlink
