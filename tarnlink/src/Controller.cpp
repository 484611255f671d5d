#include <Poco/Exception.h>
#include <Poco/NumberFormatter.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/Interrupt.h>
#include <Tarnlink/ReadFrameCommand.h>
#include <Tarnlink/ReadRawDataCommand.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/WriteRegisterCommand.h>
#include <algorithm>
#include <climits>
#include <set>

namespace Tarnlink {

namespace {

const unsigned channelTable[Controller::CHANNEL_COUNT] = {
    0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x12, 0x46, 0x22, 0x32, 0x42, 0x52, 0x04, 0x14, 0x24, 0x34,
    0x44, 0x06, 0x16, 0x26, 0x36, 0x02, 0x54, 0x56, 0x60, 0x62, 0x64, 0x66, 0x70, 0x72, 0x74, 0x76};

const char* const WRONG_CHANNEL = "Wrong channel input, out of available range";

// A listening drain that never sees silence still has to end.
const unsigned MAX_LISTENING_DRAIN_READS = 300;
const unsigned TRANSMISSION_DRAIN_READS = 300;

/// The search order: start, then 1-21 round from start + 1, each channel once.
unsigned nextSearchChannel(unsigned ch)
{
    ++ch;
    return ch >= 22 ? 1 : ch;
}

} // namespace

Controller::Controller(Protocol* protocol)
    : Hardware(protocol, Opcode::WRITE_FPGA_REG, Opcode::READ_FPGA_REG),
      _frameCommand(new ReadFrameCommand(Command::frameMarker(), 1, _frameLength, nullptr))
{
}

Controller::~Controller() = default;

// Defined here too, so that the DLL has it for users that take its address.
constexpr unsigned Controller::UNKNOWN_CHANNEL;

unsigned Controller::channelCode(unsigned index)
{
    if (index >= CHANNEL_COUNT) throw Poco::InvalidArgumentException(WRONG_CHANNEL);
    return channelTable[index];
}

unsigned Controller::channelIndex(unsigned code)
{
    for (unsigned i = 0; i < CHANNEL_COUNT; ++i)
        if (channelTable[i] == code) return i;
    return UNKNOWN_CHANNEL;
}

void Controller::resetRegisters()
{
    memory.reset();
    Register& rf = reg(CtrlReg::RF_CHANNEL);
    rf.field(1).set(3, true);
    rf.field(2).set(3, true);
}

void Controller::setFrequency(unsigned hz)
{
    if (hz == 0) throw Poco::InvalidArgumentException("Frequency must be above 0 Hz");
    const double tick = getTickNanoseconds() * 1e-9;
    const auto period = static_cast<std::uint32_t>((1.0 / hz) / tick + 0.5);
    Register& tdma = reg(CtrlReg::TDMA_PERIOD);
    tdma.setValue(period, false);
    writeRegister(tdma, 10, true);
}

int Controller::getFrequency()
{
    return static_cast<int>(getExactFrequency() + 0.5);
}

double Controller::getExactFrequency()
{
    Register& tdma = reg(CtrlReg::TDMA_PERIOD);
    if (_state == Idle && !tdma.isSynced()) readRegister(tdma, 10);
    const std::uint32_t period = tdma.value(true) & 0x7FFF;
    if (period == 0) return 0.0;
    return 1.0 / (getTickNanoseconds() * static_cast<double>(period) * 1e-9);
}

void Controller::setFrameMode(unsigned mode)
{
    Register& fm = reg(CtrlReg::FRAME_MODE);
    if (mode == 0)
    {
        _frameLength = 16;
        fm.field(0).set(0, false);
    }
    else if (mode == 1)
    {
        _frameLength = 22;
        fm.field(0).set(1, false);
    }
    writeRegister(fm, 10, true);
}

void Controller::switchFrameMode(bool mode22)
{
    setFrameMode(mode22 ? 1 : 0);
}

void Controller::writeChannelCode(unsigned index)
{
    Register& rf = reg(CtrlReg::RF_CHANNEL);
    rf.field(0).set(channelCode(index), false);
    writeRegister(rf, 10, true);
}

void Controller::setChannel(unsigned index)
{
    writeChannelCode(index);
}

unsigned Controller::getChannel()
{
    Register& rf = reg(CtrlReg::RF_CHANNEL);
    if (_state == Idle && !rf.isSynced()) readRegister(rf, 10);
    return channelIndex(rf.field(0).get(true));
}

void Controller::getVersion(unsigned& major, unsigned& minor)
{
    Register& version = reg(CtrlReg::VERSION);
    if (version.field(2).get(true) == 0) readRegister(version, 10);
    major = version.field(1).get(true);
    minor = version.field(0).get(true);
}

unsigned Controller::getHardwareCode()
{
    Register& version = reg(CtrlReg::VERSION);
    if (version.field(2).get(true) == 0) readRegister(version, 10);
    return version.field(2).get(true);
}

int Controller::compareVersion(unsigned major, unsigned minor)
{
    unsigned myMajor = 0, myMinor = 0;
    getVersion(myMajor, myMinor);
    if (myMajor != major) return myMajor > major ? 1 : -1;
    if (myMinor != minor) return myMinor > minor ? 1 : -1;
    return 0;
}

void Controller::setSlaveAddress(std::uint32_t serial)
{
    Register& msb = reg(CtrlReg::SLAVE_ADDR_MSB);
    Register& lsb = reg(CtrlReg::SLAVE_ADDR_LSB);
    const std::uint32_t current = (msb.field(0).get(true) << 16) + lsb.value(true);
    if (_slaveSelected && current == serial) return;
    lsb.setValue(serial & 0xFFFF, false);
    writeRegister(lsb, 10, true);
    msb.setValue(0x1200 | ((serial >> 16) & 0xFF), false);
    writeRegister(msb, 10, true);
    _slaveSelected = true;
}

void Controller::setState(State target)
{
    if (target == _state) return;
    leaveState();
    enterState(target);
}

void Controller::enterState(State target)
{
    switch (target)
    {
    case Pairing:
    {
        Register& pc = reg(CtrlReg::PAIRING_CTRL);
        pc.field(0).set(1, false);
        writeRegister(pc, 10, true);
        break;
    }
    case Listening:
    {
        Register& pc = reg(CtrlReg::PAIRING_CTRL);
        pc.field(1).set(1, false);
        writeRegister(pc, 10, true);
        break;
    }
    case Transmission:
    {
        // The controller streams at once, so no echo could be told apart from frames.
        Register& tdma = reg(CtrlReg::TDMA_PERIOD);
        tdma.field(2).set(1, false);
        for (int i = 0; i < 3; ++i)
        {
            try
            {
                writeRegister(tdma, 1, false);
            }
            catch (const InterruptedException&)
            {
                // It streams from the first write on, and then only leaving the state stops it.
                if (i > 0)
                    _state = Transmission;
                else
                    tdma.field(2).set(tdma.field(2).get(true), false);
                throw;
            }
        }
        break;
    }
    case Idle:
        break;
    }
    _state = target;
}

void Controller::leaveState()
{
    switch (_state)
    {
    case Idle:
        return;
    case Pairing:
    {
        Register& pc = reg(CtrlReg::PAIRING_CTRL);
        pc.field(0).set(0, false);
        writeRegister(pc, 20, true);
        break;
    }
    case Listening:
    {
        Register& pc = reg(CtrlReg::PAIRING_CTRL);
        pc.field(1).set(0, false);
        for (int i = 0; i < 20; ++i) writeRegister(pc, 1, false);
        unsigned empty = 0;
        for (unsigned reads = 0; empty < 2 && reads < MAX_LISTENING_DRAIN_READS; ++reads)
        {
            std::string bytes;
            ReadRawDataCommand drain(1000, &bytes);
            _protocol->execute(drain);
            if (bytes.empty()) ++empty;
        }
        break;
    }
    case Transmission:
    {
        Register& tdma = reg(CtrlReg::TDMA_PERIOD);
        tdma.field(2).set(0, false);
        for (int i = 0; i < 20; ++i) writeRegister(tdma, 1, false);
        Register& pc = reg(CtrlReg::PAIRING_CTRL);
        pc.field(1).set(1, false);
        writeRegister(pc, 1, false);
        bool drained = false;
        for (unsigned reads = 0; reads < TRANSMISSION_DRAIN_READS; ++reads)
        {
            std::string bytes;
            ReadRawDataCommand drain(1024, &bytes);
            _protocol->execute(drain);
            if (bytes.empty())
            {
                drained = true;
                break;
            }
        }
        pc.field(1).set(0, false);
        if (drained)
            writeRegister(pc, 10, true);
        else
            writeRegister(pc, 1, false);
        break;
    }
    }
    _state = Idle;
}

bool Controller::readDataFrame(std::string& frame)
{
    if (_state != Transmission && _state != Listening) return false;
    _frameCommand->retarget(_frameLength, &frame);
    return _protocol->execute(*_frameCommand);
}

bool Controller::readPairingReport(std::uint32_t& serial)
{
    if (_state != Pairing) return false;
    try
    {
        std::string body;
        ReadFrameCommand command(Command::frameMarker(), 6, 3, &body);
        if (!_protocol->execute(command) || body.size() != 3) return false;
        serial = static_cast<std::uint32_t>(static_cast<unsigned char>(body[0])) * 65536u +
                 static_cast<std::uint32_t>(static_cast<unsigned char>(body[1])) * 256u +
                 static_cast<unsigned char>(body[2]);
        return true;
    }
    catch (const InterruptedException&)
    {
        throw;
    }
    catch (...)
    {
        return false;
    }
}

unsigned Controller::readsFor(std::uint64_t milliseconds, bool minOne)
{
    int timeout = 0;
    Poco::AutoPtr<Poco::DeviceIO::Channel> channel = _protocol ? _protocol->channel() : nullptr;
    if (channel && channel->getConfig()) timeout = channel->getConfig()->getTimeout();
    // A time-out of 0 or -1 has no length to divide by: count one read per 100 ms instead.
    const std::uint64_t per = timeout > 0 ? static_cast<std::uint64_t>(timeout) : 100u;
    const std::uint64_t n = std::min<std::uint64_t>(milliseconds / per, UINT_MAX);
    return minOne && n < 1 ? 1u : static_cast<unsigned>(n);
}

bool Controller::waitForPairing(std::uint32_t& serial, unsigned seconds)
{
    if (_state != Pairing) setState(Pairing);
    const unsigned n = readsFor(std::uint64_t(seconds) * 1000u, false);
    bool received = false;
    try
    {
        for (unsigned i = 0; i < n && !received; ++i) received = readPairingReport(serial);
    }
    catch (const InterruptedException&)
    {
        try
        {
            setState(Idle);
        }
        catch (...)
        {
        }
        throw;
    }
    setState(Idle);
    return received;
}

bool Controller::probe()
{
    try
    {
        WriteRegisterCommand command(Command::frameMarker(), Opcode::PROBE, 0, 0, false);
        _protocol->execute(command);
        return true;
    }
    catch (const InterruptedException&)
    {
        throw;
    }
    catch (const Poco::Exception&)
    {
        return false;
    }
}

bool Controller::isChannelQuiet(unsigned milliseconds)
{
    const unsigned n = readsFor(milliseconds, true);
    for (unsigned i = 0; i < n; ++i)
    {
        std::string bytes;
        ReadRawDataCommand read(1000, &bytes);
        _protocol->execute(read);
        if (!bytes.empty()) return false;
    }
    return true;
}

bool Controller::testChannel(unsigned index, bool listening)
{
    channelCode(index); // refuse an index outside the table before touching anything
    unsigned previous = CHANNEL_COUNT;
    bool changed = false;
    bool quiet = false;
    try
    {
        leaveState();
        previous = getChannel();
        changed = previous != index;
        if (changed) writeChannelCode(index);
        enterState(listening ? Listening : Pairing);
        quiet = isChannelQuiet(listening ? 500 : 1000);
        leaveState();
    }
    catch (const InterruptedException&)
    {
        // Whoever stops here finds the controller idle on the channel it was on.
        try
        {
            leaveState();
            if (changed && previous < CHANNEL_COUNT) writeChannelCode(previous);
        }
        catch (...)
        {
        }
        throw;
    }
    if (changed && previous < CHANNEL_COUNT) writeChannelCode(previous);
    return quiet;
}

bool Controller::findFreeChannel(unsigned start, unsigned* found)
{
    if (start >= CHANNEL_COUNT) throw Poco::NoPermissionException(WRONG_CHANNEL);
    std::set<unsigned> tested;
    for (unsigned ch = start; tested.insert(ch).second; ch = nextSearchChannel(ch))
    {
        if (testChannel(ch, false))
        {
            if (found) *found = ch;
            return true;
        }
    }
    return false;
}

bool Controller::findFreeChannelBothModes(unsigned start, unsigned* found)
{
    if (start >= CHANNEL_COUNT) throw Poco::NoPermissionException(WRONG_CHANNEL);
    _searchFrameMode = reg(CtrlReg::FRAME_MODE).field(0).get(true) != 0;
    std::set<unsigned> tested;
    try
    {
        for (unsigned ch = start; tested.insert(ch).second; ch = nextSearchChannel(ch))
        {
            switchFrameMode(!_searchFrameMode);
            const bool q1 = testChannel(ch, true);
            switchFrameMode(_searchFrameMode);
            const bool q2 = testChannel(ch, true);
            if (q1 && q2)
            {
                if (found) *found = ch;
                return true;
            }
        }
    }
    catch (const InterruptedException&)
    {
        // Stopped between the two tests of a channel, the controller would keep the other
        // frame length, and the next search would take it for its own.
        try
        {
            switchFrameMode(_searchFrameMode);
        }
        catch (...)
        {
        }
        throw;
    }
    return false;
}

} // namespace Tarnlink
