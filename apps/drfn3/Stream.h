#ifndef Drfn3_Stream_INCLUDED
#define Drfn3_Stream_INCLUDED

#include <Drfn3/Sample.h>
#include <Drfn3/SampleReader.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Drfn3 {

class Host;

struct PodStatus;

/// Sees what a run streams, on the streaming thread: it must return at once (hand the data
/// to a bounded queue of its own, never wait on a reader).
class StreamObserver
{
public:
    virtual ~StreamObserver() = default;
    /// Transmission runs, with these pods, in these units.
    virtual void started(const std::vector<unsigned>& /*serials*/, Units /*units*/) {}
    /// The run's UTC: the first sample's, and that sample's time; told once, before it.
    virtual void timeBase(double /*firstUtc*/, double /*firstTime*/) {}
    /// The samples of one cycle, in time order.
    virtual void samples(const std::vector<Sample>& /*batch*/) {}
    /// At each refresh of the table or status line.
    virtual void status(const std::vector<PodStatus>& /*pods*/, double /*elapsed*/) {}
    /// The controller was lost (waited for with --reconnect), and came back.
    virtual void controllerLost() {}
    virtual void controllerBack() {}
};

/// Tells each of several observers, in the order added.
class StreamObservers : public StreamObserver
{
public:
    /// Null is left out.
    void add(StreamObserver* observer);
    bool empty() const { return _observers.empty(); }

    void started(const std::vector<unsigned>& serials, Units units) override;
    void timeBase(double firstUtc, double firstTime) override;
    void samples(const std::vector<Sample>& batch) override;
    void status(const std::vector<PodStatus>& pods, double elapsed) override;
    void controllerLost() override;
    void controllerBack() override;

private:
    std::vector<StreamObserver*> _observers;
};

struct StreamOptions
{
    /// 0: until stopped.
    double seconds = 0;
    /// Paths, "-" for standard output.
    std::string csv;
    std::string jsonl;
    /// Seconds between redraws of the live table (and flushes of the files).
    double refresh = 0.25;
    /// A lost controller is waited for instead of ending the run.
    bool reconnect = false;
    /// Counts instead of physical units.
    bool raw = false;
    /// A column with each sample's UTC time.
    bool utc = false;
    /// Each pod's orientation in the table, the CSV and the JSON lines.
    bool orientation = false;
    /// Its gain (0: the filter's own) and whether the magnetometer takes part.
    OrientationSettings orientationSettings;
    /// Also told what streams (the live view); not owned.
    StreamObserver* observer = nullptr;
    /// Publish every sample over DDS, in this domain (the command sets it up: see Dds.h).
    bool dds = false;
    unsigned ddsDomain = 0;
};

/// What the live view shows of one pod.
struct PodStatus
{
    unsigned serial = 0;
    std::uint64_t samples = 0;
    /// Samples per second: over the last second while streaming, over the streaming time at the end.
    double rate = 0;
    bool calibrationUsable = true;
    Sample latest;
};

/// How a run ended.
struct StreamResult
{
    std::vector<PodStatus> pods;
    /// Standard output was closed by its reader: nothing more can be printed there.
    bool outputClosed = false;
};

/// The live table in at most width columns and height lines (width from 40 up): a heading,
/// then each pod's rows folded at field boundaries, never wrapped by the terminal; with
/// orientation, a row of roll, pitch, yaw and the quaternion per pod.
std::vector<std::string> renderTable(const std::vector<PodStatus>& pods, double elapsed, Units units,
                                     unsigned width = 80, unsigned height = 24, bool orientation = false);
/// One line for logs and pipes.
std::string renderStatusLine(const std::vector<PodStatus>& pods, double elapsed);

/// The CSV heading and rows; column names carry the units. utc: a "utc_s" column (seconds
/// since 1970) follows the time. orientation: qw, qx, qy, qz, roll_deg, pitch_deg, yaw_deg
/// and orientation_sensors (the letters of the sensors the estimate used, "amg" with all
/// three) follow the other columns; a sample without an orientation has nan there (null in
/// JSON) and no letters.
std::string csvHeader(Units units, bool utc = false, bool orientation = false);
std::string csvRow(const Sample& sample, Units units, double utc = 0, bool withUtc = false, bool orientation = false);
std::string jsonRow(const Sample& sample, Units units, double utc = 0, bool withUtc = false, bool orientation = false);

/// Connects, starts transmission, reads samples until the time is up, a stop signal comes
/// or standard output's reader goes, then stops transmission and disconnects. The first
/// failed write to a file stops the run the same way before the error leaves.
StreamResult stream(Host& host, const StreamOptions& options);

} // namespace Drfn3

#endif
