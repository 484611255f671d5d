// _drfn3: the compiled half of the drfn3 package. It drives the module through the same
// host-side layer as the drfn3 command (Drfn3::Host, Drfn3::SampleReader); the Python half
// (drfn3/__init__.py) shapes what it returns.

#include <Drfn3/Discovery.h>
#include <Drfn3/Host.h>
#include <Drfn3/MultiSession.h>
#include <Drfn3/PodCalibration.h>
#include <Drfn3/Sample.h>
#include <Drfn3/SampleReader.h>
#include <Drfn3/Settings.h>

#include <Poco/Exception.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/Interrupt.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Simulator.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace py = pybind11;

/// The same record under a second dtype that names the orientation fields too: numpy sees one
/// or the other, the bytes are the same.
struct OrientedSample : Drfn3::Sample
{};
static_assert(sizeof(OrientedSample) == sizeof(Drfn3::Sample), "one record, two dtypes");

namespace {

using Clock = std::chrono::steady_clock;

/// A process() that took longer than this waited for its frame: nothing more was buffered.
constexpr std::chrono::microseconds CAUGHT_UP(50);
/// Frames that gather in the port's buffer before the next burst of reads (well within it),
/// and the longest such pause, which is what read() may add to latency.
constexpr double GATHER_FRAMES = 96;
/// Cycles between two looks at the pins, well within the probes' queues.
constexpr std::size_t COLLECT_EVERY = 64;
constexpr double GATHER_LONGEST = 0.05;

/// Raises KeyboardInterrupt (or what a signal handler raised) in the reading thread.
void checkSignals()
{
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

/// Lets Ctrl-C stop long device work done with the interpreter lock released: the library
/// polls the interpreter's signals, and the KeyboardInterrupt is raised once the filter's
/// clean-up has put pods and controller back on channel 0.
class PythonInterrupt
{
public:
    PythonInterrupt() : _scope([this] { return check(); }) {}

    /// Runs work; after an interrupt the KeyboardInterrupt (or what a signal handler raised)
    /// leaves instead of the library's own exception.
    template <typename Work>
    void run(Work work)
    {
        try
        {
            work();
        }
        catch (...)
        {
            if (_error) throw std::move(*_error);
            throw;
        }
        if (_error) throw std::move(*_error);
    }

private:
    bool check()
    {
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() == 0) return false;
        _error = std::make_unique<py::error_already_set>();
        return true;
    }

    std::unique_ptr<py::error_already_set> _error;
    Tarnlink::InterruptScope _scope;
};

py::array_t<double> matrix(const double* values, py::ssize_t rows, py::ssize_t cols)
{
    py::array_t<double> a({rows, cols});
    std::copy(values, values + rows * cols, a.mutable_data());
    return a;
}

// A Host loads the module for itself and unloads it when it goes, taking every filter of
// the module with it: two at once would pull the filter out from under each other.
std::mutex hostsMutex;
bool hostOpen = false;

class Network
{
public:
    Network(const std::string& module, const std::string& log, bool raw, bool orientation, double orientationGain,
            bool magnetometer)
        : _orientation(orientation)
    {
        Drfn3::Settings settings;
        settings.module = module;
        settings.log = log;
        // Scripts say what they want; drfn3's saved settings are neither read nor changed.
        settings.ephemeral = true;
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(hostsMutex);
        if (hostOpen)
            throw Poco::IllegalStateException("Another drfn3 network is open in this process: close it first");
        _host = std::make_unique<Drfn3::Host>(settings);
        _reader =
            std::make_unique<Drfn3::SampleReader>(_host->filter(), raw ? Drfn3::Units::Raw : Drfn3::Units::Calibrated);
        if (orientation) _reader->enableOrientation({orientationGain, magnetometer});
        hostOpen = true;
    }

    ~Network()
    {
        try
        {
            release();
        }
        catch (...)
        {
        }
    }

    /// Transmission off, channels back to 0, controller closed, module unloaded.
    void close()
    {
        py::gil_scoped_release unlocked;
        release();
    }

    std::string get(const std::string& name)
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        return host().get(name);
    }

    void set(const std::string& name, const std::string& text)
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        host().set(name, text);
    }

    py::list describe()
    {
        std::vector<Quillmesh::Core::PropertyDescription> properties;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(_mutex);
            properties = host().filter().listProperties();
        }
        py::list out;
        for (const auto& p : properties)
            out.append(py::make_tuple(p.name, p.kind, p.value, p.details, p.isWritable, p.isPersistent));
        return out;
    }

    std::vector<unsigned> serials()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        return host().serials();
    }

    void connect()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        PythonInterrupt interrupt;
        interrupt.run([this] { host().connect(); });
    }

    void start()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        startLocked();
    }

    void stop()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        if (host().connected() && host().transmitting()) host().set("transmission", "0");
    }

    bool connected()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        return _host && host().connected();
    }

    bool transmitting()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        return _host && host().connected() && host().transmitting();
    }

    /// Samples in time order (SAMPLE_DTYPE, or ORIENTATION_SAMPLE_DTYPE with the
    /// orientation). n < 0: no count; seconds < 0: no time limit; neither: at least one
    /// sample, then until a cycle brings nothing or 50 ms have passed.
    py::array read(long n, double seconds)
    {
        // Handed to numpy as they are: the array takes the vector over, nothing is copied.
        auto owned = std::make_unique<std::vector<Drfn3::Sample>>();
        std::vector<Drfn3::Sample>& samples = *owned;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(_mutex);
            if (!host().transmitting()) startLocked();
            const Clock::time_point start = Clock::now();
            Clock::time_point nextCheck = start, firstAt;
            const std::size_t wanted = n < 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(n);
            // Cycles since the samples were last taken off the pins: taken every few cycles,
            // each pod is asked once for all its frames instead of once per frame.
            std::size_t cycles = 0;
            for (;;)
            {
                if (samples.size() >= wanted) break;
                const Clock::time_point now = Clock::now();
                if (seconds >= 0 && now - start >= std::chrono::duration<double>(seconds)) break;
                if (now >= nextCheck)
                {
                    checkSignals();
                    nextCheck = now + std::chrono::milliseconds(50);
                }
                host().filter().process();
                const bool waited = Clock::now() - now > CAUGHT_UP;
                if (!host().connected()) throw Poco::IOException("The controller stopped answering and was closed");
                // A cycle publishes one frame at most.
                if (!waited && ++cycles < COLLECT_EVERY && samples.size() + cycles < wanted) continue;
                cycles = 0;
                const std::size_t taken = _reader->collect(samples, wanted - samples.size());
                if (n < 0 && seconds < 0 && !samples.empty())
                {
                    // A steady stream never runs dry: "what is waiting" ends a moment after the first sample.
                    if (firstAt == Clock::time_point()) firstAt = Clock::now();
                    if (taken == 0 || Clock::now() - firstAt >= std::chrono::milliseconds(50)) break;
                }
                // Caught up with the controller: frames gather for a moment and are then read
                // in one go, instead of one wake-up of this thread per frame.
                if (waited && samples.size() < wanted) std::this_thread::sleep_for(_gather);
            }
            _reader->collect(samples, wanted - samples.size());
            // Each collect gives its samples in time order; two in a row only overlap when a
            // pod's clock ran behind the others'.
            const auto earlier = [](const Drfn3::Sample& a, const Drfn3::Sample& b) { return a.time < b.time; };
            if (!std::is_sorted(samples.begin(), samples.end(), earlier))
                std::stable_sort(samples.begin(), samples.end(), earlier);
        }
        const py::ssize_t size = static_cast<py::ssize_t>(samples.size());
        Drfn3::Sample* data = samples.data();
        py::capsule keeper(owned.release(), [](void* p) { delete static_cast<std::vector<Drfn3::Sample>*>(p); });
        const py::dtype type = _orientation ? py::dtype::of<OrientedSample>() : py::dtype::of<Drfn3::Sample>();
        return py::array(type, {size}, {static_cast<py::ssize_t>(sizeof(Drfn3::Sample))}, data, keeper);
    }

    py::dict stats()
    {
        std::vector<Drfn3::PodState> pods;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(_mutex);
            if (_reader) pods = _reader->pods();
        }
        py::dict out;
        for (const Drfn3::PodState& s : pods)
        {
            py::dict pod;
            pod["samples"] = s.samples;
            pod["rate"] = s.rate();
            pod["loss"] = s.latest.loss;
            pod["battery"] = s.latest.battery;
            pod["frequency"] = s.frequency;
            pod["calibrated"] = s.calibrationUsable;
            out[py::int_(s.serial)] = pod;
        }
        return out;
    }

    /// UTC of the first sample in seconds since 1970 and that sample's time; NaN before.
    std::pair<double, double> anchor()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_reader) return {std::nan(""), std::nan("")};
        return {_reader->firstSampleUtc(), _reader->firstSampleTime()};
    }

    /// {serial: {"acc"|"mag"|"gyr": {"gain": 3x3, "offset": 3x1}}} as the pods hold it.
    py::dict readCalibration()
    {
        std::vector<Drfn3::PodCalibration> pods;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(_mutex);
            refuseWhileStreaming("read");
            PythonInterrupt interrupt;
            interrupt.run([this, &pods] { pods = Drfn3::readCalibration(host(), *_reader); });
        }
        py::dict out;
        for (const Drfn3::PodCalibration& pod : pods)
        {
            py::dict sensors;
            for (int s = 0; s < 3; ++s)
            {
                py::dict values;
                values["gain"] = matrix(pod.sensors[s].gain, 3, 3);
                values["offset"] = matrix(pod.sensors[s].offset, 3, 1);
                sensors[Drfn3::sensorName(s)] = values;
            }
            out[py::int_(pod.serial)] = sensors;
        }
        return out;
    }

    /// Each (serial, sensor 0-2, is gain, matrix) is checked, then committed; what was not
    /// given keeps the pod's value.
    void writeCalibration(
        const std::vector<
            std::tuple<unsigned, int, bool, py::array_t<double, py::array::c_style | py::array::forcecast>>>& entries)
    {
        std::vector<Drfn3::CalibrationMatrix> matrices;
        for (const auto& entry : entries)
        {
            const auto& a = std::get<3>(entry);
            Drfn3::CalibrationMatrix m;
            m.serial = std::get<0>(entry);
            m.sensor = std::get<1>(entry);
            m.gain = std::get<2>(entry);
            m.rows = a.ndim() >= 1 ? static_cast<std::size_t>(a.shape(0)) : 0;
            m.cols = a.ndim() == 2 ? static_cast<std::size_t>(a.shape(1)) : a.ndim() == 1 ? 1 : 0;
            if (a.ndim() > 2) m.rows = m.cols = 0;
            m.values.assign(a.data(), a.data() + a.size());
            matrices.push_back(m);
        }
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        refuseWhileStreaming("write");
        PythonInterrupt interrupt;
        interrupt.run([this, &matrices] { Drfn3::writeCalibration(host(), *_reader, matrices); });
    }

private:
    void release()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_host) return;
        // Probes die with the filter; the module goes with the host, even when the controller will not stop.
        struct Release
        {
            std::unique_ptr<Drfn3::SampleReader>& reader;
            std::unique_ptr<Drfn3::Host>& host;
            ~Release()
            {
                reader.reset();
                host.reset();
                std::lock_guard<std::mutex> hosts(hostsMutex);
                hostOpen = false;
            }
        } going{_reader, _host};
        _host->disconnect();
    }

    Drfn3::Host& host()
    {
        if (!_host) throw Poco::IllegalStateException("The network is closed");
        return *_host;
    }

    void refuseWhileStreaming(const std::string& what)
    {
        if (host().connected() && host().transmitting())
            throw Poco::NoPermissionException("Stop transmission first (stop()): the pods' calibration cannot be " +
                                              what + " while they stream");
    }

    void startLocked()
    {
        // Probes go on before transmission so that no frame passes unseen.
        _reader->setPods(host().serials());
        PythonInterrupt interrupt;
        interrupt.run([this] { host().set("transmission", "1"); });
        // A wake-up of this thread costs more than the frames it reads: let a few gather.
        const double framesPerSecond =
            std::max(1.0, std::atof(host().get("Frequency").c_str()) * static_cast<double>(_reader->pods().size()));
        _gather = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::min(GATHER_LONGEST, GATHER_FRAMES / framesPerSecond)));
        _reader->transmissionStarted(_started ? std::chrono::duration<double>(Clock::now() - _firstStart).count()
                                              : 0.0);
        if (!_started) _firstStart = Clock::now();
        _started = true;
    }

    const bool _orientation;
    std::mutex _mutex;
    std::unique_ptr<Drfn3::Host> _host;
    std::unique_ptr<Drfn3::SampleReader> _reader;
    bool _started = false;
    Clock::time_point _firstStart;
    Clock::duration _gather = std::chrono::milliseconds(5);
};

/// Several controllers streaming together on one time base (Drfn3::MultiSession). Its
/// properties are those of every controller's filter at once: read from the first, set on all.
class MultiNetwork
{
public:
    using Entry = std::pair<std::string, std::vector<unsigned>>;

    /// An entry without a place: its pods are looked for on every controller present.
    MultiNetwork(const std::string& module, const std::string& log, bool raw, bool orientation, double orientationGain,
                 bool magnetometer, const std::vector<Entry>& controllers)
    {
        Drfn3::Settings settings;
        settings.module = module;
        settings.log = log;
        settings.ephemeral = true;
        std::vector<Drfn3::ControllerPods> list;
        for (const Entry& entry : controllers) list.push_back(Drfn3::ControllerPods{entry.first, entry.second});
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(hostsMutex);
        if (hostOpen)
            throw Poco::IllegalStateException("Another drfn3 network is open in this process: close it first");
        if (list.size() == 1 && list.front().where.empty())
        {
            PythonInterrupt interrupt;
            interrupt.run([&] { list = Drfn3::findPods(settings, list.front().pods); });
        }
        _session =
            std::make_unique<Drfn3::MultiSession>(settings, list, raw ? Drfn3::Units::Raw : Drfn3::Units::Calibrated);
        if (orientation) _session->enableOrientation({orientationGain, magnetometer});
        _oriented = orientation;
        hostOpen = true;
    }

    ~MultiNetwork()
    {
        try
        {
            release();
        }
        catch (...)
        {
        }
    }

    void close()
    {
        py::gil_scoped_release unlocked;
        release();
    }

    std::string get(const std::string& name)
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        return session().host(0).get(name);
    }

    void set(const std::string& name, const std::string& text)
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        if (name == "serial" || name == "Ctrl Port")
            throw Poco::NoPermissionException(name + " is given per controller when several stream together");
        for (std::size_t c = 0; c < session().size(); ++c) session().host(c).set(name, text);
    }

    py::list describe()
    {
        std::vector<Quillmesh::Core::PropertyDescription> properties;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(_mutex);
            properties = session().host(0).filter().listProperties();
        }
        py::list out;
        for (const auto& p : properties)
            out.append(py::make_tuple(p.name, p.kind, p.value, p.details, p.isWritable, p.isPersistent));
        return out;
    }

    std::vector<unsigned> serials()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        std::vector<unsigned> all;
        for (const Drfn3::PodState& pod : session().pods()) all.push_back(pod.serial);
        return all;
    }

    void start()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        startLocked();
    }

    /// Every controller stopped and closed; the samples still held are kept for the next read().
    void stop()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_streaming) return;
        _streaming = false;
        session().stop();
        session().flush(_pending);
    }

    bool connected()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        return _session && _streaming && anyStreaming();
    }

    bool transmitting() { return connected(); }

    /// As Network::read: samples of every controller merged in time order.
    py::array read(long n, double seconds)
    {
        auto owned = std::make_unique<std::vector<Drfn3::Sample>>();
        std::vector<Drfn3::Sample>& samples = *owned;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(_mutex);
            if (!_streaming) startLocked();
            const std::size_t wanted = n < 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(n);
            samples.swap(_pending);
            const Clock::time_point start = Clock::now();
            Clock::time_point nextCheck = start, firstAt;
            while (samples.size() < wanted)
            {
                const Clock::time_point now = Clock::now();
                if (seconds >= 0 && now - start >= std::chrono::duration<double>(seconds)) break;
                if (now >= nextCheck)
                {
                    checkSignals();
                    nextCheck = now + std::chrono::milliseconds(50);
                }
                const std::size_t taken = session().cycle(samples);
                if (!anyStreaming()) throw Poco::IOException("Every controller stopped answering and was closed");
                if (n < 0 && seconds < 0 && !samples.empty())
                {
                    if (firstAt == Clock::time_point()) firstAt = Clock::now();
                    if (taken == 0 || Clock::now() - firstAt >= std::chrono::milliseconds(50)) break;
                }
            }
            // A cycle may bring more than asked for: the rest opens the next read.
            if (samples.size() > wanted)
            {
                _pending.assign(samples.begin() + static_cast<std::ptrdiff_t>(wanted), samples.end());
                samples.resize(wanted);
            }
            if (std::isnan(_firstTime) && !samples.empty()) _firstTime = samples.front().time;
        }
        const py::ssize_t size = static_cast<py::ssize_t>(samples.size());
        Drfn3::Sample* data = samples.data();
        py::capsule keeper(owned.release(), [](void* p) { delete static_cast<std::vector<Drfn3::Sample>*>(p); });
        const py::dtype type = _oriented ? py::dtype::of<OrientedSample>() : py::dtype::of<Drfn3::Sample>();
        return py::array(type, {size}, {static_cast<py::ssize_t>(sizeof(Drfn3::Sample))}, data, keeper);
    }

    /// As Network::stats, with the place of each pod's controller.
    py::dict stats()
    {
        std::vector<Drfn3::PodState> pods;
        std::vector<std::string> places;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(_mutex);
            if (_session)
            {
                pods = _session->pods();
                for (const Drfn3::PodState& pod : pods)
                    places.push_back(_session->where(_session->controllerOf(pod.serial)));
            }
        }
        py::dict out;
        for (std::size_t i = 0; i < pods.size(); ++i)
        {
            const Drfn3::PodState& s = pods[i];
            py::dict pod;
            pod["samples"] = s.samples;
            pod["rate"] = s.rate();
            pod["loss"] = s.latest.loss;
            pod["battery"] = s.latest.battery;
            pod["frequency"] = s.frequency;
            pod["calibrated"] = s.calibrationUsable;
            pod["controller"] = places[i];
            out[py::int_(s.serial)] = pod;
        }
        return out;
    }

    /// The session's time 0 on the wall clock makes the first sample's UTC.
    std::pair<double, double> anchor()
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        if (std::isnan(_firstTime)) return {std::nan(""), std::nan("")};
        return {_utcOrigin + _firstTime, _firstTime};
    }

private:
    Drfn3::MultiSession& session()
    {
        if (!_session) throw Poco::IllegalStateException("The network is closed");
        return *_session;
    }

    bool anyStreaming()
    {
        for (std::size_t c = 0; c < _session->size(); ++c)
            if (!_session->lost(c)) return true;
        return false;
    }

    void startLocked()
    {
        PythonInterrupt interrupt;
        interrupt.run([this] { session().start(); });
        _utcOrigin = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
                     session().now();
        _streaming = true;
    }

    void release()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_session) return;
        struct Release
        {
            std::unique_ptr<Drfn3::MultiSession>& session;
            ~Release()
            {
                session.reset();
                std::lock_guard<std::mutex> hosts(hostsMutex);
                hostOpen = false;
            }
        } going{_session};
        _streaming = false;
        _session->stop();
    }

    bool _oriented = false;
    std::mutex _mutex;
    std::unique_ptr<Drfn3::MultiSession> _session;
    std::vector<Drfn3::Sample> _pending;
    bool _streaming = false;
    double _utcOrigin = 0;
    double _firstTime = std::nan("");
};

/// The simulator served on a pseudo-terminal in this process.
class Simulator
{
public:
    Simulator(unsigned generation, const std::vector<unsigned>& pods, double rate,
              const std::map<std::string, double>& faults, const std::vector<unsigned>& busyChannels,
              std::uint32_t seed, bool record, bool instant)
        : _sim(generation == 1 ? Tarnlink::Sim::Generation::First : Tarnlink::Sim::Generation::Second, seed)
    {
        if (generation != 1 && generation != 2) throw Poco::InvalidArgumentException("generation must be 1 or 2");
        auto guard = _sim.lock();
        for (unsigned serial : pods) _sim.addPod(serial);
        Tarnlink::Sim::Faults& f = _sim.faults();
        const std::map<std::string, double*> known = {{"corrupt_byte", &f.corruptByte},
                                                      {"drop_byte", &f.dropByte},
                                                      {"garbage", &f.garbage},
                                                      {"wrong_echo", &f.wrongEcho},
                                                      {"controller_timeout", &f.controllerTimeout},
                                                      {"drop_frame", &f.dropFrame}};
        for (const auto& fault : faults)
        {
            const auto at = known.find(fault.first);
            if (at == known.end()) throw Poco::InvalidArgumentException("Unknown fault " + fault.first);
            if (!(fault.second >= 0.0 && fault.second <= 1.0))
                throw Poco::InvalidArgumentException("Fault " + fault.first + ": a probability from 0 to 1");
            *at->second = fault.second;
        }
        for (unsigned channel : busyChannels)
        {
            if (channel > 31)
                throw Poco::InvalidArgumentException("Busy channel " + std::to_string(channel) + ": 0 to 31");
            _sim.setBusyChannel(channel);
        }
        if (rate > 0) _sim.setOfferedRate(rate);
        _sim.setInstant(instant);
        // A long run would keep every frame in memory otherwise.
        _sim.recorder().setRecordStreams(record);
        _server = std::make_unique<Tarnlink::Sim::PtyServer>(_sim);
    }

    ~Simulator() { _server.reset(); }

    void start()
    {
        py::gil_scoped_release release;
        if (!_server->running()) _server->start();
    }
    void stop()
    {
        py::gil_scoped_release release;
        _server->stop();
    }
    bool running() const { return _server->running(); }
    std::string port() const { return _server->stablePath(); }

    std::vector<unsigned> pods()
    {
        auto guard = _sim.lock();
        std::vector<unsigned> serials;
        for (Tarnlink::Sim::Pod* pod : _sim.pods()) serials.push_back(pod->serial());
        return serials;
    }

    /// Channel indices of the controller (key "controller") and of each pod.
    py::dict channels()
    {
        py::dict out;
        auto guard = _sim.lock();
        out["controller"] = Tarnlink::Controller::channelIndex(_sim.controller().channelCode());
        for (Tarnlink::Sim::Pod* pod : _sim.pods())
            out[py::int_(pod->serial())] = Tarnlink::Controller::channelIndex(pod->channelCode());
        return out;
    }

    bool transmitting()
    {
        auto guard = _sim.lock();
        return _sim.controller().state() == Tarnlink::Sim::ControllerState::Transmission;
    }

    /// The calibration a pod holds in its EEPROM's working area: {"acc"|"mag"|"gyr": {"gain", "offset"}}.
    py::dict calibration(unsigned serial)
    {
        py::dict out;
        auto guard = _sim.lock();
        Tarnlink::Sim::Pod* pod = _sim.pod(serial);
        if (!pod) throw Poco::NotFoundException("The simulator has no pod " + Drfn3::hex(serial));
        for (unsigned s = 0; s < 3; ++s)
        {
            const std::array<double, 9> g = pod->calibrationGain(s);
            const std::array<double, 3> o = pod->calibrationOffset(s);
            py::dict values;
            values["gain"] = matrix(g.data(), 3, 3);
            values["offset"] = matrix(o.data(), 3, 1);
            out[Drfn3::sensorName(static_cast<int>(s))] = values;
        }
        return out;
    }

    /// The frames a pod sent since recording began: frame number, the nine sensor values,
    /// status byte. Frames lost on the radio are left out.
    py::array_t<double> frames(unsigned serial)
    {
        std::vector<double> rows;
        {
            auto guard = _sim.lock();
            if (!_sim.recorder().recordStreams())
                throw Poco::IllegalStateException("The simulator was made with record=False");
            for (const Tarnlink::Sim::Record& r : _sim.recorder().records())
            {
                // Marker (4 bytes) and frame id, then the body.
                if (r.kind != Tarnlink::Sim::Record::Frame || r.serial != serial || r.bytes.size() < 5 + 16) continue;
                const std::string body = r.bytes.substr(5);
                auto s16 = [&body](std::size_t at) {
                    return static_cast<double>(static_cast<std::int16_t>((static_cast<std::uint8_t>(body[at]) << 8) |
                                                                         static_cast<std::uint8_t>(body[at + 1])));
                };
                rows.push_back(r.value);
                for (std::size_t k = 0; k < 9; ++k)
                    rows.push_back(3 + 2 * k + 1 < body.size() - 1 ? s16(3 + 2 * k) : 0.0);
                rows.push_back(static_cast<std::uint8_t>(body.back()));
            }
        }
        py::array_t<double> out({static_cast<py::ssize_t>(rows.size() / 11), static_cast<py::ssize_t>(11)});
        std::copy(rows.begin(), rows.end(), out.mutable_data());
        return out;
    }

    void clearRecord()
    {
        auto guard = _sim.lock();
        _sim.recorder().clear();
    }

private:
    Tarnlink::Sim::Simulator _sim;
    std::unique_ptr<Tarnlink::Sim::PtyServer> _server;
};

/// The text a person would see: the exception's own message when it has one.
std::string messageOf(const Poco::Exception& e)
{
    return e.message().empty() ? e.displayText() : e.message();
}

PyObject* newError(py::module_& m, const char* name, std::initializer_list<PyObject*> bases, const char* doc)
{
    py::tuple tuple(bases.size());
    std::size_t i = 0;
    for (PyObject* base : bases) tuple[i++] = py::reinterpret_borrow<py::object>(base);
    const std::string qualified = std::string("drfn3.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, tuple.ptr(), nullptr);
    if (!type) throw py::error_already_set();
    m.add_object(name, py::handle(type));
    return type;
}

} // namespace

PYBIND11_MODULE(_drfn3, m)
{
    m.doc() = "Compiled part of drfn3; use the drfn3 package.";

    // Each kind is also the built-in exception a Python caller would catch for it.
    static PyObject* error =
        newError(m, "Error", {PyExc_RuntimeError}, "Base of every error the drfn3 package raises.");
    static PyObject* invalid = newError(m, "InvalidValueError", {error, PyExc_ValueError},
                                        "A value was refused before anything was sent to the devices.");
    static PyObject* notFound =
        newError(m, "NotFoundError", {error, PyExc_LookupError}, "No such controller, pod, property, pin or file.");
    static PyObject* notAllowed = newError(m, "NotAllowedError", {error},
                                           "Not possible in the current state (connect or stop transmission first).");
    static PyObject* device = newError(m, "DeviceError", {error, PyExc_OSError},
                                       "The controller or a pod did not do what was asked, or went away.");
    // The kind a Python caller catches for each exception of the library; a cause keeps its own.
    static PyObject* (*const kindOf)(const Poco::Exception&) = [](const Poco::Exception& e) -> PyObject* {
        if (dynamic_cast<const Poco::NotFoundException*>(&e) || dynamic_cast<const Poco::FileNotFoundException*>(&e))
            return notFound;
        if (dynamic_cast<const Poco::NoPermissionException*>(&e)) return notAllowed;
        if (dynamic_cast<const Poco::InvalidArgumentException*>(&e) || dynamic_cast<const Poco::RangeException*>(&e) ||
            dynamic_cast<const Poco::DataException*>(&e) || dynamic_cast<const Poco::ExistsException*>(&e))
            return invalid;
        if (dynamic_cast<const Poco::IOException*>(&e)) return device;
        return error;
    };
    py::register_exception_translator([](std::exception_ptr p) {
        try
        {
            if (p) std::rethrow_exception(p);
        }
        catch (const Poco::Exception& e)
        {
            // Innermost first, so that each one is raised from the one it wraps: __cause__.
            std::vector<const Poco::Exception*> chain;
            for (const Poco::Exception* c = &e; c; c = c->nested()) chain.push_back(c);
            PyErr_SetString(kindOf(*chain.back()), messageOf(*chain.back()).c_str());
            for (auto c = chain.rbegin() + 1; c != chain.rend(); ++c)
                py::raise_from(kindOf(**c), messageOf(**c).c_str());
        }
        catch (const Drfn3::UsageError& e)
        {
            PyErr_SetString(invalid, e.what());
        }
    });

    // Field names carry the units; raw counts get their names in the Python half.
    PYBIND11_NUMPY_DTYPE_EX(Drfn3::Sample, time, "time_s", serial, "serial", ax, "ax_m_s2", ay, "ay_m_s2", az,
                            "az_m_s2", mx, "mx_uT", my, "my_uT", mz, "mz_uT", gx, "gx_rad_s", gy, "gy_rad_s", gz,
                            "gz_rad_s", frame, "frame", loss, "loss", battery, "battery_pct", button, "button");
    m.attr("SAMPLE_DTYPE") = py::dtype::of<Drfn3::Sample>();
    PYBIND11_NUMPY_DTYPE_EX(OrientedSample, time, "time_s", serial, "serial", ax, "ax_m_s2", ay, "ay_m_s2", az,
                            "az_m_s2", mx, "mx_uT", my, "my_uT", mz, "mz_uT", gx, "gx_rad_s", gy, "gy_rad_s", gz,
                            "gz_rad_s", frame, "frame", loss, "loss", battery, "battery_pct", button, "button", qw,
                            "qw", qx, "qx", qy, "qy", qz, "qz", roll, "roll_deg", pitch, "pitch_deg", yaw, "yaw_deg",
                            orientationSensors, "orientation_sensors");
    m.attr("ORIENTATION_SAMPLE_DTYPE") = py::dtype::of<OrientedSample>();

    m.def("controllers", [] {
        std::vector<Drfn3::ControllerReport> reports;
        {
            py::gil_scoped_release release;
            reports = Drfn3::surveyControllers();
        }
        py::list out;
        for (const auto& r : reports) out.append(py::make_tuple(r.generation, r.where, r.usable, r.details));
        return out;
    });

    py::class_<Network>(m, "Network")
        .def(py::init<const std::string&, const std::string&, bool, bool, double, bool>(), py::arg("module"),
             py::arg("log"), py::arg("raw"), py::arg("orientation"), py::arg("orientation_gain"),
             py::arg("magnetometer"))
        .def("get", &Network::get)
        .def("set", &Network::set)
        .def("describe", &Network::describe)
        .def("serials", &Network::serials)
        .def("connect", &Network::connect)
        .def("start", &Network::start)
        .def("stop", &Network::stop)
        .def("close", &Network::close)
        .def("connected", &Network::connected)
        .def("transmitting", &Network::transmitting)
        .def("read", &Network::read, py::arg("n"), py::arg("seconds"))
        .def("stats", &Network::stats)
        .def("anchor", &Network::anchor)
        .def("read_calibration", &Network::readCalibration)
        .def("write_calibration", &Network::writeCalibration);

    py::class_<MultiNetwork>(m, "MultiNetwork")
        .def(py::init<const std::string&, const std::string&, bool, bool, double, bool,
                      const std::vector<MultiNetwork::Entry>&>(),
             py::arg("module"), py::arg("log"), py::arg("raw"), py::arg("orientation"), py::arg("orientation_gain"),
             py::arg("magnetometer"), py::arg("controllers"))
        .def("get", &MultiNetwork::get)
        .def("set", &MultiNetwork::set)
        .def("describe", &MultiNetwork::describe)
        .def("serials", &MultiNetwork::serials)
        .def("start", &MultiNetwork::start)
        .def("stop", &MultiNetwork::stop)
        .def("close", &MultiNetwork::close)
        .def("connected", &MultiNetwork::connected)
        .def("transmitting", &MultiNetwork::transmitting)
        .def("read", &MultiNetwork::read, py::arg("n"), py::arg("seconds"))
        .def("stats", &MultiNetwork::stats)
        .def("anchor", &MultiNetwork::anchor);

    py::class_<Simulator>(m, "Simulator")
        .def(py::init<unsigned, const std::vector<unsigned>&, double, const std::map<std::string, double>&,
                      const std::vector<unsigned>&, std::uint32_t, bool, bool>(),
             py::arg("generation"), py::arg("pods"), py::arg("rate"), py::arg("faults"), py::arg("busy_channels"),
             py::arg("seed"), py::arg("record"), py::arg("instant"))
        .def("start", &Simulator::start)
        .def("stop", &Simulator::stop)
        .def("running", &Simulator::running)
        .def("port", &Simulator::port)
        .def("pods", &Simulator::pods)
        .def("channels", &Simulator::channels)
        .def("transmitting", &Simulator::transmitting)
        .def("calibration", &Simulator::calibration)
        .def("frames", &Simulator::frames)
        .def("clear_record", &Simulator::clearRecord);
}
