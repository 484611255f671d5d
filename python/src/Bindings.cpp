// _drfn3: the compiled half of the drfn3 package. It drives the same Host that the drfn3
// command uses; the Python half (drfn3/__init__.py) shapes what it returns.

#include "Common.h"
#include "Discovery.h"
#include "Host.h"

#include "Quillmesh/Core/InputPin.h"
#include "Quillmesh/Core/OutputPin.h"
#include "Quillmesh/Core/PinManager.h"

#include <Poco/Exception.h>
#include <Poco/Timestamp.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Simulator.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

namespace py = pybind11;

namespace {

using Clock = std::chrono::steady_clock;
using Quillmesh::Core::InputPin;
using Quillmesh::Core::RowMatrixXd;

/// Columns of a sample row, in the order of the package's dtype.
constexpr int COLUMNS = 15;

const char* const CALIBRATION_PINS[] = {"3aGain", "3aOff", "3mGain", "3mOff", "3gGain", "3gOff"};

/// One pod's probes, kept for the life of the filter (taps cannot be removed).
struct PodTaps
{
    InputPin<RowMatrixXd>* acc = nullptr;
    InputPin<RowMatrixXd>* mag = nullptr;
    InputPin<RowMatrixXd>* gyr = nullptr;
    InputPin<RowMatrixXd>* frame = nullptr;
    InputPin<RowMatrixXd>* button = nullptr;
    InputPin<RowMatrixXd>* battery = nullptr;
    std::map<std::string, InputPin<RowMatrixXd>*> calibration;
};

struct PodStats
{
    std::uint64_t samples = 0;
    double firstTime = 0;
    double lastTime = 0;
    double loss = 0;
    double frequency = 0;
    double battery = 0;
};

/// Copies a probe's oldest value into out and lets it go; false when it has none.
bool take(InputPin<RowMatrixXd>& pin, double* out, int count, double* time = nullptr)
{
    const auto* data = pin.getData();
    if (!data) return false;
    for (int i = 0; i < count; ++i) out[i] = i < data->data.size() ? data->data(i) : 0.0;
    if (time) *time = data->time;
    pin.release();
    return true;
}

/// Raises KeyboardInterrupt (or what a signal handler raised) in the reading thread.
void checkSignals()
{
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// A Host loads the module for itself and unloads it when it goes, taking every filter of
// the module with it: two at once would pull the filter out from under each other.
std::mutex hostsMutex;
bool hostOpen = false;

class Network
{
public:
    Network(const std::string& module, const std::string& log)
    {
        Drfn3::Settings settings;
        settings.module = module;
        settings.log = log;
        // Scripts say what they want; drfn3's saved settings are neither read nor changed.
        settings.ephemeral = true;
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(hostsMutex);
        if (hostOpen) throw Poco::IllegalStateException("Another drfn3 network is open in this process: close it first");
        _host = std::make_unique<Drfn3::Host>(settings);
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
        host().connect();
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

    /// Rows of samples. n < 0: no count; seconds < 0: no time limit; neither: at least one
    /// sample, then until a cycle brings nothing or 50 ms have passed.
    py::array_t<double> read(long n, double seconds)
    {
        std::vector<double> rows;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(_mutex);
            if (!host().transmitting()) startLocked();
            const Clock::time_point start = Clock::now();
            Clock::time_point nextCheck = start, firstAt;
            const auto count = [&rows] { return static_cast<long>(rows.size() / COLUMNS); };
            for (;;)
            {
                if (n >= 0 && count() >= n) break;
                const Clock::time_point now = Clock::now();
                if (seconds >= 0 && now - start >= std::chrono::duration<double>(seconds)) break;
                if (now >= nextCheck)
                {
                    checkSignals();
                    nextCheck = now + std::chrono::milliseconds(50);
                }
                host().filter().process();
                const std::size_t before = rows.size();
                drain(rows, n < 0 ? -1 : n - count());
                if (!host().connected()) throw Poco::IOException("The controller stopped answering and was closed");
                if (n < 0 && seconds < 0 && !rows.empty())
                {
                    // A steady stream never runs dry: "what is waiting" ends a moment after the first sample.
                    if (firstAt == Clock::time_point()) firstAt = Clock::now();
                    if (rows.size() == before || Clock::now() - firstAt >= std::chrono::milliseconds(50)) break;
                }
            }
        }
        py::array_t<double> out({static_cast<py::ssize_t>(rows.size() / COLUMNS), static_cast<py::ssize_t>(COLUMNS)});
        std::copy(rows.begin(), rows.end(), out.mutable_data());
        return out;
    }

    py::dict stats()
    {
        py::dict out;
        std::lock_guard<std::mutex> lock(_statsMutex);
        for (const auto& entry : _stats)
        {
            const PodStats& s = entry.second;
            const double span = s.lastTime - s.firstTime;
            py::dict pod;
            pod["samples"] = s.samples;
            // Samples per second of the pod's own time base, first sample to last.
            pod["rate"] = s.samples > 1 && span > 0 ? (s.samples - 1) / span : 0.0;
            pod["loss"] = s.loss;
            pod["battery"] = s.battery;
            pod["frequency"] = s.frequency;
            out[py::int_(entry.first)] = pod;
        }
        return out;
    }

    /// {serial: {pin name: matrix}} of what "Read Calib" published.
    py::dict readCalibration()
    {
        std::map<unsigned, std::map<std::string, RowMatrixXd>> values;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(_mutex);
            const std::vector<unsigned> serials = host().serials();
            for (unsigned serial : serials) tapsOf(serial, true);
            host().run("Read Calib");
            for (unsigned serial : serials)
                for (auto& tap : _taps[serial].calibration)
                    if (const auto* data = tap.second->getData())
                    {
                        values[serial][tap.first] = data->data;
                        tap.second->release();
                    }
        }
        py::dict out;
        for (const auto& pod : values)
        {
            py::dict pins;
            for (const auto& pin : pod.second)
            {
                const RowMatrixXd& m = pin.second;
                py::array_t<double> a({static_cast<py::ssize_t>(m.rows()), static_cast<py::ssize_t>(m.cols())});
                std::copy(m.data(), m.data() + m.size(), a.mutable_data());
                pins[py::str(pin.first)] = a;
            }
            out[py::int_(pod.first)] = pins;
        }
        return out;
    }

    /// Feeds each (input pin name, matrix) to the filter and commits them with "Write Calib".
    void writeCalibration(const std::vector<std::pair<std::string, py::array_t<double, py::array::c_style | py::array::forcecast>>>& matrices)
    {
        std::vector<std::pair<std::string, RowMatrixXd>> values;
        for (const auto& entry : matrices)
        {
            const auto& a = entry.second;
            if (a.ndim() != 2) throw Poco::InvalidArgumentException(entry.first + ": a matrix needs two dimensions");
            RowMatrixXd m(a.shape(0), a.shape(1));
            std::copy(a.data(), a.data() + a.size(), m.data());
            values.emplace_back(entry.first, m);
        }
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(_mutex);
        Quillmesh::Core::PinManager sources("drfn3 python calibration");
        std::vector<std::unique_ptr<Quillmesh::Core::OutputPin<RowMatrixXd>>> pins;
        const double now = Poco::Timestamp().epochMicroseconds() * 1e-6;
        for (const auto& value : values)
        {
            auto* input = host().filter().getFilter().findInputPin(value.first);
            if (!input) throw Poco::NotFoundException("The filter has no calibration input " + value.first);
            pins.push_back(std::make_unique<Quillmesh::Core::OutputPin<RowMatrixXd>>(value.first, &sources));
            pins.back()->attach(*input);
            pins.back()->getData() = value.second;
            pins.back()->push(now);
        }
        host().run("Write Calib");
    }

private:
    void release()
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_host) return;
        _taps.clear();
        // Probes die with the filter; the module goes with the host, even when the controller will not stop.
        struct Release
        {
            std::unique_ptr<Drfn3::Host>& host;
            ~Release()
            {
                host.reset();
                std::lock_guard<std::mutex> hosts(hostsMutex);
                hostOpen = false;
            }
        } going{_host};
        _host->disconnect();
    }

    Drfn3::Host& host()
    {
        if (!_host) throw Poco::IllegalStateException("The network is closed");
        return *_host;
    }

    void startLocked()
    {
        const std::vector<unsigned> serials = host().serials();
        // Taps go on before transmission so that no frame passes unseen.
        for (unsigned serial : serials) tapsOf(serial, false);
        host().set("transmission", "1");
    }

    PodTaps& tapsOf(unsigned serial, bool calibration)
    {
        PodTaps& taps = _taps[serial];
        const std::string suffix = "#0x" + Drfn3::hex(serial);
        auto& filter = host().filter();
        if (!taps.acc)
        {
            // Queues: one process() publishes at most one frame, and every frame is drained after it.
            const std::size_t depth = 256;
            taps.acc = &filter.tap<RowMatrixXd>("3a" + suffix, depth, false);
            taps.mag = &filter.tap<RowMatrixXd>("3m" + suffix, depth, false);
            taps.gyr = &filter.tap<RowMatrixXd>("3g" + suffix, depth, false);
            taps.button = &filter.tap<RowMatrixXd>("Button" + suffix, depth, false);
            taps.battery = &filter.tap<RowMatrixXd>("Battery" + suffix, depth, false);
            taps.frame = &filter.tap<RowMatrixXd>("FrameNb" + suffix, depth, false);
        }
        if (calibration && taps.calibration.empty())
            for (const char* pin : CALIBRATION_PINS) taps.calibration[pin] = &filter.tap<RowMatrixXd>(pin + suffix);
        return taps;
    }

    /// Appends every complete sample the probes hold (at most limit when limit >= 0),
    /// sorted by time; the rest wait in the queues.
    void drain(std::vector<double>& rows, long limit)
    {
        const std::size_t first = rows.size();
        long taken = 0;
        std::lock_guard<std::mutex> statsLock(_statsMutex);
        for (auto& entry : _taps)
        {
            PodTaps& taps = entry.second;
            if (!taps.frame) continue;
            PodStats& stats = _stats[entry.first];
            double frame[3];
            while ((limit < 0 || taken < limit) && take(*taps.frame, frame, 3))
            {
                double row[COLUMNS] = {};
                row[1] = entry.first;
                take(*taps.acc, row + 2, 3, &row[0]);
                take(*taps.mag, row + 5, 3);
                take(*taps.gyr, row + 8, 3);
                row[11] = frame[0];
                row[12] = frame[1];
                take(*taps.battery, row + 13, 1);
                take(*taps.button, row + 14, 1);
                rows.insert(rows.end(), row, row + COLUMNS);
                ++taken;
                if (stats.samples++ == 0) stats.firstTime = row[0];
                stats.lastTime = row[0];
                stats.loss = frame[1];
                stats.frequency = frame[2];
                stats.battery = row[13];
            }
        }
        // Pods' samples interleave by time, each pod's keeping its order.
        const std::size_t count = (rows.size() - first) / COLUMNS;
        if (count < 2) return;
        std::vector<std::size_t> order(count);
        for (std::size_t i = 0; i < count; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return rows[first + a * COLUMNS] < rows[first + b * COLUMNS];
        });
        std::vector<double> sorted;
        sorted.reserve(count * COLUMNS);
        for (std::size_t i : order)
            sorted.insert(sorted.end(), rows.begin() + first + i * COLUMNS, rows.begin() + first + (i + 1) * COLUMNS);
        std::copy(sorted.begin(), sorted.end(), rows.begin() + first);
    }

    std::mutex _mutex;
    std::mutex _statsMutex;
    std::unique_ptr<Drfn3::Host> _host;
    std::map<unsigned, PodTaps> _taps;
    std::map<unsigned, PodStats> _stats;
};

/// The simulator served on a pseudo-terminal in this process.
class Simulator
{
public:
    Simulator(unsigned generation, const std::vector<unsigned>& pods, double rate, const std::map<std::string, double>& faults,
              const std::vector<unsigned>& busyChannels, std::uint32_t seed, bool record, bool instant)
        : _sim(generation == 1 ? Tarnlink::Sim::Generation::First : Tarnlink::Sim::Generation::Second, seed)
    {
        if (generation != 1 && generation != 2) throw Poco::InvalidArgumentException("generation must be 1 or 2");
        auto guard = _sim.lock();
        for (unsigned serial : pods) _sim.addPod(serial);
        Tarnlink::Sim::Faults& f = _sim.faults();
        const std::map<std::string, double*> known = {
            {"corrupt_byte", &f.corruptByte}, {"drop_byte", &f.dropByte},
            {"garbage", &f.garbage}, {"wrong_echo", &f.wrongEcho},
            {"controller_timeout", &f.controllerTimeout}, {"drop_frame", &f.dropFrame}};
        for (const auto& fault : faults)
        {
            const auto at = known.find(fault.first);
            if (at == known.end()) throw Poco::InvalidArgumentException("Unknown fault " + fault.first);
            *at->second = fault.second;
        }
        for (unsigned channel : busyChannels) _sim.setBusyChannel(channel);
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

    /// The frames a pod sent since recording began: frame number, the nine sensor values,
    /// status byte. Frames lost on the radio are left out.
    py::array_t<double> frames(unsigned serial)
    {
        std::vector<double> rows;
        {
            auto guard = _sim.lock();
            if (!_sim.recorder().recordStreams()) throw Poco::IllegalStateException("The simulator was made with record=False");
            for (const Tarnlink::Sim::Record& r : _sim.recorder().records())
            {
                // Marker (4 bytes) and frame id, then the body.
                if (r.kind != Tarnlink::Sim::Record::Frame || r.serial != serial || r.bytes.size() < 5 + 16) continue;
                const std::string body = r.bytes.substr(5);
                auto s16 = [&body](std::size_t at) {
                    return static_cast<double>(static_cast<std::int16_t>(
                        (static_cast<std::uint8_t>(body[at]) << 8) | static_cast<std::uint8_t>(body[at + 1])));
                };
                rows.push_back(r.value);
                for (std::size_t k = 0; k < 9; ++k) rows.push_back(3 + 2 * k + 1 < body.size() - 1 ? s16(3 + 2 * k) : 0.0);
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

PyObject* newError(py::module_& m, const char* name, std::initializer_list<PyObject*> bases)
{
    py::tuple tuple(bases.size());
    std::size_t i = 0;
    for (PyObject* base : bases) tuple[i++] = py::reinterpret_borrow<py::object>(base);
    const std::string qualified = std::string("drfn3.") + name;
    PyObject* type = PyErr_NewException(qualified.c_str(), tuple.ptr(), nullptr);
    if (!type) throw py::error_already_set();
    m.add_object(name, py::handle(type));
    return type;
}

} // namespace

PYBIND11_MODULE(_drfn3, m)
{
    m.doc() = "Compiled part of drfn3; use the drfn3 package.";

    // Each kind is also the built-in exception a Python caller would catch for it.
    static PyObject* error = newError(m, "Error", {PyExc_RuntimeError});
    static PyObject* invalid = newError(m, "InvalidValueError", {error, PyExc_ValueError});
    static PyObject* notFound = newError(m, "NotFoundError", {error, PyExc_LookupError});
    static PyObject* notAllowed = newError(m, "NotAllowedError", {error});
    static PyObject* device = newError(m, "DeviceError", {error, PyExc_OSError});
    py::register_exception_translator([](std::exception_ptr p) {
        try
        {
            if (p) std::rethrow_exception(p);
        }
        catch (const Poco::NotFoundException& e)
        {
            PyErr_SetString(notFound, messageOf(e).c_str());
        }
        catch (const Poco::FileNotFoundException& e)
        {
            PyErr_SetString(notFound, messageOf(e).c_str());
        }
        catch (const Poco::NoPermissionException& e)
        {
            PyErr_SetString(notAllowed, messageOf(e).c_str());
        }
        catch (const Poco::InvalidArgumentException& e)
        {
            PyErr_SetString(invalid, messageOf(e).c_str());
        }
        catch (const Poco::RangeException& e)
        {
            PyErr_SetString(invalid, messageOf(e).c_str());
        }
        catch (const Poco::DataException& e)
        {
            PyErr_SetString(invalid, messageOf(e).c_str());
        }
        catch (const Poco::IOException& e)
        {
            PyErr_SetString(device, messageOf(e).c_str());
        }
        catch (const Poco::Exception& e)
        {
            PyErr_SetString(error, messageOf(e).c_str());
        }
        catch (const Drfn3::UsageError& e)
        {
            PyErr_SetString(invalid, e.what());
        }
    });

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
        .def(py::init<const std::string&, const std::string&>(), py::arg("module"), py::arg("log"))
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
        .def("read_calibration", &Network::readCalibration)
        .def("write_calibration", &Network::writeCalibration);

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
        .def("frames", &Simulator::frames)
        .def("clear_record", &Simulator::clearRecord);
}
