#include <Poco/Exception.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/DriftnodeRF.h>
#include <Tarnlink/Interrupt.h>
#include <Tarnlink/RegisterMap.h>

namespace Tarnlink {

namespace {
Protocol* protocolOf(Controller* controller)
{
    if (!controller) throw Poco::NullPointerException("A radio pod needs a controller");
    return controller->getProtocol();
}

const unsigned SEARCH_FIRST_CHANNEL = 1;
const unsigned SEARCH_LAST_CHANNEL = 21;
const unsigned SEARCH_ATTEMPTS = 5;
} // namespace

DriftnodeRF::DriftnodeRF(Controller* controller, unsigned serial)
    : Driftnode(protocolOf(controller), Opcode::WRITE_SLAVE_REG, Opcode::READ_SLAVE_REG),
      _serial(serial),
      _controller(controller)
{
}

void DriftnodeRF::refreshRegister(Register& reg)
{
    if (_controller->getState() == Controller::Idle && !reg.isSynced()) readRegister(reg);
}

unsigned DriftnodeRF::getDefaultAttempts()
{
    const unsigned divisor = _controller->getPodTimingDivisor();
    return divisor ? 2000 / divisor : Driftnode::getDefaultAttempts();
}

void DriftnodeRF::selectForRead()
{
    _controller->setSlaveAddress(_serial);
}

void DriftnodeRF::selectForWrite()
{
    _controller->setSlaveAddress(_serial);
}

void DriftnodeRF::startStreaming()
{
    const unsigned position = fieldOf(positionField()).get(true);
    fieldOf(tdmaDelayField()).set(tdmaDelayPerPosition() * position + 1, false);
    fieldOf(secondStreamingEnableField()).set(1, false);
    fieldOf(streamingEnableField()).set(1, false);
    try
    {
        writeRegister(registerOf(tdmaDelayField()));
        writeRegister(registerOf(streamingEnableField()));
    }
    catch (...)
    {
        revertField(secondStreamingEnableField());
        revertField(streamingEnableField());
        throw;
    }
    _streamingState = Streaming;
}

void DriftnodeRF::stopStreaming()
{
    fieldOf(secondStreamingEnableField()).set(0, false);
    fieldOf(streamingEnableField()).set(0, false);
    // Stopped even when the write fails, to agree with the image: otherwise the next start is
    // taken for a no-op and the next ID write (a slot change) sends these cleared bits, stopping
    // the pod for good without a start.
    _streamingState = Stopped;
    writeRegister(registerOf(streamingEnableField()));
}

void DriftnodeRF::getVersion(unsigned& type, unsigned& major, unsigned& minor)
{
    Register& version = registerOf(typeField());
    const bool known = fieldOf(typeField()).get(true) != 0 &&
                       (fieldOf(firmwareMajorField()).get(true) != 0 || fieldOf(firmwareMinorField()).get(true) != 0);
    if (!known) readRegister(version);
    type = fieldOf(typeField()).get(true);
    major = fieldOf(firmwareMajorField()).get(true);
    minor = fieldOf(firmwareMinorField()).get(true);
}

void DriftnodeRF::getFirmwareVersion(unsigned& major, unsigned& minor)
{
    unsigned type = 0;
    getVersion(type, major, minor);
}

bool DriftnodeRF::tryGetVersion(unsigned& type, unsigned& major, unsigned& minor)
{
    try
    {
        getVersion(type, major, minor);
        return true;
    }
    catch (...)
    {
        return false;
    }
}

bool DriftnodeRF::isReachable(bool searchChannels)
{
    Register& version = registerOf(typeField());
    try
    {
        readRegister(version);
        return true;
    }
    catch (const InterruptedException&)
    {
        throw;
    }
    catch (const Poco::Exception&)
    {
        if (!searchChannels) return false;
    }

    bool found = false;
    unsigned home = 0;
    try
    {
        home = _controller->getChannel();
        // An unknown channel cannot be restored; the meeting channel is the safe place to end on.
        if (home >= Controller::CHANNEL_COUNT) home = 0;
        for (unsigned index = SEARCH_FIRST_CHANNEL; index <= SEARCH_LAST_CHANNEL && !found; ++index)
        {
            _controller->setChannel(index);
            try
            {
                readRegister(version, SEARCH_ATTEMPTS);
                found = true;
            }
            catch (const InterruptedException&)
            {
                throw;
            }
            catch (const Poco::Exception&)
            {
            }
        }
        if (found) setChannel(home);
    }
    catch (const InterruptedException&)
    {
        try
        {
            _controller->setChannel(home);
        }
        catch (...)
        {
        }
        throw;
    }
    catch (const Poco::Exception&)
    {
        found = false;
    }
    try
    {
        _controller->setChannel(home);
    }
    catch (const Poco::Exception&)
    {
        return false;
    }
    return found;
}

void DriftnodeRF::setChannel(unsigned index)
{
    if (index >= Controller::CHANNEL_COUNT)
        throw Poco::InvalidArgumentException("Radio channel index out of range: " + std::to_string(index));
    setField(channelField(), Controller::channelCode(index));
}

void DriftnodeRF::switchOff()
{
    sendCommand(switchOffField());
    resetRegisters();
}

} // namespace Tarnlink
