#ifndef Tarnlink_Sim_Simulator_INCLUDED
#define Tarnlink_Sim_Simulator_INCLUDED

#include <Tarnlink/Sim/Air.h>
#include <Tarnlink/Sim/Sim.h>
#include <Tarnlink/Sim/Controller.h>
#include <Tarnlink/Sim/Faults.h>
#include <Tarnlink/Sim/Pod.h>
#include <Tarnlink/Sim/Recorder.h>
#include <Tarnlink/Sim/VirtualClock.h>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace Tarnlink {
namespace Sim {

/// Modelled delays. With instant set, replies are readable at the moment of the request.
struct Timing
{
    bool instant = false;
    /// Reply to a controller register request.
    Micros controllerReply = 300;
    /// Reply relayed from a pod.
    Micros podReply = 2500;
    /// FF FF FF FF when the addressed pod does not answer.
    Micros podTimeout = 10000;
    /// A pod's silence after a reboot.
    Micros rebootTime = 50000;
    /// Interval between pairing reports of one pod.
    Micros pairingInterval = 200000;
    /// Mean gap between noise bursts on a busy channel.
    Micros noiseGap = 1500;
};

/// A controller and its pods as seen from the host's side of the byte stream.
///
/// Transport independent: the host's bytes go in with feed(), the controller's bytes come
/// out with take(), both at the clock's current time. Streaming frames, pairing reports and
/// noise are produced lazily as the clock moves, so the same seed and the same host bytes
/// at the same times always give the same output. Every public call is serialised by an
/// internal lock; take lock() around several calls or around direct Pod/Controller access
/// while a PtyServer runs.
///
/// Several simulators may share one clock and one Air (see Rack): each still produces only
/// as far as its own calls take it, so a rack stays deterministic whoever drives the clock.
class TarnlinkSim_API Simulator
{
public:
    explicit Simulator(Generation generation = Generation::Second, std::uint32_t seed = 1);
    /// On a clock and in an air shared with other simulators; either may be null (its own).
    Simulator(Generation generation, std::uint32_t seed, std::shared_ptr<VirtualClock> clock, std::shared_ptr<Air> air);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    std::uint32_t seed() const { return _seed; }
    Controller& controller() { return _controller; }
    VirtualClock& clock() { return _clock; }
    Recorder& recorder() { return _recorder; }
    Faults& faults() { return _faults; }
    Timing& timing() { return _timing; }
    /// No modelled latency: replies are readable at once (frames keep their period).
    void setInstant(bool instant)
    {
        auto guard = lock();
        _timing.instant = instant;
    }
    std::unique_lock<std::recursive_mutex> lock() const { return std::unique_lock<std::recursive_mutex>(_mutex); }

    // Pods.
    Pod& addPod(std::uint32_t serial);
    Pod& addPod(const PodConfig& config);
    /// Null when no pod has that serial.
    Pod* pod(std::uint32_t serial);
    std::vector<Pod*> pods();
    void removePod(std::uint32_t serial);
    /// What the pod with that serial undergoes at virtual time t, whether or not it streams
    /// then: the values its frames are made from. Poco::NotFoundException for an unknown serial.
    MotionTruth truth(std::uint32_t serial, Micros t);

    // Radio.
    /// Channel index 0-31; a busy channel makes noise while the controller pairs or listens.
    void setBusyChannel(unsigned index, bool busy = true);
    void setBusyChannelCode(unsigned code, bool busy = true);
    /// Busy by setBusyChannel or by another controller of the air streaming there.
    bool isBusyCode(unsigned code) const;
    Air& air() { return *_air; }
    /// Streams each pod at this many frames per second instead of the TDMA period (0 restores).
    void setOfferedRate(double framesPerSecond);
    double offeredRate() const { return _offeredRate; }

    // Presence.
    /// The controller is unplugged at virtual time t (kNever: never). From then on feed(),
    /// take() and available() throw Poco::IOException, waits return false without passing
    /// t, and nothing more is produced. Moving t later than now while gone plugs it back in.
    void disappearAt(Micros t);
    /// True once the clock has reached the disappearance time.
    bool gone() const
    {
        auto guard = lock();
        return _clock.now() >= _faults.disappearAt;
    }
    /// Plugs the controller back in now: its registers start at their power-on values
    /// (Idle, no transmission), bytes in flight are lost; pods keep their state.
    void replug();
    /// Counts plug-ins, starting at 0; a transport holding an older number was cut off.
    unsigned plugCount() const
    {
        auto guard = lock();
        return _plugCount;
    }

    // Byte stream.
    /// Bytes written by the host at the current time.
    void feed(const std::string& bytes);
    void feed(const char* data, std::size_t length);
    /// Bytes readable now.
    std::size_t available();
    /// The same, counted only as far as enough (at least enough when there are as many).
    std::size_t available(std::size_t enough);
    /// Removes and returns up to max readable bytes.
    std::string take(std::size_t max = static_cast<std::size_t>(-1));
    /// Time of the next thing that will happen (output becoming readable, a frame, report
    /// or noise burst being produced, a pod finishing its reboot, the controller going), or
    /// kNever; output readable now does not count. Does not move the clock.
    Micros nextEventTime();
    /// Advances the clock to the first moment at which output is readable, but not past
    /// limit nor the disappearance; returns true when output is readable then. With nothing
    /// ever to come and limit kNever it returns false at once, the clock unmoved.
    bool waitForOutput(Micros limit);
    /// Moves the clock (and produces what happens meanwhile). The clock cannot reach
    /// kNever: Poco::InvalidArgumentException.
    void advance(Micros dt);
    void advanceTo(Micros t);

private:
    struct Message
    {
        Micros time;
        std::string bytes;
    };
    struct PodSlot
    {
        std::unique_ptr<Pod> pod;
        bool frameScheduled = false;
        std::uint64_t frameEpoch = 0;
        std::uint64_t frameIndex = 0;
        Micros nextFrame = kNever;
        Micros nextReport = kNever;
        /// The time under which the slot stands in the queue of due slots, and the stamp of
        /// that entry (older entries are left in the queue and skipped).
        Micros due = kNever;
        std::uint64_t dueStamp = 0;
    };
    /// (time, slot index, stamp): equal times come out in slot order, as pods are numbered.
    using DueEntry = std::tuple<Micros, std::size_t, std::uint64_t>;

    /// Puts the slot in the queue under its next frame or report time, if that moved.
    void reschedule(std::size_t index);
    /// Requeues every slot (after slots were removed or all cleared).
    void rebuildQueue();
    /// Drops stale entries from the front of the queue.
    void settleQueue();

    void sync();
    std::size_t readable(std::size_t enough = static_cast<std::size_t>(-1)) const;
    void checkPresent() const;
    void plugBack();
    void processUntil(Micros t);
    void produce(Micros e);
    std::uint16_t frameNumber(const PodSlot& slot) const;
    void refresh(Micros reference);
    /// bootEnd, when given, tells whether a pod's reboot ends then: the one way time alone
    /// changes what pods do.
    Micros nextPeriodic(bool* bootEnd = nullptr);
    Micros frameTime(const PodSlot& slot) const;
    std::uint64_t periodNanoseconds() const;
    Micros frameOffset(const Pod& pod, std::uint64_t periodNs) const;
    bool podStreams(const Pod& pod, Micros t) const;
    bool podHeard(const Pod& pod, Micros t) const;
    /// The same, with the controller's channel code looked up once for many pods.
    bool podStreams(const Pod& pod, Micros t, unsigned channelCode) const;
    bool podHeard(const Pod& pod, Micros t, unsigned channelCode) const;
    void handleRequest(const std::string& request);
    void reply(const std::string& body, Micros delay, const Record& request, bool fromPod);
    void emit(Micros t, std::string bytes, Record record, bool stream);
    void noteStateChange(ControllerState before);
    /// Tells the air where this controller's network streams, if it does.
    void updateAir();

    mutable std::recursive_mutex _mutex;
    std::uint32_t _seed;
    std::shared_ptr<VirtualClock> _sharedClock;
    VirtualClock& _clock;
    std::shared_ptr<Air> _air;
    /// The air's revision the last refresh saw.
    std::uint64_t _airRevision = 0;
    Controller _controller;
    Recorder _recorder;
    Faults _faults;
    Timing _timing;
    std::vector<PodSlot> _pods;
    std::set<unsigned> _busyCodes;
    double _offeredRate = 0.0;
    std::mt19937 _faultRandom;
    std::mt19937 _noiseRandom;
    std::string _input;
    std::deque<Message> _output;
    std::size_t _outputOffset = 0;
    Micros _processed = 0;
    /// Bumped by every change that may move the schedule; refresh() is skipped while it stands
    /// where the last one left it, so a step costs the same whatever the number of pods.
    std::uint64_t _revision = 1;
    std::uint64_t _refreshedRevision = 0;
    Micros _lastReply = 0;
    Micros _transmissionStart = 0;
    std::uint64_t _transmissionEpoch = 0;
    std::uint64_t _scheduledPeriodNs = 0;
    Micros _nextNoise = kNever;
    std::priority_queue<DueEntry, std::vector<DueEntry>, std::greater<DueEntry>> _dueQueue;
    /// Earliest end of a pod reboot after the last refresh, kNever when none is under way.
    Micros _nextBootEnd = kNever;
    unsigned _plugCount = 0;
    bool _unplugged = false;
};

} // namespace Sim
} // namespace Tarnlink

#endif
