#ifndef Drfn3_SampleReader_INCLUDED
#define Drfn3_SampleReader_INCLUDED

#include "Drfn3/Calibration.h"
#include "Drfn3/Sample.h"

#include "Quillmesh/Core/HostedFilter.h"
#include "Quillmesh/Core/InputPin.h"
#include "Quillmesh/Core/TimeStampedData.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <vector>

namespace Drfn3 {

enum class Units
{
    /// gain x raw - offset: accelerometer m/s^2, magnetometer uT, gyroscope rad/s.
    Calibrated,
    /// The pods' counts as they came.
    Raw
};

/// How the reader's orientation filters work (one FilterOrientation per pod, made through the
/// module by its type name).
struct OrientationSettings
{
    /// Correction gain in 1/s: the accelerometer and magnetometer pull the estimate with a time
    /// constant of 1/gain. 0 leaves the filter's own (2).
    double gain = 0;
    /// Off: six-axis, the magnetometer left out; the heading then comes from the gyroscope
    /// alone and drifts with it.
    bool magnetometer = true;
};

/// What a reader knows of one pod.
struct PodState
{
    unsigned serial = 0;
    /// Samples taken since the reader was made.
    std::uint64_t samples = 0;
    /// Frame rate the filter reports, Hz.
    double frequency = 0;
    /// False when the pod's calibration cannot be applied: its calibrated values are NaN.
    bool calibrationUsable = true;
    /// The calibration last published: accelerometer, magnetometer, gyroscope.
    SensorCalibration calibration[3];
    /// False until the filter published this pod's calibration.
    bool calibrationKnown = false;
    Sample latest;
    /// Samples per second of streaming time: within each transmission, first sample to
    /// last, summed over transmissions.
    double rate() const;

private:
    friend class SampleReader;
    double segmentFirst = 0;
    double segmentLast = 0;
    std::uint64_t segmentSamples = 0;
    double closedSeconds = 0;
    std::uint64_t closedIntervals = 0;
};

/// Turns what the filter publishes on each pod's pins into samples: probes on the sample,
/// frame, button, battery and calibration pins of every pod, one Sample per accepted frame
/// in the order the frames came, on one time base for the whole run. Used from the thread
/// that calls the filter's process() (probes allow one reader at a time).
///
/// With orientation on, each pod also gets a FilterOrientation of its own, its inputs linked
/// to the pod's sample and calibration pins as a layout would link them: collect() runs
/// those filters and puts the orientation of each frame's time stamp into its sample (one
/// without, hasOrientation false, has NaN there). They calibrate the counts themselves, so raw
/// samples carry the orientation too.
class SampleReader
{
public:
    SampleReader(Quillmesh::Core::HostedFilter& filter, Units units);
    SampleReader(const SampleReader&) = delete;
    SampleReader& operator=(const SampleReader&) = delete;
    ~SampleReader();

    /// The pods to read, in this order; pods read before keep their state. Probes go on
    /// before transmission starts so that no frame passes unseen.
    void setPods(const std::vector<unsigned>& serials);
    const std::vector<PodState>& pods() const { return _pods; }
    Units units() const { return _units; }

    /// Orientation for every pod read from now on (call it before setPods(), or the pods
    /// already read get theirs at the next setPods()). UsageError for a gain below 0 or not a
    /// number; nothing changes then.
    void enableOrientation(const OrientationSettings& settings = OrientationSettings());
    bool orientation() const { return _orientation; }

    /// A transmission started: pods count their frames from the start again. Later samples
    /// go on from runSeconds (the time since the first transmission started), and never
    /// before a sample already given. Orientations of the last transmission not taken yet
    /// are let go; each pod's estimate starts afresh from its first frame.
    void transmissionStarted(double runSeconds);

    /// Appends the samples published since the last call in time order (each pod's in its
    /// order, pods interleaved by time), at most limit; the rest wait.
    std::size_t collect(std::vector<Sample>& out, std::size_t limit = std::numeric_limits<std::size_t>::max());

    /// Takes the calibration the filter published last into the pods' states.
    void refreshCalibration();

    /// UTC of the first sample in seconds since 1970, and that sample's time; NaN before.
    double firstSampleUtc() const { return _firstUtc; }
    double firstSampleTime() const { return _firstTime; }
    /// UTC of a sample's time, in seconds since 1970; NaN before the first sample.
    double utcOf(double time) const { return _firstUtc + (time - _firstTime); }

private:
    struct Taps;

    void refreshCalibration(Taps& taps, PodState& pod);
    /// Makes the pod's orientation filter and links what is not linked yet.
    void linkOrientation(Taps& taps, unsigned serial);
    void takeOrientation(Taps& taps, double podTime, Sample& sample);
    /// The pod time of the pod's next frame, NaN when none waits.
    double peek(Taps& taps);
    bool takeOne(Taps& taps, PodState& pod, Sample& sample);

    Quillmesh::Core::HostedFilter& _filter;
    Units _units;
    bool _orientation = false;
    OrientationSettings _orientationSettings;
    std::vector<PodState> _pods;
    /// Probes cannot be taken off: those of pods no longer read stay here, unused.
    std::map<unsigned, std::unique_ptr<Taps>> _taps;
    /// The probes of _pods, in the same order.
    std::vector<Taps*> _active;
    std::vector<double> _next;
    double _offset = 0;
    double _lastTime = 0;
    double _firstUtc;
    double _firstTime;
};

} // namespace Drfn3

#endif
