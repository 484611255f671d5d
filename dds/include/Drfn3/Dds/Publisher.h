#ifndef Drfn3_Dds_Publisher_INCLUDED
#define Drfn3_Dds_Publisher_INCLUDED

#include <Drfn3/Dds/SampleQueue.h>
#include <Drfn3/Dds/Topics.h>
#include <Drfn3/Sample.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Drfn3 {
namespace Dds {

struct PublisherOptions
{
    /// The DDS domain (0 to 232).
    unsigned domain = 0;
    /// Samples each pod's topics keep, for readers that fall behind or join late.
    unsigned history = 100;
    /// Batches the samples topic keeps.
    unsigned batchHistory = 1000;
    /// Samples waiting for the publishing thread at most; past that the oldest are dropped.
    std::size_t queue = 8192;
    /// The longest a write waits for room at a slow reliable reader before its sample is
    /// counted as dropped.
    std::chrono::milliseconds maxBlocking{5};
    /// The publishing thread takes what is queued at most this often: each sample goes out at
    /// most this much later, for far fewer wake-ups.
    std::chrono::microseconds gather{1000};
    /// How long end() waits for the readers to acknowledge what was published.
    std::chrono::milliseconds linger{2000};
};

/// What the status says of one pod.
struct PodReport
{
    unsigned serial = 0;
    std::uint64_t samples = 0;
    double rate = 0;
    double loss = 0;
    double battery = 0;
    /// False while the pod's controller is lost.
    bool streaming = true;
};

/// Publishes one session (one run) over DDS from a thread of its own: per pod a
/// sensor_msgs/Imu and a sensor_msgs/MagneticField shaped message for each sample, every
/// sample whole on the samples topic, and the session's status. Every writer is reliable
/// with a bounded keep-last history and transient-local, so a reader that joins late gets
/// the last samples first. The calls below return at once (the streaming thread calls them);
/// samples the publishing thread cannot keep up with are dropped, oldest first, and counted.
/// Samples are in physical units (m/s^2, uT, rad/s); several controllers' pods may be mixed,
/// a pod is known by its serial.
class Publisher
{
public:
    /// Joins the domain; Poco::IOException when DDS cannot start (its configuration in
    /// CYCLONEDDS_URI, for one).
    explicit Publisher(const PublisherOptions& options = PublisherOptions());
    /// end(), then leaves the domain.
    ~Publisher();
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    /// This host's name and process id: the key of the session's status and batches.
    const std::string& session() const { return _session; }

    /// Pods whose topics are made now, before their first sample, so that readers can match
    /// early; pods seen first in a sample get theirs then.
    void started(const std::vector<unsigned>& serials);
    /// The UTC of the session's first sample and its time: messages are stamped with
    /// firstUtc + (time - firstTime). Without it the stamp is the session time.
    void timeBase(double firstUtc, double firstTime);
    /// Samples in time order.
    void publish(const std::vector<Sample>& batch);
    /// The latest state of the pods; published with the state on the status topic.
    void report(const std::vector<PodReport>& pods, double elapsed);
    void setState(SessionState state);
    /// Publishes what is queued and the Ended status, waits up to the linger time for the
    /// readers to take it, and stops the thread. Idempotent.
    void end();

    /// Samples dropped so far: queue overflow and writes that found no room in time.
    std::uint64_t dropped() const;

private:
    struct Writers;
    struct PodWriters;
    struct Pending;

    void run();
    /// The pod's writers, made the first time; null when they cannot be made.
    PodWriters* podOf(unsigned serial);
    void writeBatches();
    void publishStatus();

    PublisherOptions _options;
    std::string _session;
    std::int32_t _participant = 0;
    std::unique_ptr<Writers> _writers;
    SampleQueue _queue;

    std::mutex _mutex;
    std::unique_ptr<Pending> _pending;

    std::atomic<std::uint64_t> _writeFailures{0};
    std::thread _thread;
    bool _ended = false;
};

} // namespace Dds
} // namespace Drfn3

#endif
