#include "Drfn3/SampleReader.h"

#include "Drfn3/Settings.h"

#include <DRFN3Internal/PinNames.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace Drfn3 {

namespace PinNames = DRFN3Internal::PinNames;
using Quillmesh::Core::AbstractInputPin;
using Quillmesh::Core::HostedFilter;
using Quillmesh::Core::InputPin;
using Quillmesh::Core::RowMatrixXd;

namespace {

/// Deep enough for every frame between two collects of a host that calls process() in a
/// burst; frames beyond it would be dropped oldest first on every probe alike.
constexpr std::size_t QUEUE_DEPTH = 256;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

/// Samples of a pod between two looks at its calibration pins.
constexpr std::uint64_t CALIBRATION_EVERY = 16;

/// An orientation belongs to the frame of the same time stamp; both come from one computation.
constexpr double SAME_TIME = 1e-6;

/// Copies up to count values of the probe's oldest data and lets it go.
bool take(InputPin<RowMatrixXd>& pin, double* out, int count, double* time = nullptr)
{
    const auto* data = pin.getData();
    if (!data) return false;
    const int size = static_cast<int>(data->data.size());
    const double* values = data->data.data();
    for (int i = 0; i < count; ++i) out[i] = i < size ? values[i] : 0.0;
    if (time) *time = data->time;
    pin.release();
    return true;
}

void setSensor(Sample& sample, int sensor, const double v[3])
{
    double* x = sensor == 0 ? &sample.ax : sensor == 1 ? &sample.mx : &sample.gx;
    double* y = sensor == 0 ? &sample.ay : sensor == 1 ? &sample.my : &sample.gy;
    double* z = sensor == 0 ? &sample.az : sensor == 1 ? &sample.mz : &sample.gz;
    *x = v[0];
    *y = v[1];
    *z = v[2];
}

} // namespace

struct SampleReader::Taps
{
    InputPin<RowMatrixXd>* samples[3] = {nullptr, nullptr, nullptr};
    InputPin<RowMatrixXd>* frame = nullptr;
    InputPin<RowMatrixXd>* button = nullptr;
    InputPin<RowMatrixXd>* battery = nullptr;
    InputPin<RowMatrixXd>* gains[3] = {nullptr, nullptr, nullptr};
    InputPin<RowMatrixXd>* offsets[3] = {nullptr, nullptr, nullptr};

    // The pod's orientation filter, when asked for: its nine inputs, named as the pod's
    // sample and calibration pins without the suffix, and probes on its outputs.
    std::unique_ptr<HostedFilter> orientation;
    AbstractInputPin* inputs[9] = {};
    InputPin<RowMatrixXd>* quaternion = nullptr;
    InputPin<RowMatrixXd>* angles = nullptr;
    InputPin<RowMatrixXd>* sensors = nullptr;
};

double PodState::rate() const
{
    double seconds = closedSeconds;
    std::uint64_t intervals = closedIntervals;
    if (segmentSamples > 1)
    {
        seconds += segmentLast - segmentFirst;
        intervals += segmentSamples - 1;
    }
    return seconds > 0 ? static_cast<double>(intervals) / seconds : 0.0;
}

SampleReader::SampleReader(Quillmesh::Core::HostedFilter& filter, Units units)
    : _filter(filter), _units(units), _firstUtc(NaN), _firstTime(NaN)
{
}

SampleReader::~SampleReader() = default;

void SampleReader::setPods(const std::vector<unsigned>& serials)
{
    std::vector<PodState> pods;
    std::vector<Taps*> active;
    for (unsigned serial : serials)
    {
        auto known =
            std::find_if(_pods.begin(), _pods.end(), [serial](const PodState& p) { return p.serial == serial; });
        if (known != _pods.end())
            pods.push_back(*known);
        else
        {
            PodState pod;
            pod.serial = serial;
            pod.latest.serial = serial;
            pods.push_back(pod);
        }
        std::unique_ptr<Taps>& taps = _taps[serial];
        if (!taps)
        {
            taps = std::make_unique<Taps>();
            const std::string suffix = PinNames::suffix(serial);
            // Queues: each frame is taken once, however process() and collect() interleave.
            // Read by the thread that drives process(), between its calls.
            auto queue = [&](const char* name) {
                return &_filter.tap<RowMatrixXd>(name + suffix, QUEUE_DEPTH, false, true);
            };
            auto latest = [&](const char* name) { return &_filter.tap<RowMatrixXd>(name + suffix, 1, true, true); };
            for (int s = 0; s < 3; ++s)
            {
                taps->samples[s] = queue(PinNames::SAMPLES[s]);
                taps->gains[s] = latest(PinNames::GAINS[s]);
                taps->offsets[s] = latest(PinNames::OFFSETS[s]);
            }
            taps->frame = queue(PinNames::FRAME);
            taps->button = queue(PinNames::BUTTON);
            taps->battery = queue(PinNames::BATTERY);
        }
        if (_orientation) linkOrientation(*taps, serial);
        active.push_back(taps.get());
    }
    _pods = std::move(pods);
    _active = std::move(active);
}

void SampleReader::enableOrientation(const OrientationSettings& settings)
{
    if (!(settings.gain >= 0) || !std::isfinite(settings.gain))
    {
        char text[96];
        std::snprintf(text, sizeof text, "Orientation gain %g: a number above 0 (per second), or 0 for the default",
                      settings.gain);
        throw UsageError(text);
    }
    _orientation = true;
    _orientationSettings = settings;
    for (auto& entry : _taps)
        if (entry.second->orientation) linkOrientation(*entry.second, entry.first);
}

void SampleReader::linkOrientation(Taps& taps, unsigned serial)
{
    const std::string suffix = PinNames::suffix(serial);
    if (!taps.orientation)
    {
        taps.orientation = std::make_unique<HostedFilter>(PinNames::ORIENTATION_FILTER, "orientation" + suffix);
        Quillmesh::Core::Filter& filter = taps.orientation->getFilter();
        for (int s = 0; s < 3; ++s)
        {
            const char* names[3] = {PinNames::SAMPLES[s], PinNames::GAINS[s], PinNames::OFFSETS[s]};
            for (int k = 0; k < 3; ++k)
            {
                AbstractInputPin* input = filter.findInputPin(names[k]);
                // Fed and read by the thread that drives both filters: its buffer needs no lock.
                input->setIsSynchronous(true);
                taps.inputs[3 * s + k] = input;
            }
        }
        auto queue = [&](const char* name) {
            return &taps.orientation->tap<RowMatrixXd>(name, QUEUE_DEPTH, false, true);
        };
        taps.quaternion = queue(PinNames::QUATERNION);
        taps.angles = queue(PinNames::ROLL_PITCH_YAW);
        taps.sensors = queue(PinNames::ORIENTATION_MODE);
    }
    if (_orientationSettings.gain > 0)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", _orientationSettings.gain);
        taps.orientation->setProperty("Gain", text);
    }
    taps.orientation->setProperty("Mag On", _orientationSettings.magnetometer ? "1" : "0");

    // A pod that left the network and came back has new pins: its old links went with the old ones.
    Quillmesh::Core::Filter& source = _filter.getFilter();
    for (int s = 0; s < 3; ++s)
    {
        const char* names[3] = {PinNames::SAMPLES[s], PinNames::GAINS[s], PinNames::OFFSETS[s]};
        for (int k = 0; k < 3; ++k)
        {
            AbstractInputPin& input = *taps.inputs[3 * s + k];
            if (input.getAbstractSource()) continue;
            if (Quillmesh::Core::AbstractOutputPin* output = source.findOutputPin(names[k] + suffix))
                output->attach(input);
        }
    }
}

void SampleReader::takeOrientation(Taps& taps, double podTime, Sample& sample)
{
    // Not a number where there is none: a reader of the fields alone cannot mistake it for level.
    sample.qw = sample.qx = sample.qy = sample.qz = NaN;
    sample.roll = sample.pitch = sample.yaw = NaN;
    // Outputs of frames that were not read (dropped by a full queue) go; one of a later frame stays.
    while (const auto* data = taps.quaternion->getData())
    {
        if (data->time > podTime + SAME_TIME) return;
        const bool match = data->time >= podTime - SAME_TIME;
        double q[4], angles[3], sensors = 0;
        take(*taps.quaternion, q, 4);
        take(*taps.angles, angles, 3);
        take(*taps.sensors, &sensors, 1);
        if (!match) continue;
        sample.hasOrientation = true;
        sample.qw = q[0];
        sample.qx = q[1];
        sample.qy = q[2];
        sample.qz = q[3];
        sample.roll = angles[0];
        sample.pitch = angles[1];
        sample.yaw = angles[2];
        sample.orientationSensors = static_cast<std::uint8_t>(sensors);
        return;
    }
}

void SampleReader::transmissionStarted(double runSeconds)
{
    // What is left of the last transmission has later times than the new one's first frames.
    for (Taps* taps : _active)
    {
        if (!taps->orientation) continue;
        taps->orientation->process();
        for (InputPin<RowMatrixXd>* probe : {taps->quaternion, taps->angles, taps->sensors})
            while (probe->getData()) probe->release();
    }
    _offset = std::max(runSeconds, _lastTime);
    for (PodState& pod : _pods)
    {
        if (pod.segmentSamples > 1)
        {
            pod.closedSeconds += pod.segmentLast - pod.segmentFirst;
            pod.closedIntervals += pod.segmentSamples - 1;
        }
        pod.segmentSamples = 0;
    }
}

void SampleReader::refreshCalibration()
{
    for (std::size_t i = 0; i < _pods.size(); ++i) refreshCalibration(*_active[i], _pods[i]);
}

void SampleReader::refreshCalibration(Taps& taps, PodState& pod)
{
    bool changed = false;
    for (int s = 0; s < 3; ++s)
    {
        SensorCalibration& c = pod.calibration[s];
        changed = take(*taps.gains[s], c.gain, 9) || changed;
        changed = take(*taps.offsets[s], c.offset, 3) || changed;
    }
    if (!changed) return;
    pod.calibrationKnown = true;
    pod.calibrationUsable = pod.calibration[0].usable() && pod.calibration[1].usable() && pod.calibration[2].usable();
}

bool SampleReader::takeOne(Taps& taps, PodState& pod, Sample& sample)
{
    double frame[3];
    double podTime = 0;
    if (!take(*taps.frame, frame, 3, &podTime)) return false;
    double raw[3][3];
    for (int s = 0; s < 3; ++s) take(*taps.samples[s], raw[s], 3);
    double button = 0;
    take(*taps.button, &button, 1);
    take(*taps.battery, &sample.battery, 1);
    // The filter republishes the calibration with every frame; it changes only by a command
    // or an input pin, so a look every few frames keeps up without paying on each.
    if (pod.segmentSamples % CALIBRATION_EVERY == 0 || !pod.calibrationKnown) refreshCalibration(taps, pod);

    sample.serial = pod.serial;
    sample.time = _offset + podTime;
    sample.frame = static_cast<std::int64_t>(frame[0]);
    sample.loss = frame[1];
    sample.button = button != 0 ? 1 : 0;
    for (int s = 0; s < 3; ++s)
    {
        double v[3];
        if (_units == Units::Raw)
            std::copy(raw[s], raw[s] + 3, v);
        else if (pod.calibrationUsable)
            pod.calibration[s].apply(raw[s], v);
        else
            v[0] = v[1] = v[2] = NaN;
        setSensor(sample, s, v);
    }
    if (taps.orientation) takeOrientation(taps, podTime, sample);

    pod.frequency = frame[2];
    if (pod.segmentSamples++ == 0) pod.segmentFirst = sample.time;
    pod.segmentLast = sample.time;
    ++pod.samples;
    pod.latest = sample;
    _lastTime = std::max(_lastTime, sample.time);
    if (std::isnan(_firstUtc))
    {
        _firstUtc = static_cast<double>(Poco::Timestamp().epochMicroseconds()) * 1e-6;
        _firstTime = sample.time;
    }
    return true;
}

std::size_t SampleReader::collect(std::vector<Sample>& out, std::size_t limit)
{
    // The pods' samples come out in time order: each pod's next frame is looked at once, and
    // the earliest goes first, so nobody has to sort them afterwards.
    const std::size_t count = _pods.size();
    for (std::size_t i = 0; i < count && _orientation; ++i)
    {
        Taps& taps = *_active[i];
        if (!taps.orientation || !taps.inputs[0]->getAbstractSource()) linkOrientation(taps, _pods[i].serial);
        // Everything this pod's frames brought since the last call, before they are read.
        taps.orientation->process();
    }
    _next.resize(count);
    for (std::size_t i = 0; i < count; ++i) _next[i] = peek(*_active[i]);
    std::size_t taken = 0;
    while (taken < limit)
    {
        std::size_t earliest = count;
        for (std::size_t i = 0; i < count; ++i)
            if (!std::isnan(_next[i]) && (earliest == count || _next[i] < _next[earliest])) earliest = i;
        if (earliest == count) break;
        // Written where it stays: the caller's vector is what numpy or the CSV writer reads.
        out.emplace_back();
        if (!takeOne(*_active[earliest], _pods[earliest], out.back()))
        {
            out.pop_back();
            break;
        }
        ++taken;
        _next[earliest] = peek(*_active[earliest]);
    }
    return taken;
}

double SampleReader::peek(Taps& taps)
{
    // Held, not let go: takeOne() takes this same value.
    if (!taps.frame->hasData()) return NaN;
    const auto* data = taps.frame->getData();
    return data ? data->time : NaN;
}

} // namespace Drfn3
