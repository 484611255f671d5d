#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/Wire.h>
#include <Poco/Exception.h>
#include <algorithm>

namespace Tarnlink {
namespace Sim {

namespace {

double uniform(std::mt19937& random)
{
    return (random() >> 8) * (1.0 / 16777216.0);
}

std::string requestBody(std::uint8_t opcode, std::uint8_t address, std::uint16_t value)
{
    return Wire::reply(opcode, address, value).substr(4);
}

} // namespace

Simulator::Simulator(Generation generation, std::uint32_t seed) : Simulator(generation, seed, nullptr, nullptr) {}

Simulator::Simulator(Generation generation, std::uint32_t seed, std::shared_ptr<VirtualClock> clock,
                     std::shared_ptr<Air> air)
    : _seed(seed),
      _sharedClock(clock ? std::move(clock) : std::make_shared<VirtualClock>()),
      _clock(*_sharedClock),
      _air(air ? std::move(air) : std::make_shared<Air>()),
      _controller(generation),
      _faultRandom(seed * 2654435761u + 17u),
      _noiseRandom(seed ^ 0x5BD1E995u)
{
    _controller._revision = &_revision;
}

Simulator::~Simulator()
{
    _air->release(this);
}

Pod& Simulator::addPod(std::uint32_t serial)
{
    PodConfig config;
    config.serial = serial;
    return addPod(config);
}

Pod& Simulator::addPod(const PodConfig& config)
{
    auto guard = lock();
    sync();
    if (pod(config.serial & 0xFFFFFF)) throw Poco::ExistsException("A pod with this serial exists already");
    PodSlot slot;
    slot.pod.reset(new Pod(config, _seed));
    slot.pod->_revision = &_revision;
    _pods.push_back(std::move(slot));
    ++_revision;
    return *_pods.back().pod;
}

Pod* Simulator::pod(std::uint32_t serial)
{
    auto guard = lock();
    for (PodSlot& slot : _pods)
        if (slot.pod->serial() == serial) return slot.pod.get();
    return nullptr;
}

MotionTruth Simulator::truth(std::uint32_t serial, Micros t)
{
    auto guard = lock();
    Pod* found = pod(serial);
    if (!found) throw Poco::NotFoundException("No simulated pod has that serial");
    return found->truth(t);
}

std::vector<Pod*> Simulator::pods()
{
    auto guard = lock();
    std::vector<Pod*> out;
    for (PodSlot& slot : _pods) out.push_back(slot.pod.get());
    return out;
}

void Simulator::removePod(std::uint32_t serial)
{
    auto guard = lock();
    sync();
    _pods.erase(std::remove_if(_pods.begin(), _pods.end(), [&](const PodSlot& s) { return s.pod->serial() == serial; }),
                _pods.end());
    rebuildQueue();
    ++_revision;
}

void Simulator::setBusyChannel(unsigned index, bool busy)
{
    setBusyChannelCode(Wire::channelCode(index), busy);
}

void Simulator::setBusyChannelCode(unsigned code, bool busy)
{
    auto guard = lock();
    sync();
    if (busy)
        _busyCodes.insert(code);
    else
        _busyCodes.erase(code);
    ++_revision;
}

bool Simulator::isBusyCode(unsigned code) const
{
    auto guard = lock();
    return _busyCodes.count(code) > 0 || _air->busyFor(this, code);
}

void Simulator::updateAir()
{
    if (!_unplugged && _controller.state() == ControllerState::Transmission)
        _air->occupy(this, _controller.channelCode());
    else
        _air->release(this);
}

void Simulator::setOfferedRate(double framesPerSecond)
{
    auto guard = lock();
    sync();
    _offeredRate = framesPerSecond > 0 ? framesPerSecond : 0.0;
    ++_revision;
}

void Simulator::disappearAt(Micros t)
{
    auto guard = lock();
    sync();
    _faults.disappearAt = t;
    ++_revision;
    sync();
}

void Simulator::replug()
{
    auto guard = lock();
    sync();
    _faults.disappearAt = kNever;
    // Plugged in or not, it restarts at the next step.
    _unplugged = true;
    ++_revision;
    sync();
}

void Simulator::plugBack()
{
    // USB power was gone: the controller starts over; what was in flight is lost.
    const Micros now = _clock.now();
    _unplugged = false;
    ++_plugCount;
    _controller.powerOn();
    _input.clear();
    _output.clear();
    _outputOffset = 0;
    _lastReply = now;
    _nextNoise = kNever;
    for (PodSlot& slot : _pods)
    {
        slot.frameScheduled = false;
        slot.nextFrame = kNever;
        slot.nextReport = kNever;
    }
    rebuildQueue();
    _processed = std::max(_processed, now);
    refresh(_processed);
}

void Simulator::checkPresent() const
{
    if (_clock.now() >= _faults.disappearAt) throw Poco::IOException("The controller is gone");
}

void Simulator::feed(const std::string& bytes)
{
    feed(bytes.data(), bytes.size());
}

void Simulator::feed(const char* data, std::size_t length)
{
    auto guard = lock();
    sync();
    checkPresent();
    _input.append(data, length);
    const std::string& marker = Wire::marker();
    for (;;)
    {
        std::size_t pos = _input.find(marker);
        std::size_t drop = pos;
        if (pos == std::string::npos)
        {
            // Keep a tail that may still become a marker.
            std::size_t keep = std::min<std::size_t>(3, _input.size());
            while (keep > 0 && _input.compare(_input.size() - keep, keep, marker, 0, keep) != 0) --keep;
            drop = _input.size() - keep;
        }
        if (drop > 0)
        {
            Record record;
            record.kind = Record::Discarded;
            record.time = _clock.now();
            record.bytes = _input.substr(0, drop);
            _recorder.add(record);
            _input.erase(0, drop);
        }
        if (pos == std::string::npos || _input.size() < 8) break;
        std::string request = _input.substr(0, 8);
        _input.erase(0, 8);
        handleRequest(request);
    }
}

void Simulator::handleRequest(const std::string& request)
{
    const Micros now = _clock.now();
    const std::uint8_t opcode = static_cast<std::uint8_t>(request[4]);
    const std::uint8_t address = static_cast<std::uint8_t>(request[5]);
    const std::uint16_t value = static_cast<std::uint16_t>((static_cast<std::uint8_t>(request[6]) << 8) |
                                                           static_cast<std::uint8_t>(request[7]));

    Record record;
    record.kind = Record::Request;
    record.time = now;
    record.bytes = request;
    record.opcode = opcode;
    record.address = address;
    record.value = value;
    const bool slave = opcode == Wire::WriteSlave || opcode == Wire::ReadSlave;
    if (slave) record.serial = _controller.selectedSerial();
    _recorder.add(record);

    const ControllerState before = _controller.state();
    // While streaming the controller has no time for echoes.
    const bool blind = before == ControllerState::Transmission;

    if (opcode == Wire::WriteController || opcode == Wire::ReadController)
    {
        Controller::Outcome out =
            opcode == Wire::WriteController ? _controller.write(address, value) : _controller.read(address);
        const bool startsStreaming =
            opcode == Wire::WriteController && address == Wire::TDMA_PERIOD && (value & 0x8000);
        if (out.answered && !(opcode == Wire::WriteController && (blind || startsStreaming)))
            reply(requestBody(opcode, address, out.value), _timing.controllerReply, record, false);
        noteStateChange(before);
    }
    else if (slave)
    {
        Pod* target = nullptr;
        for (PodSlot& slot : _pods)
            if (slot.pod->serial() == record.serial) target = slot.pod.get();
        bool answered = false;
        std::uint16_t result = 0;
        if (target && podHeard(*target, now))
        {
            Pod::Outcome out =
                opcode == Wire::WriteSlave ? target->write(address, value, now) : target->read(address, now);
            answered = out.answered;
            result = out.value;
        }
        if (!(blind && opcode == Wire::WriteSlave))
        {
            if (answered)
                reply(requestBody(opcode, address, result), _timing.podReply, record, true);
            else
                reply(std::string(4, '\xFF'), _timing.podTimeout, record, false);
        }
        if (answered && opcode == Wire::WriteSlave) target->afterWrite(address, value, now + _timing.rebootTime);
    }
    // Probe (FF) and unknown opcodes get no answer.
    refresh(now);
}

void Simulator::noteStateChange(ControllerState before)
{
    ControllerState after = _controller.state();
    if (after == before) return;
    if (after == ControllerState::Transmission)
    {
        ++_transmissionEpoch;
        _transmissionStart = _clock.now();
        _scheduledPeriodNs = periodNanoseconds();
    }
}

void Simulator::reply(const std::string& body, Micros delay, const Record& request, bool fromPod)
{
    std::string answer = body;
    const bool timeout = answer == std::string(4, '\xFF');
    if (!timeout && fromPod && _faults.controllerTimeout > 0 && uniform(_faultRandom) < _faults.controllerTimeout)
        answer = std::string(4, '\xFF');
    else if (!timeout && _faults.wrongEcho > 0 && uniform(_faultRandom) < _faults.wrongEcho)
        answer[1] = static_cast<char>(answer[1] ^ 0x01);

    Micros t = _clock.now() + (_timing.instant ? 0 : delay);
    t = std::max(t, _lastReply);
    _lastReply = t;
    Record record = request;
    record.kind = Record::Reply;
    emit(t, Wire::marker() + answer, record, false);
}

void Simulator::emit(Micros t, std::string bytes, Record record, bool)
{
    if (_faults.any())
    {
        if (record.kind == Record::Frame && _faults.dropFrame > 0 && uniform(_faultRandom) < _faults.dropFrame)
            bytes.clear();
        if (!bytes.empty() && _faults.garbage > 0 && uniform(_faultRandom) < _faults.garbage)
        {
            std::string junk(1 + _faultRandom() % 8, '\0');
            for (char& c : junk) c = static_cast<char>(_faultRandom() & 0xFF);
            bytes.insert(0, junk);
        }
        if (!bytes.empty() && _faults.corruptByte > 0 && uniform(_faultRandom) < _faults.corruptByte)
        {
            std::size_t at = _faultRandom() % bytes.size();
            bytes[at] = static_cast<char>(bytes[at] ^ (1 << (_faultRandom() % 8)));
        }
        if (_faults.dropByte > 0 && uniform(_faultRandom) < _faults.dropByte && !bytes.empty())
            bytes.erase(_faultRandom() % bytes.size(), 1);
    }
    record.time = t;
    record.bytes = bytes;
    _recorder.add(record);
    if (bytes.empty()) return;
    auto at = std::upper_bound(_output.begin(), _output.end(), t,
                               [](Micros time, const Message& m) { return time < m.time; });
    if (at == _output.begin() && _outputOffset > 0) ++at; // never ahead of a half-read message
    _output.insert(at, Message{t, std::move(bytes)});
}

bool Simulator::podHeard(const Pod& pod, Micros t) const
{
    return podHeard(pod, t, _controller.channelCode());
}

bool Simulator::podHeard(const Pod& pod, Micros t, unsigned channelCode) const
{
    return pod.powered() && pod.reachable() && !pod.booting(t) && pod.channelCode() == channelCode;
}

bool Simulator::podStreams(const Pod& pod, Micros t) const
{
    return podStreams(pod, t, _controller.channelCode());
}

bool Simulator::podStreams(const Pod& pod, Micros t, unsigned channelCode) const
{
    return podHeard(pod, t, channelCode) && pod.streamingEnabled() && !pod.inProtectedArea();
}

std::uint64_t Simulator::periodNanoseconds() const
{
    if (_offeredRate > 0) return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(1e9 / _offeredRate + 0.5));
    return _controller.framePeriodNanoseconds();
}

Micros Simulator::frameOffset(const Pod& pod, std::uint64_t periodNs) const
{
    if (periodNs == 0) return 0;
    // TDMA_DELAY counts 1.5 us steps from the start of the period.
    return static_cast<Micros>((static_cast<std::uint64_t>(pod.registerValue(Wire::TDMA_DELAY)) * 1500) % periodNs);
}

Micros Simulator::frameTime(const PodSlot& slot) const
{
    std::uint64_t p = _scheduledPeriodNs;
    return _transmissionStart +
           static_cast<Micros>((slot.frameIndex * p + static_cast<std::uint64_t>(frameOffset(*slot.pod, p))) / 1000);
}

void Simulator::refresh(Micros reference)
{
    const ControllerState state = _controller.state();
    const bool transmitting = state == ControllerState::Transmission;
    if (transmitting)
    {
        std::uint64_t p = periodNanoseconds();
        if (p != _scheduledPeriodNs)
        {
            ++_transmissionEpoch;
            _transmissionStart = reference;
            _scheduledPeriodNs = p;
        }
    }
    const unsigned channelCode = _controller.channelCode();
    const Micros bootFrom = std::min(reference, _processed);
    Micros bootEnd = kNever;
    for (std::size_t i = 0; i < _pods.size(); ++i)
    {
        PodSlot& slot = _pods[i];
        const Pod& pod = *slot.pod;
        if (transmitting && _scheduledPeriodNs > 0 && podStreams(pod, reference, channelCode))
        {
            if (!slot.frameScheduled || slot.frameEpoch != _transmissionEpoch)
            {
                std::int64_t p = static_cast<std::int64_t>(_scheduledPeriodNs);
                std::int64_t since = (reference - _transmissionStart) * 1000 - frameOffset(pod, _scheduledPeriodNs);
                slot.frameIndex = since < 0 ? 0 : static_cast<std::uint64_t>(since / p + 1);
                slot.frameEpoch = _transmissionEpoch;
                slot.frameScheduled = true;
                slot.nextFrame = frameTime(slot);
                while (slot.nextFrame <= reference)
                {
                    ++slot.frameIndex;
                    slot.nextFrame = frameTime(slot);
                }
                slot.pod->_frameNumber = frameNumber(slot);
            }
        }
        else
        {
            slot.frameScheduled = false;
            slot.nextFrame = kNever;
        }
        if (state == ControllerState::Pairing && pod.pairing() && podHeard(pod, reference, channelCode) &&
            !pod.inProtectedArea())
        {
            if (slot.nextReport == kNever)
                slot.nextReport = reference + _timing.pairingInterval / 10 + 1000 * static_cast<Micros>(i);
        }
        else
        {
            slot.nextReport = kNever;
        }
        reschedule(i);
        if (pod._bootUntil > bootFrom) bootEnd = std::min(bootEnd, pod._bootUntil);
    }
    _nextBootEnd = bootEnd;
    updateAir();
    _airRevision = _air->revision();
    const bool hearing = state == ControllerState::Pairing || state == ControllerState::Listening;
    if (hearing && (_busyCodes.count(channelCode) || _air->busyFor(this, channelCode)))
    {
        if (_nextNoise == kNever)
            _nextNoise = reference + 1 + static_cast<Micros>(_noiseRandom() % (2 * _timing.noiseGap + 1));
    }
    else
    {
        _nextNoise = kNever;
    }
    _refreshedRevision = _revision;
}

std::uint16_t Simulator::frameNumber(const PodSlot& slot) const
{
    // The network counts periods from the transmission start; a pod adds its own offset.
    return static_cast<std::uint16_t>(slot.frameIndex + slot.pod->frameNumberOffset());
}

void Simulator::reschedule(std::size_t index)
{
    PodSlot& slot = _pods[index];
    const Micros due = std::min(slot.nextFrame, slot.nextReport);
    if (due == slot.due) return;
    slot.due = due;
    ++slot.dueStamp;
    if (due != kNever) _dueQueue.emplace(due, index, slot.dueStamp);
}

void Simulator::rebuildQueue()
{
    _dueQueue = decltype(_dueQueue)();
    for (std::size_t i = 0; i < _pods.size(); ++i)
    {
        _pods[i].due = kNever;
        ++_pods[i].dueStamp;
        reschedule(i);
    }
}

void Simulator::settleQueue()
{
    while (!_dueQueue.empty())
    {
        const DueEntry& top = _dueQueue.top();
        const PodSlot& slot = _pods[std::get<1>(top)];
        if (std::get<2>(top) == slot.dueStamp && std::get<0>(top) == slot.due) return;
        _dueQueue.pop();
    }
}

Micros Simulator::nextPeriodic(bool* bootEnd)
{
    settleQueue();
    Micros next = _nextNoise;
    if (!_dueQueue.empty()) next = std::min(next, std::get<0>(_dueQueue.top()));
    // The end of a reboot changes what the pod does, so it is an event of its own.
    const Micros boot = _nextBootEnd > _processed ? _nextBootEnd : kNever;
    if (bootEnd) *bootEnd = boot <= next;
    return std::min(next, boot);
}

void Simulator::processUntil(Micros t)
{
    if (_unplugged)
    {
        if (t < _faults.disappearAt)
        {
            plugBack();
        }
        else
        {
            _processed = std::max(_processed, t);
            return;
        }
    }
    // Another controller of the air started or stopped streaming: the noise heard may change.
    if (_refreshedRevision != _revision || _airRevision != _air->revision()) refresh(_processed);
    for (;;)
    {
        bool bootEnd = false;
        Micros e = nextPeriodic(&bootEnd);
        // kNever is no moment: nothing happens there, even when asked to process up to it.
        if (e == kNever || e > t) break;
        if (e >= _faults.disappearAt) break;
        produce(e);
        _processed = e;
        // Between requests the schedule only moves by what produce() itself advanced, except
        // where a reboot ends; refreshing every pod for every frame made a frame cost O(pods).
        if (bootEnd) refresh(e);
    }
    if (t >= _faults.disappearAt)
    {
        // Unplugged: nothing is produced from then on until it comes back.
        _unplugged = true;
        _air->release(this);
        _processed = std::max(_processed, t);
        return;
    }
    // No refresh here: nothing changes between the last event and t that the next call's
    // opening refresh, at this same moment, would not see.
    if (t > _processed) _processed = t;
}

void Simulator::produce(Micros e)
{
    if (_nextNoise == e)
    {
        std::string burst(1 + _noiseRandom() % 16, '\0');
        for (char& c : burst) c = static_cast<char>(_noiseRandom() & 0xFF);
        Record record;
        record.kind = Record::Noise;
        emit(e, burst, record, true);
        _nextNoise = e + 1 + static_cast<Micros>(_noiseRandom() % (2 * _timing.noiseGap + 1));
    }
    for (;;)
    {
        settleQueue();
        if (_dueQueue.empty() || std::get<0>(_dueQueue.top()) != e) break;
        const std::size_t index = std::get<1>(_dueQueue.top());
        _dueQueue.pop();
        PodSlot& slot = _pods[index];
        Pod& pod = *slot.pod;
        if (slot.nextFrame == e)
        {
            std::string body = pod.nextFrameBody(_controller.frameLength(), e, frameNumber(slot));
            Record record;
            record.kind = Record::Frame;
            record.opcode = Wire::DataFrame;
            record.address = static_cast<std::uint8_t>(pod.slot());
            record.value = pod.lastSample().frameNumber;
            record.serial = pod.serial();
            emit(e, Wire::frame(Wire::DataFrame, body), record, true);
            ++slot.frameIndex;
            slot.nextFrame = frameTime(slot);
        }
        if (slot.nextReport == e)
        {
            std::string serial;
            serial += static_cast<char>((pod.serial() >> 16) & 0xFF);
            serial += static_cast<char>((pod.serial() >> 8) & 0xFF);
            serial += static_cast<char>(pod.serial() & 0xFF);
            Record record;
            record.kind = Record::PairingReport;
            record.opcode = Wire::PairingReport;
            record.serial = pod.serial();
            emit(e, Wire::frame(Wire::PairingReport, serial), record, true);
            slot.nextReport = e + _timing.pairingInterval;
        }
        // The entry just taken was the slot's current one: requeue it under its next time.
        slot.due = kNever;
        reschedule(index);
    }
}

void Simulator::sync()
{
    processUntil(_clock.now());
}

std::size_t Simulator::readable(std::size_t enough) const
{
    const Micros now = _clock.now();
    std::size_t n = 0;
    // A reader far behind leaves many messages waiting: counting them all on every read
    // would make each read cost the whole backlog.
    for (std::size_t i = 0; i < _output.size() && _output[i].time <= now && n < enough; ++i)
        n += _output[i].bytes.size() - (i == 0 ? _outputOffset : 0);
    return n;
}

std::size_t Simulator::available()
{
    auto guard = lock();
    sync();
    checkPresent();
    return readable();
}

std::size_t Simulator::available(std::size_t enough)
{
    auto guard = lock();
    sync();
    checkPresent();
    return readable(enough);
}

std::string Simulator::take(std::size_t max)
{
    auto guard = lock();
    sync();
    checkPresent();
    const Micros now = _clock.now();
    std::string out;
    while (out.size() < max && !_output.empty() && _output.front().time <= now)
    {
        const std::string& bytes = _output.front().bytes;
        std::size_t n = std::min(max - out.size(), bytes.size() - _outputOffset);
        out.append(bytes, _outputOffset, n);
        _outputOffset += n;
        if (_outputOffset == bytes.size())
        {
            _output.pop_front();
            _outputOffset = 0;
        }
    }
    return out;
}

Micros Simulator::nextEventTime()
{
    auto guard = lock();
    sync();
    const Micros now = _clock.now();
    if (now >= _faults.disappearAt) return kNever;
    Micros next = std::min(nextPeriodic(), _faults.disappearAt);
    // Output readable already is no event: a reader waiting for more must not spin on it.
    for (const Message& m : _output)
        if (m.time > now)
        {
            next = std::min(next, m.time);
            break;
        }
    return next;
}

bool Simulator::waitForOutput(Micros limit)
{
    auto guard = lock();
    for (;;)
    {
        sync();
        if (gone()) return false;
        if (readable(1) > 0) return true;
        Micros next = nextEventTime();
        if (next == kNever || next > limit)
        {
            if (limit != kNever) advanceTo(limit);
            return !gone() && readable(1) > 0;
        }
        advanceTo(next);
    }
}

void Simulator::advance(Micros dt)
{
    auto guard = lock();
    if (dt > 0 && dt >= kNever - _clock.now())
        throw Poco::InvalidArgumentException("The clock cannot reach the end of time");
    _clock.advance(dt);
    sync();
}

void Simulator::advanceTo(Micros t)
{
    auto guard = lock();
    if (t == kNever) throw Poco::InvalidArgumentException("The clock cannot reach the end of time");
    _clock.advanceTo(t);
    sync();
}

} // namespace Sim
} // namespace Tarnlink
