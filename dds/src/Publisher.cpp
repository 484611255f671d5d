#include "Drfn3/Dds/Publisher.h"

#include "Messages.h"

#include <Drfn3/Settings.h>
#include <Poco/Environment.h>
#include <Poco/Process.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace Drfn3 {
namespace Dds {

const char* const STATUS_TOPIC = "rt/drfn3/status";
const char* const SAMPLES_TOPIC = "rt/drfn3/samples";

std::string imuTopic(unsigned serial)
{
    return "rt/drfn3/" + hex(serial) + "/imu";
}

std::string magTopic(unsigned serial)
{
    return "rt/drfn3/" + hex(serial) + "/mag";
}

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
using Clock = std::chrono::steady_clock;

/// Samples in one message of the samples topic at most, and how often one goes out.
constexpr std::size_t BATCH_LIMIT = 512;
constexpr std::chrono::milliseconds BATCH_PERIOD{20};

std::string sessionName()
{
    return Poco::Environment::nodeName() + ":" + std::to_string(Poco::Process::id());
}

} // namespace

/// What the streaming thread left for the publishing thread besides samples: the latest of
/// each.
struct Publisher::Pending
{
    std::vector<unsigned> serials;
    bool timeBaseGiven = false;
    double firstUtc = NaN;
    double firstTime = NaN;
    bool reportGiven = false;
    std::vector<PodReport> pods;
    double elapsed = 0;
    bool stateGiven = false;
    SessionState state = SessionState::Starting;
    bool ending = false;
};

struct Publisher::PodWriters
{
    std::string frameId;
    dds_entity_t imu = 0;
    dds_entity_t mag = 0;
};

/// The publishing thread's own: entities and the session as last told.
struct Publisher::Writers
{
    dds_entity_t publisher = 0;
    dds_entity_t status = 0;
    dds_entity_t samples = 0;
    /// Null where the pod's topics could not be made: its samples count as dropped.
    std::map<unsigned, std::unique_ptr<PodWriters>> pods;
    double firstUtc = NaN;
    double firstTime = NaN;
    std::vector<PodReport> reports;
    double elapsed = 0;
    SessionState state = SessionState::Starting;
    std::uint64_t batches = 0;
    /// Samples written to their pods' topics, waiting for the next batch; whether a write of
    /// each failed.
    std::vector<drfn3_msg_dds__Sample_> unbatched;
    std::vector<char> failed;
};

Publisher::Publisher(const PublisherOptions& options)
    : _options(options), _session(sessionName()), _writers(new Writers), _queue(options.queue), _pending(new Pending)
{
    _participant = check(dds_create_participant(static_cast<dds_domainid_t>(options.domain), nullptr, nullptr),
                         "cannot join domain " + std::to_string(options.domain));
    try
    {
        Writers& w = *_writers;
        w.publisher = check(dds_create_publisher(_participant, nullptr, nullptr), "publisher");
        // The latest status of each session, for whoever joins.
        dds_qos_t* statusQos = writerQos(1, _options.maxBlocking);
        const dds_entity_t statusTopic =
            dds_create_topic(_participant, &drfn3_msg_dds__Status__desc, STATUS_TOPIC, nullptr, nullptr);
        w.status = statusTopic < 0 ? statusTopic : dds_create_writer(w.publisher, statusTopic, statusQos, nullptr);
        dds_delete_qos(statusQos);
        check(w.status, STATUS_TOPIC);
        dds_qos_t* samplesQos = writerQos(_options.batchHistory, _options.maxBlocking);
        const dds_entity_t samplesTopic =
            dds_create_topic(_participant, &drfn3_msg_dds__Samples__desc, SAMPLES_TOPIC, nullptr, nullptr);
        w.samples = samplesTopic < 0 ? samplesTopic : dds_create_writer(w.publisher, samplesTopic, samplesQos, nullptr);
        dds_delete_qos(samplesQos);
        check(w.samples, SAMPLES_TOPIC);
        publishStatus();
    }
    catch (...)
    {
        dds_delete(_participant);
        throw;
    }
    _thread = std::thread([this] { run(); });
}

Publisher::~Publisher()
{
    end();
    dds_delete(_participant);
}

void Publisher::started(const std::vector<unsigned>& serials)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _pending->serials.insert(_pending->serials.end(), serials.begin(), serials.end());
        _pending->state = SessionState::Streaming;
        _pending->stateGiven = true;
    }
    _queue.wake();
}

void Publisher::timeBase(double firstUtc, double firstTime)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _pending->timeBaseGiven = true;
    _pending->firstUtc = firstUtc;
    _pending->firstTime = firstTime;
}

void Publisher::publish(const std::vector<Sample>& batch)
{
    _queue.push(batch);
}

void Publisher::report(const std::vector<PodReport>& pods, double elapsed)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _pending->reportGiven = true;
        _pending->pods = pods;
        _pending->elapsed = elapsed;
    }
    _queue.wake();
}

void Publisher::setState(SessionState state)
{
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _pending->stateGiven = true;
        _pending->state = state;
    }
    _queue.wake();
}

void Publisher::end()
{
    if (_ended) return;
    _ended = true;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _pending->ending = true;
    }
    _queue.wake();
    if (_thread.joinable()) _thread.join();
}

std::uint64_t Publisher::dropped() const
{
    return _queue.dropped() + _writeFailures.load();
}

void Publisher::run()
{
    Writers& w = *_writers;
    std::vector<Sample> samples;
    Clock::time_point nextBatch = Clock::now() + BATCH_PERIOD;
    bool ending = false;
    Clock::time_point lastTake = Clock::now();
    while (!ending)
    {
        // Woken at most once a gathering period: at 1,600 samples a second and more, a wake-up
        // for each costs more than all the writes.
        std::this_thread::sleep_until(lastTake + _options.gather);
        const Clock::time_point now = lastTake = Clock::now();
        const auto wait =
            w.unbatched.empty()
                ? std::chrono::milliseconds(100)
                : std::chrono::duration_cast<std::chrono::milliseconds>(std::max(Clock::duration(0), nextBatch - now));
        _queue.take(samples, wait);
        // Taken after the samples: whatever came before them is here too.
        Pending pending;
        {
            std::lock_guard<std::mutex> lock(_mutex);
            std::swap(pending, *_pending);
            _pending->ending = pending.ending;
        }
        ending = pending.ending;

        for (unsigned serial : pending.serials) podOf(serial);
        if (pending.timeBaseGiven)
        {
            w.firstUtc = pending.firstUtc;
            w.firstTime = pending.firstTime;
        }
        for (const Sample& s : samples)
        {
            const PodWriters* pod = podOf(s.serial);
            bool failed = !pod;
            if (pod)
            {
                const double utc = std::isnan(w.firstUtc) ? s.time : w.firstUtc + (s.time - w.firstTime);
                const builtin_interfaces_msg_dds__Time_ stamp = messageTime(utc);
                sensor_msgs_msg_dds__Imu_ imu;
                toImu(s, stamp, pod->frameId.c_str(), imu);
                sensor_msgs_msg_dds__MagneticField_ mag;
                toMagneticField(s, stamp, pod->frameId.c_str(), mag);
                failed = dds_write(pod->imu, &imu) < 0;
                failed = dds_write(pod->mag, &mag) < 0 || failed;
            }
            w.unbatched.emplace_back();
            toMessage(s, w.unbatched.back());
            w.failed.push_back(failed ? 1 : 0);
        }
        // Recorders take whole samples a few times a second less often than ROS takes each one:
        // one message per period costs far less than one per sample.
        if (!w.unbatched.empty() && (ending || Clock::now() >= nextBatch || w.unbatched.size() >= BATCH_LIMIT))
        {
            writeBatches();
            nextBatch = Clock::now() + BATCH_PERIOD;
        }

        if (pending.reportGiven)
        {
            w.reports = std::move(pending.pods);
            w.elapsed = pending.elapsed;
        }
        if (pending.stateGiven) w.state = pending.state;
        if (ending) w.state = SessionState::Ended;
        if (pending.reportGiven || pending.stateGiven || ending) publishStatus();
    }
    // What readers have not acknowledged yet still reaches them, within a bound.
    dds_wait_for_acks(w.publisher, DDS_MSECS(_options.linger.count()));
}

Publisher::PodWriters* Publisher::podOf(unsigned serial)
{
    Writers& w = *_writers;
    auto found = w.pods.find(serial);
    if (found != w.pods.end()) return found->second.get();
    auto pod = std::make_unique<PodWriters>();
    pod->frameId = hex(serial);
    dds_qos_t* qos = writerQos(_options.history, _options.maxBlocking);
    const dds_entity_t imu =
        dds_create_topic(_participant, &sensor_msgs_msg_dds__Imu__desc, imuTopic(serial).c_str(), nullptr, nullptr);
    const dds_entity_t mag = dds_create_topic(_participant, &sensor_msgs_msg_dds__MagneticField__desc,
                                              magTopic(serial).c_str(), nullptr, nullptr);
    pod->imu = imu < 0 ? imu : dds_create_writer(w.publisher, imu, qos, nullptr);
    pod->mag = mag < 0 ? mag : dds_create_writer(w.publisher, mag, qos, nullptr);
    dds_delete_qos(qos);
    if (pod->imu < 0 || pod->mag < 0) pod.reset();
    return (w.pods[serial] = std::move(pod)).get();
}

void Publisher::writeBatches()
{
    Writers& w = *_writers;
    for (std::size_t first = 0; first < w.unbatched.size(); first += BATCH_LIMIT)
    {
        const std::size_t count = std::min(BATCH_LIMIT, w.unbatched.size() - first);
        drfn3_msg_dds__Samples_ message{};
        message.session = _session.data();
        message.seq = w.batches;
        message.first_utc = w.firstUtc;
        message.first_time = w.firstTime;
        message.samples._buffer = w.unbatched.data() + first;
        message.samples._length = message.samples._maximum = static_cast<std::uint32_t>(count);
        message.samples._release = false;
        if (dds_write(w.samples, &message) < 0)
            std::fill(w.failed.begin() + static_cast<std::ptrdiff_t>(first),
                      w.failed.begin() + static_cast<std::ptrdiff_t>(first + count), 1);
        else
            ++w.batches;
    }
    _writeFailures += static_cast<std::uint64_t>(std::count(w.failed.begin(), w.failed.end(), 1));
    w.unbatched.clear();
    w.failed.clear();
}

void Publisher::publishStatus()
{
    Writers& w = *_writers;
    std::vector<std::string> serials;
    std::vector<drfn3_msg_dds__PodStatus_> pods(w.reports.size());
    serials.reserve(w.reports.size());
    for (std::size_t i = 0; i < w.reports.size(); ++i)
    {
        const PodReport& r = w.reports[i];
        serials.push_back(hex(r.serial));
        pods[i].serial = serials.back().data();
        pods[i].samples = r.samples;
        pods[i].rate = r.rate;
        pods[i].loss = r.loss;
        pods[i].battery = r.battery;
        pods[i].streaming = r.streaming && w.state != SessionState::Ended;
    }
    drfn3_msg_dds__Status_ message{};
    message.session = _session.data();
    message.stamp = messageTime(static_cast<double>(Poco::Timestamp().epochMicroseconds()) * 1e-6);
    message.state = static_cast<std::uint8_t>(w.state);
    message.elapsed = w.elapsed;
    message.pods._buffer = pods.data();
    message.pods._length = message.pods._maximum = static_cast<std::uint32_t>(pods.size());
    message.pods._release = false;
    message.dropped = dropped();
    message.batches = w.batches;
    dds_write(w.status, &message);
}

} // namespace Dds
} // namespace Drfn3
