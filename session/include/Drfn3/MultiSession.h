#ifndef Drfn3_MultiSession_INCLUDED
#define Drfn3_MultiSession_INCLUDED

#include "Drfn3/Host.h"
#include "Drfn3/SampleReader.h"
#include "Drfn3/Settings.h"

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Drfn3 {

/// One controller of a session and the pods it streams.
struct ControllerPods
{
    /// Port or identifier, as the filter's "Ctrl Port" takes it.
    std::string where;
    std::vector<unsigned> pods;
};

/// Finds each pod on the controllers present (those no other program holds): each
/// controller in discovery order is asked for the pods not found yet with the filter's own
/// network check. Controllers without any of them are left out. UsageError names the pods
/// that answer nowhere; Poco::NotFoundException when no controller is present.
std::vector<ControllerPods> findPods(const Settings& common, const std::vector<unsigned>& pods);

/// Several controllers streaming together, one FilterDRFN3 each, all driven from the thread
/// that calls cycle(), on one time base.
///
/// Time: a controller stamps its frames with its own frame count. When its transmission
/// starts, its first frame is awaited and the host clock read then; the difference between
/// that reading and the frame's stamp maps every later frame of that controller onto the
/// session's clock (seconds since start() began). offset() reports the differences between
/// controllers. Samples come out merged in time order: a sample is held until every
/// controller still streaming has given one as late; a controller that has given nothing for
/// holdSeconds holds nobody back.
///
/// A controller lost mid-session ends its own pods' samples only: the others go on, and
/// reconnect() brings it back on a fresh offset.
class MultiSession
{
public:
    /// Host seconds, monotonic; tests give the simulator's virtual clock.
    using Clock = std::function<double()>;

    /// Loads the module once per controller and applies the common settings (pods and
    /// controller come from each entry; nothing is saved).
    MultiSession(const Settings& common, const std::vector<ControllerPods>& controllers, Units units,
                 Clock clock = Clock());
    ~MultiSession();
    MultiSession(const MultiSession&) = delete;
    MultiSession& operator=(const MultiSession&) = delete;

    /// Orientation for every pod, as SampleReader::enableOrientation gives it; before start().
    /// UsageError for a gain below 0 or not a number.
    void enableOrientation(const OrientationSettings& settings = OrientationSettings());

    /// Connects every controller, then starts them one after the other, each on a channel
    /// the ones already streaming leave quiet. Each start runs on a short-lived thread of its
    /// own while the calling thread goes on reading the controllers already streaming (each
    /// filter is still driven by one thread at a time). A failure stops those started and leaves.
    /// progress, when given, hears of each step.
    void start(const std::function<void(const std::string&)>& progress = {});
    /// Transmission off and every controller closed.
    void stop();

    /// One host cycle: a frame read on each streaming controller, the samples that are due
    /// appended in time order. Returns how many were appended.
    std::size_t cycle(std::vector<Sample>& out);
    /// Appends every sample still held (at the end of a run).
    std::size_t flush(std::vector<Sample>& out);

    std::size_t size() const { return _parts.size(); }
    Host& host(std::size_t index) { return *_parts.at(index)->host; }
    const std::string& where(std::size_t index) const { return _parts.at(index)->where; }
    /// Pods of every controller in the order given, with their states.
    std::vector<PodState> pods() const;
    /// Index of the controller streaming this pod, size() when none.
    std::size_t controllerOf(unsigned serial) const;
    /// Session seconds at which the controller's frame count 0 falls, NaN before its first frame.
    double start(std::size_t index) const { return _parts.at(index)->delta; }
    /// start(index) - start(0): how much later the controller began than the first.
    double offset(std::size_t index) const { return start(index) - start(0); }
    /// The controller stopped answering and was closed.
    bool lost(std::size_t index) const { return _parts.at(index)->lost; }
    /// One try to open a lost controller again (the same one, by its identity) and start
    /// it; true once it streams again.
    bool reconnect(std::size_t index);
    /// Session seconds now.
    double now() const { return _clock() - _origin; }

    /// The longest a sample waits for a late controller before it goes out anyway.
    double holdSeconds = 0.25;
    /// Polled during a controller's start, which runs on a thread of its own (see start()):
    /// true stops it as an interrupt scope would on the calling thread.
    std::function<bool()> interrupted;

private:
    struct Part
    {
        std::string where;
        std::vector<unsigned> pods;
        std::unique_ptr<Host> host;
        std::unique_ptr<SampleReader> reader;
        /// Session time minus reader time; NaN until the first frame after a start.
        double delta;
        /// Latest session time handed to the merge.
        double latest = 0;
        /// Session time of the last cycle that gave samples.
        double delivered = 0;
        /// Samples on the session's time base not yet due, in time order.
        std::deque<Sample> held;
        bool streaming = false;
        bool lost = false;
        std::string identity;
    };

    void startPart(Part& part);
    /// One frame read and what it gave taken; a controller that stopped answering is lost.
    void read(Part& part);
    /// The part's samples since the last look, on the session's time base, into the held ones.
    void take(Part& part);
    std::size_t release(std::vector<Sample>& out, double upTo);

    Units _units;
    Clock _clock;
    double _origin = 0;
    std::vector<std::unique_ptr<Part>> _parts;
    std::vector<Sample> _batch;
};

} // namespace Drfn3

#endif
