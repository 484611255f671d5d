// Costs of the device library on the frame path and of its long procedures.
// In-process figures replay recorded simulator bytes from memory, so what is measured is the
// library (and the filter above it), not the simulator. Pseudo-terminal figures are set beside a
// plain read(2) reader of the same stream in the same run, since the machine may be loaded.
// Virtual-time figures are what a procedure would take on the wire, against its fixed waits.
#include "ChannelCalls.h"
#include "ReplayChannel.h"
#include "FakeFtd2xx.h"

#include "DRFN3Internal/FilterDRFN3.h"
#include "Quillmesh/Core/FilterFactory.h"
#include "Quillmesh/Core/HostedFilter.h"
#include "Quillmesh/Core/PluginManager.h"
#include "Quillmesh/Core/Synchronizer.h"

#include <Drfn3/SampleReader.h>
#include <Drfn3/Settings.h>

#include <Poco/DeviceIO/Ftd2xx/Ftd2xxChannel.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/Environment.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/Driftnode3.h>
#include <Tarnlink/Driftnode3EEPROM.h>
#include <Tarnlink/Protocol.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/Sim/ScopedVirtualSleep.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/VirtualChannel.h>
#include <Poco/TemporaryFile.h>
#include <Tarnlink/FirmwareImage.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

// Every heap allocation goes through malloc, Eigen's and operator new's alike: count them there.
namespace {
std::atomic<std::uint64_t> allocations{0};
}
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void* malloc(std::size_t n) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, n);
}
void* memalign(std::size_t alignment, std::size_t n) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_memalign(alignment, n);
}
void* aligned_alloc(std::size_t alignment, std::size_t n) noexcept
{
    return memalign(alignment, n);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t n) noexcept
{
    void* p = memalign(alignment, n);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
}

using namespace Tarnlink;
using TarnlinkBench::ReplayChannel;

namespace {

bool quick = false;

double threadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

using Clock = std::chrono::steady_clock;

double nsBetween(Clock::time_point a, Clock::time_point b)
{
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(b - a).count());
}

const std::uint32_t FIRST_SERIAL = 0x200001;

/// A second-generation controller on the simulator behind a replay channel, streaming.
struct Rig
{
    explicit Rig(int podCount, bool instant = true) : sleep(sim)
    {
        sim.setInstant(instant);
        sim.recorder().setEnabled(false);
        channel = new ReplayChannel(new Sim::VirtualChannel(sim, 100));
        protocol = new Protocol(channel.get());
        controller.reset(new ControllerV2(protocol.get()));
        for (int i = 0; i < podCount; ++i) addPod(FIRST_SERIAL + static_cast<std::uint32_t>(i));
    }
    ~Rig()
    {
        channel->passThrough();
        sim.setOfferedRate(0);
        try
        {
            controller->setState(Controller::Idle);
        }
        catch (...)
        {
        }
    }
    Driftnode3& addPod(std::uint32_t serial)
    {
        sim.addPod(serial);
        pods.emplace_back(new Driftnode3(controller.get(), serial));
        return *pods.back();
    }
    void stream(unsigned frequency)
    {
        for (std::size_t i = 0; i < pods.size(); ++i)
        {
            pods[i]->setSlot(static_cast<unsigned>(i));
            pods[i]->startStreaming();
        }
        controller->setFrameMode(1);
        controller->setFrequency(frequency);
        controller->setState(Controller::Transmission);
    }
    /// The next frames as the controller sends them, read through the library.
    std::vector<std::string> record(std::size_t frames)
    {
        sim.setOfferedRate(1e6);
        channel->clearRecording();
        channel->record();
        std::vector<std::string> bodies;
        std::string frame;
        while (bodies.size() < frames)
            if (controller->readDataFrame(frame)) bodies.push_back(frame);
        channel->passThrough();
        return bodies;
    }

    Sim::Simulator sim{Sim::Generation::Second, 11};
    Sim::ScopedVirtualSleep sleep;
    Poco::AutoPtr<ReplayChannel> channel;
    Protocol::Ptr protocol;
    std::unique_ptr<Controller> controller;
    std::vector<std::unique_ptr<Driftnode3>> pods;
};

void setPerFrame(benchmark::State& state, double cpuNs, std::uint64_t allocs)
{
    const double frames = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["cpu_ns_per_frame"] = cpuNs / frames;
    state.counters["allocs_per_frame"] = static_cast<double>(allocs) / frames;
}

// 1a. Replay -> Protocol -> Controller::readDataFrame.
void BM_LibraryFrame(benchmark::State& state)
{
    const int podCount = static_cast<int>(state.range(0));
    Rig rig(podCount);
    rig.stream(podCount > 8 ? 100 : 200);
    rig.record(static_cast<std::size_t>(podCount) * 64);
    rig.channel->replay();
    std::string frame;
    std::int64_t failed = 0;
    for (int i = 0; i < 100; ++i) rig.controller->readDataFrame(frame); // steady state
    const std::uint64_t allocs0 = allocations.load();
    const double cpu0 = threadCpuNs();
    for (auto _ : state)
    {
        if (!rig.controller->readDataFrame(frame)) ++failed;
        benchmark::DoNotOptimize(frame.data());
    }
    setPerFrame(state, threadCpuNs() - cpu0, allocations.load() - allocs0);
    state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(BM_LibraryFrame)->Arg(1)->Arg(4)->Arg(16);

// The simulator itself producing the frames: its cost per frame should not grow with the pods.
void BM_SimulatorFrame(benchmark::State& state)
{
    const int podCount = static_cast<int>(state.range(0));
    Rig rig(podCount);
    rig.stream(podCount > 8 ? 100 : 200);
    rig.sim.setOfferedRate(1e6);
    std::string frame;
    const double cpu0 = threadCpuNs();
    const std::uint64_t allocs0 = allocations.load();
    for (auto _ : state) rig.controller->readDataFrame(frame);
    setPerFrame(state, threadCpuNs() - cpu0, allocations.load() - allocs0);
}
BENCHMARK(BM_SimulatorFrame)->Arg(1)->Arg(16);

/// Discovery hands out the simulator behind a replay channel the benchmark keeps hold of.
class ReplayFactory : public ControllerFactory
{
public:
    explicit ReplayFactory(Sim::Simulator& simulator) : _simulator(simulator) {}
    unsigned getTimeout() const override { return 150; }
    unsigned getGeneration() const override { return 2; }
    std::string getIdentifier() const override { return "simulator"; }
    Poco::DeviceIO::Channel* createChannel() const override
    {
        last = new ReplayChannel(new Sim::VirtualChannel(_simulator, static_cast<int>(getTimeout())));
        // The caller owns what it is given; the benchmark keeps a reference of its own.
        last->duplicate();
        return last.get();
    }
    Controller* createController(Protocol* protocol) const override { return new ControllerV2(protocol); }
    Poco::Any getProperty(const std::string&) const override { return Poco::Any(); }

    mutable Poco::AutoPtr<ReplayChannel> last;

private:
    Sim::Simulator& _simulator;
};

/// The pod filter streaming from the simulator, one input pin attached to each of its output pins.
struct FilterRig
{
    FilterRig(int podCount, unsigned frequency, bool instant = true) : sleep(sim)
    {
        sim.setInstant(instant);
        sim.recorder().setEnabled(false);
        Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
        std::string serials;
        for (int i = 0; i < podCount; ++i)
        {
            sim.addPod(FIRST_SERIAL + static_cast<std::uint32_t>(i));
            char text[16];
            std::snprintf(text, sizeof(text), "%X ", FIRST_SERIAL + static_cast<unsigned>(i));
            serials += text;
        }
        factory = new ReplayFactory(sim);
        key = ControllerEnum::addSource([this]() {
            return std::vector<Poco::AutoPtr<ControllerFactory>>{Poco::AutoPtr<ControllerFactory>(factory, true)};
        });
        filter = std::make_unique<DRFN3Internal::FilterDRFN3>("drfn3");
        set("Frequency", std::to_string(frequency));
        set("connection", "1"); // the network's capacity is known once connected
        set("serial", serials);
        using DRFN3Internal::Sensor;
        for (int i = 0; i < podCount; ++i)
        {
            DRFN3Internal::DriftnodeOutputs& r = *filter->getOutputs(FIRST_SERIAL + static_cast<std::uint32_t>(i));
            for (Sensor s : {Sensor::Accelerometer, Sensor::Magnetometer, Sensor::Gyroscope})
            {
                attach(r.samplePin(s));
                attach(r.gainPin(s));
                attach(r.offsetPin(s));
            }
            attach(r.frameInfoPin());
            attach(r.buttonPin());
            attach(r.batteryPin());
        }
    }
    ~FilterRig()
    {
        factory->last->passThrough();
        sim.setOfferedRate(0);
        try
        {
            set("transmission", "0");
        }
        catch (...)
        {
        }
        filter.reset();
        ControllerEnum::removeSource(key);
    }
    void set(const std::string& name, const std::string& text) { filter->getPropertyBag().get(name).deSerialize(text); }
    void attach(Quillmesh::Core::AbstractOutputPin& source)
    {
        pins.push_back(std::make_unique<DRFN3Internal::MatrixInputPin>("in", &owner));
        source.attach(*pins.back());
    }
    /// One cycle of drfn3's loop.
    void process()
    {
        Quillmesh::Core::Synchronizer::DisablerLocker lock(&filter->getSynchronizer());
        filter->process();
    }
    DRFN3Internal::MatrixInputPin& accPin(int pod) { return *pins[static_cast<std::size_t>(pod) * 12]; }

    Sim::Simulator sim{Sim::Generation::Second, 11};
    Sim::ScopedVirtualSleep sleep;
    Poco::AutoPtr<ReplayFactory> factory;
    int key = 0;
    std::unique_ptr<DRFN3Internal::FilterDRFN3> filter;
    Quillmesh::Core::PinManager owner{"bench"};
    std::vector<std::unique_ptr<DRFN3Internal::MatrixInputPin>> pins;
};

// 1b. The same plus FilterDRFN3::handleFrame and the pushes into the attached pins.
void BM_FilterFrame(benchmark::State& state)
{
    const int podCount = static_cast<int>(state.range(0));
    FilterRig rig(podCount, podCount > 8 ? 100 : 200);
    rig.set("transmission", "1");
    ReplayChannel& channel = *rig.factory->last;
    rig.sim.setOfferedRate(1e6);
    channel.record();
    for (int i = 0; i < podCount * 64; ++i) rig.process();
    channel.replay();
    for (int i = 0; i < 100; ++i) rig.process();
    const std::uint64_t allocs0 = allocations.load();
    const double cpu0 = threadCpuNs();
    for (auto _ : state) rig.process();
    setPerFrame(state, threadCpuNs() - cpu0, allocations.load() - allocs0);
    state.counters["samples"] = rig.accPin(0).hasData() ? 1 : 0;
}
BENCHMARK(BM_FilterFrame)->Arg(1)->Arg(4)->Arg(16);

/// The module's filter made by type name, as drfn3 and Python drive it, with the samples taken
/// off its pins by the host-side reader.
struct HostRig
{
    HostRig(int podCount, unsigned frequency, bool withReader = true) : sleep(sim)
    {
        sim.setInstant(true);
        sim.recorder().setEnabled(false);
        Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
        std::string serials;
        for (int i = 0; i < podCount; ++i)
        {
            sim.addPod(FIRST_SERIAL + static_cast<std::uint32_t>(i));
            serials += Drfn3::hex(FIRST_SERIAL + static_cast<unsigned>(i)) + " ";
        }
        factory = new ReplayFactory(sim);
        key = ControllerEnum::addSource([this]() {
            return std::vector<Poco::AutoPtr<ControllerFactory>>{Poco::AutoPtr<ControllerFactory>(factory, true)};
        });
        manager().installFilterFactory(filterFactory);
        hosted = std::make_unique<Quillmesh::Core::HostedFilter>("FilterDRFN3", "drfn3", manager());
        hosted->setProperty("Frequency", std::to_string(frequency));
        hosted->setProperty("connection", "1");
        hosted->setProperty("serial", serials);
        if (!withReader) return;
        reader = std::make_unique<Drfn3::SampleReader>(*hosted, Drfn3::Units::Calibrated);
        reader->setPods(Drfn3::parseSerials(serials));
    }
    ~HostRig()
    {
        factory->last->passThrough();
        sim.setOfferedRate(0);
        try
        {
            hosted->setProperty("transmission", "0");
        }
        catch (...)
        {
        }
        reader.reset();
        hosted.reset();
        manager().uninstallFilterFactory(filterFactory);
        ControllerEnum::removeSource(key);
    }
    static Quillmesh::Core::PluginManager& manager()
    {
        return Quillmesh::Core::FlowManager::instance().getPluginManager();
    }

    Sim::Simulator sim{Sim::Generation::Second, 11};
    Sim::ScopedVirtualSleep sleep;
    Poco::AutoPtr<ReplayFactory> factory;
    int key = 0;
    Quillmesh::Core::FilterFactory<DRFN3Internal::FilterDRFN3> filterFactory{
        "bench", Quillmesh::Core::ComponentVersion("1.0.0")};
    std::unique_ptr<Quillmesh::Core::HostedFilter> hosted;
    std::unique_ptr<Drfn3::SampleReader> reader;
};

// 1c. The host's whole cycle: HostedFilter::process() and the samples taken off the pins in
// physical units, as drfn3's loop and Python's read() run it.
void BM_HostFrame(benchmark::State& state)
{
    const int podCount = static_cast<int>(state.range(0));
    HostRig rig(podCount, podCount > 8 ? 100 : 200);
    rig.hosted->setProperty("transmission", "1");
    ReplayChannel& channel = *rig.factory->last;
    rig.sim.setOfferedRate(1e6);
    channel.record();
    for (int i = 0; i < podCount * 64; ++i) rig.hosted->process();
    channel.replay();
    std::vector<Drfn3::Sample> samples;
    samples.reserve(1024);
    for (int i = 0; i < 100; ++i) rig.hosted->process();
    rig.reader->collect(samples);
    samples.clear();
    const std::uint64_t allocs0 = allocations.load();
    const double cpu0 = threadCpuNs();
    std::size_t taken = 0;
    for (auto _ : state)
    {
        rig.hosted->process();
        taken += rig.reader->collect(samples);
        if (samples.size() >= 1024) samples.clear();
    }
    setPerFrame(state, threadCpuNs() - cpu0, allocations.load() - allocs0);
    state.counters["samples_per_frame"] = static_cast<double>(taken) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_HostFrame)->Arg(1)->Arg(16);

/// How the Python extension turned pins into numpy before the host-side sample layer: six
/// queued probes per pod read on any thread, a row of 15 doubles per sample, rows sorted by
/// time after every cycle, copied into a 2-D array, then copied column by column into the
/// structured array by the package.
struct RowsBefore
{
    struct Taps
    {
        Quillmesh::Core::InputPin<Quillmesh::Core::RowMatrixXd>* pins[6];
    };

    RowsBefore(Quillmesh::Core::HostedFilter& filter, const std::vector<unsigned>& serials)
    {
        static const char* const names[6] = {"FrameNb", "3a", "3m", "3g", "Battery", "Button"};
        for (unsigned serial : serials)
        {
            Taps t{};
            for (int k = 0; k < 6; ++k)
                t.pins[k] =
                    &filter.tap<Quillmesh::Core::RowMatrixXd>(names[k] + ("#0x" + Drfn3::hex(serial)), 256, false);
            taps.emplace_back(serial, t);
        }
    }

    static bool take(Quillmesh::Core::InputPin<Quillmesh::Core::RowMatrixXd>& pin, double* out, int count,
                     double* time = nullptr)
    {
        const auto* data = pin.getData();
        if (!data) return false;
        for (int i = 0; i < count; ++i) out[i] = i < data->data.size() ? data->data(i) : 0.0;
        if (time) *time = data->time;
        pin.release();
        return true;
    }

    /// After every cycle.
    void drain()
    {
        const std::size_t first = rows.size();
        for (auto& [serial, t] : taps)
        {
            double frame[3];
            while (take(*t.pins[0], frame, 3))
            {
                double row[15] = {};
                row[1] = serial;
                take(*t.pins[1], row + 2, 3, &row[0]);
                take(*t.pins[2], row + 5, 3);
                take(*t.pins[3], row + 8, 3);
                row[11] = frame[0];
                row[12] = frame[1];
                take(*t.pins[4], row + 13, 1);
                take(*t.pins[5], row + 14, 1);
                rows.insert(rows.end(), row, row + 15);
            }
        }
        const std::size_t count = (rows.size() - first) / 15;
        if (count < 2) return;
        std::vector<std::size_t> order(count);
        for (std::size_t i = 0; i < count; ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return rows[first + a * 15] < rows[first + b * 15]; });
        std::vector<double> sorted;
        sorted.reserve(count * 15);
        for (std::size_t i : order)
            sorted.insert(sorted.end(), rows.begin() + first + i * 15, rows.begin() + first + (i + 1) * 15);
        std::copy(sorted.begin(), sorted.end(), rows.begin() + first);
    }

    /// One read(): the rows into a fresh 2-D array, then each column into the record.
    std::vector<Drfn3::Sample> toNumpy()
    {
        const std::vector<double> array(rows);
        rows.clear();
        const std::size_t n = array.size() / 15;
        std::vector<Drfn3::Sample> out(n);
        double Drfn3::Sample::*const doubles[] = {
            &Drfn3::Sample::time, &Drfn3::Sample::ax, &Drfn3::Sample::ay, &Drfn3::Sample::az, &Drfn3::Sample::mx,
            &Drfn3::Sample::my,   &Drfn3::Sample::mz, &Drfn3::Sample::gx, &Drfn3::Sample::gy, &Drfn3::Sample::gz};
        const int columns[] = {0, 2, 3, 4, 5, 6, 7, 8, 9, 10};
        for (int c = 0; c < 10; ++c)
            for (std::size_t i = 0; i < n; ++i) out[i].*doubles[c] = array[i * 15 + columns[c]];
        for (std::size_t i = 0; i < n; ++i) out[i].serial = static_cast<std::uint32_t>(array[i * 15 + 1]);
        for (std::size_t i = 0; i < n; ++i) out[i].frame = static_cast<std::int64_t>(array[i * 15 + 11]);
        for (std::size_t i = 0; i < n; ++i) out[i].loss = array[i * 15 + 12];
        for (std::size_t i = 0; i < n; ++i) out[i].battery = array[i * 15 + 13];
        for (std::size_t i = 0; i < n; ++i) out[i].button = static_cast<std::uint8_t>(array[i * 15 + 14]);
        return out;
    }

    std::vector<std::pair<unsigned, Taps>> taps;
    std::vector<double> rows;
};

// 1d. From a frame to the array Python gets, 16 pods, a read() every 64 cycles. Arg 0: the
// way before the host-side sample layer (RowsBefore, raw counts); 1: SampleReader (samples
// calibrated) into a vector that the array takes over as it is. The filter's decoding is in
// both.
void BM_NumpyPath(benchmark::State& state)
{
    const bool after = state.range(0) != 0;
    const int podCount = 16;
    HostRig rig(podCount, 100, after);
    std::vector<unsigned> serials;
    for (int i = 0; i < podCount; ++i) serials.push_back(FIRST_SERIAL + static_cast<unsigned>(i));
    std::unique_ptr<RowsBefore> before;
    if (!after) before = std::make_unique<RowsBefore>(*rig.hosted, serials);
    rig.hosted->setProperty("transmission", "1");
    ReplayChannel& channel = *rig.factory->last;
    rig.sim.setOfferedRate(1e6);
    channel.record();
    for (int i = 0; i < podCount * 64; ++i) rig.hosted->process();
    channel.replay();
    std::size_t samples = 0;
    int cycle = 0;
    std::vector<Drfn3::Sample> kept;
    const double cpu0 = threadCpuNs();
    for (auto _ : state)
    {
        rig.hosted->process();
        if (!after) before->drain();
        if (++cycle % 64 != 0) continue;
        if (after)
        {
            auto read = std::make_unique<std::vector<Drfn3::Sample>>();
            rig.reader->collect(*read);
            samples += read->size();
            kept = std::move(*read);
        }
        else
        {
            kept = before->toNumpy();
            samples += kept.size();
        }
    }
    const double cpu = threadCpuNs() - cpu0;
    benchmark::DoNotOptimize(kept.data());
    state.counters["cpu_ns_per_sample"] = samples ? cpu / static_cast<double>(samples) : -1;
}
BENCHMARK(BM_NumpyPath)->Arg(0)->Arg(1);

/// A pseudo-terminal: the master is the writer's end, the slave the port.
struct Pty
{
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
        path = ptsname(master);
        // Raw from the start, so the plain reader and the channel see the same bytes.
        int slave = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        termios tio;
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        ::close(slave);
    }
    ~Pty() { ::close(master); }
    int master;
    std::string path;
};

Poco::DeviceIO::Serial::SerialChannel* openPort(const std::string& path)
{
    // The second-generation controller's settings.
    Poco::AutoPtr<Poco::DeviceIO::Serial::SerialConfig> cfg(
        new Poco::DeviceIO::Serial::SerialConfig(path, 0xFFFFFFFF, 8, 'N', 0, 0, 19, 25, false, 4, 4096, 150));
    return new Poco::DeviceIO::Serial::SerialChannel(cfg.get());
}

/// Every frame's wire bytes, as the controller sent them.
std::string wireBytes(const std::vector<std::string>& bodies)
{
    std::string out;
    for (const std::string& body : bodies) out += std::string("\x55\xAA\x55\xAA\x01", 5) + body;
    return out;
}

struct ReaderFigures
{
    double framesPerSecond = 0;
    double cpuNsPerFrame = 0;
    std::int64_t lost = 0;
};

/// Writes the stream to the master as fast as the pty takes it.
std::thread writeAll(int fd, const std::string& stream, std::size_t repeats)
{
    return std::thread([fd, &stream, repeats] {
        for (std::size_t r = 0; r < repeats; ++r)
        {
            std::size_t done = 0;
            while (done < stream.size())
            {
                ssize_t n = ::write(fd, stream.data() + done, std::min<std::size_t>(4096, stream.size() - done));
                if (n <= 0) return;
                done += static_cast<std::size_t>(n);
            }
        }
    });
}

ReaderFigures plainReader(const std::string& stream, std::size_t repeats, std::size_t frameSize)
{
    Pty pty;
    int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
    termios tio;
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
    const std::size_t total = stream.size() * repeats;
    std::vector<char> buf(65536);
    const Clock::time_point start = Clock::now();
    const double cpu0 = threadCpuNs();
    std::thread writer = writeAll(pty.master, stream, repeats);
    std::size_t got = 0;
    std::size_t mismatched = 0;
    while (got < total)
    {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) break;
        // The same check as the library reader: every byte where it should be.
        for (ssize_t i = 0; i < n; i += 64)
            if (buf[static_cast<std::size_t>(i)] != stream[(got + static_cast<std::size_t>(i)) % stream.size()])
                ++mismatched;
        got += static_cast<std::size_t>(n);
    }
    const double cpu = threadCpuNs() - cpu0;
    const double wall = nsBetween(start, Clock::now());
    writer.join();
    ::close(fd);
    const double frames = static_cast<double>(got / frameSize);
    return {frames / wall * 1e9, cpu / frames,
            static_cast<std::int64_t>(total / frameSize - got / frameSize + mismatched)};
}

// 2. Sustained frames/s and CPU per frame through the serial channel, beside a plain reader.
void BM_PtyThroughput(benchmark::State& state)
{
    Rig rig(1);
    rig.stream(200);
    const std::vector<std::string> bodies = rig.record(1000);
    const std::string stream = wireBytes(bodies);
    const std::size_t frameSize = stream.size() / bodies.size();
    const std::size_t repeats = quick ? 20 : 100;
    // The machine's load changes from second to second: short rounds, the two readers taking
    // turns, and the median round of each.
    const int rounds = quick ? 1 : 7;
    std::vector<ReaderFigures> library, plain;
    std::int64_t lost = 0, plainLost = 0;
    for (auto _ : state)
    {
        for (int round = 0; round < rounds; ++round)
        {
            plain.push_back(plainReader(stream, repeats, frameSize));
            plainLost += plain.back().lost;
            Pty pty;
            // The port goes straight under the protocol, which reads it through its read-ahead.
            Poco::AutoPtr<Poco::DeviceIO::Channel> port(openPort(pty.path));
            rig.protocol->setChannel(port.get());
            std::string frame;
            const Clock::time_point start = Clock::now();
            const double cpu0 = threadCpuNs();
            std::thread writer = writeAll(pty.master, stream, repeats);
            const std::size_t total = bodies.size() * repeats;
            for (std::size_t i = 0, k = 0; i < total; ++i)
            {
                if (!rig.controller->readDataFrame(frame) || frame != bodies[k]) ++lost;
                if (++k == bodies.size()) k = 0;
            }
            const double cpu = threadCpuNs() - cpu0;
            const double wall = nsBetween(start, Clock::now());
            writer.join();
            rig.protocol->setChannel(rig.channel.get());
            library.push_back({static_cast<double>(total) / wall * 1e9, cpu / static_cast<double>(total), 0});
        }
    }
    auto median = [](std::vector<ReaderFigures> v, double ReaderFigures::*field) {
        std::sort(v.begin(), v.end(),
                  [field](const ReaderFigures& a, const ReaderFigures& b) { return a.*field < b.*field; });
        return v[v.size() / 2].*field;
    };
    state.counters["frames_per_s"] = median(library, &ReaderFigures::framesPerSecond);
    state.counters["cpu_ns_per_frame"] = median(library, &ReaderFigures::cpuNsPerFrame);
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["plain_frames_per_s"] = median(plain, &ReaderFigures::framesPerSecond);
    state.counters["plain_cpu_ns_per_frame"] = median(plain, &ReaderFigures::cpuNsPerFrame);
    state.counters["plain_lost"] = static_cast<double>(plainLost);
}
BENCHMARK(BM_PtyThroughput)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

/// Counts the calls that read a channel, passing everything on.
class CountingChannel : public Poco::DeviceIO::Channel
{
public:
    explicit CountingChannel(Poco::DeviceIO::Channel* inner) : Channel(inner->getConfig(), ""), _inner(inner, true) {}
    void open() override { _inner->open(); }
    void close() override { _inner->close(); }
    void configure() override { _inner->configure(); }
    int read(char*& buffer) override
    {
        ++calls;
        return _inner->read(buffer);
    }
    int read(char* buffer, int length) override
    {
        ++calls;
        return _inner->read(buffer, length);
    }
    int readAhead(char* buffer, int length, int capacity) override
    {
        ++calls;
        return _inner->readAhead(buffer, length, capacity);
    }
    int write(const char* data, int length) override { return _inner->write(data, length); }
    std::uint64_t calls = 0;

private:
    Poco::AutoPtr<Poco::DeviceIO::Channel> _inner;
};

/// Writes the frames to fd at rate frames/s: at each wake-up, every frame then due in one write.
std::thread pacedWriter(int fd, const std::string& frames, std::size_t frameSize, double rate)
{
    return std::thread([fd, &frames, frameSize, rate] {
        ::prctl(PR_SET_TIMERSLACK, 1UL); // wake-ups to the microsecond, not to the default 50
        const std::size_t count = frames.size() / frameSize;
        const Clock::time_point start = Clock::now() + std::chrono::milliseconds(5);
        const auto due = [&](std::size_t i) {
            return start + std::chrono::nanoseconds(static_cast<std::int64_t>(static_cast<double>(i) * 1e9 / rate));
        };
        std::size_t sent = 0;
        while (sent < count)
        {
            std::this_thread::sleep_until(due(sent));
            const double elapsed = nsBetween(start, Clock::now());
            const std::size_t upTo = std::min(count, static_cast<std::size_t>(elapsed * rate / 1e9) + 1);
            std::size_t done = sent * frameSize;
            while (done < upTo * frameSize)
            {
                ssize_t n = ::write(fd, frames.data() + done, upTo * frameSize - done);
                if (n <= 0) return;
                done += static_cast<std::size_t>(n);
            }
            sent = upTo;
        }
    });
}

struct PacedFigures
{
    double cpuNsPerFrame = -1;
    double framesPerSecond = -1;
    double callsPerFrame = -1;
    std::int64_t lost = 0;
};

enum class PacedReader
{
    Plain,
    Before,
    After
};

/// One reader of a paced stream on a fresh pty: read(2) alone, byte reads of the marker
/// straight on the serial channel (the path without read-ahead), or the protocol.
PacedFigures pacedRun(PacedReader kind, const std::string& frames, std::size_t frameSize, double rate)
{
    Pty pty;
    const std::size_t count = frames.size() / frameSize;
    PacedFigures out;
    if (kind == PacedReader::Plain)
    {
        int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY);
        termios tio;
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &tio);
        std::vector<char> buf(65536);
        const Clock::time_point start = Clock::now();
        const double cpu0 = threadCpuNs();
        std::thread writer = pacedWriter(pty.master, frames, frameSize, rate);
        std::size_t got = 0;
        std::size_t mismatched = 0;
        while (got < frames.size())
        {
            ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; i += 64)
                if (buf[static_cast<std::size_t>(i)] != frames[got + static_cast<std::size_t>(i)]) ++mismatched;
            got += static_cast<std::size_t>(n);
        }
        out.cpuNsPerFrame = (threadCpuNs() - cpu0) / static_cast<double>(count);
        out.framesPerSecond = static_cast<double>(count) / nsBetween(start, Clock::now()) * 1e9;
        writer.join();
        ::close(fd);
        out.lost = static_cast<std::int64_t>(mismatched + (frames.size() - got) / frameSize);
        return out;
    }
    Poco::AutoPtr<Poco::DeviceIO::Channel> port(openPort(pty.path));
    Poco::AutoPtr<CountingChannel> counted(new CountingChannel(port.get()));
    Protocol::Ptr protocol(new Protocol(counted.get()));
    std::string body;
    ReadFrameCommand read(Command::frameMarker(), 1, static_cast<std::uint32_t>(frameSize - 5), &body);
    const Clock::time_point start = Clock::now();
    const double cpu0 = threadCpuNs();
    std::thread writer = pacedWriter(pty.master, frames, frameSize, rate);
    for (std::size_t i = 0; i < count; ++i)
    {
        const bool ok = kind == PacedReader::After ? protocol->execute(read) : read.execute(*counted);
        if (!ok || std::memcmp(body.data(), frames.data() + i * frameSize + 5, body.size()) != 0) ++out.lost;
    }
    out.cpuNsPerFrame = (threadCpuNs() - cpu0) / static_cast<double>(count);
    out.framesPerSecond = static_cast<double>(count) / nsBetween(start, Clock::now()) * 1e9;
    out.callsPerFrame = static_cast<double>(counted->calls) / static_cast<double>(count);
    writer.join();
    return out;
}

// 2b. CPU per frame at a set frame rate: the protocol, the path without read-ahead and a plain
// reader, taking turns on the same stream.
void BM_PtyPaced(benchmark::State& state)
{
    const double rate = static_cast<double>(state.range(0));
    const double seconds = quick ? 0.05 : rate > 50000 ? 0.1 : 0.25;
    const std::size_t count = static_cast<std::size_t>(rate * seconds);
    std::string frames;
    for (std::size_t i = 0; i < count; ++i) frames += TarnlinkBench::numberedFrame(static_cast<unsigned>(i));
    const std::size_t frameSize = frames.size() / count;
    const int rounds = quick ? 1 : 5;
    std::map<PacedReader, std::vector<PacedFigures>> runs;
    for (auto _ : state)
        for (int round = 0; round < rounds; ++round)
            for (PacedReader kind : {PacedReader::Plain, PacedReader::Before, PacedReader::After})
                runs[kind].push_back(pacedRun(kind, frames, frameSize, rate));
    auto median = [&](PacedReader kind, double PacedFigures::*field) {
        std::vector<double> v;
        for (const PacedFigures& f : runs[kind]) v.push_back(f.*field);
        std::sort(v.begin(), v.end());
        return v.empty() ? -1.0 : v[v.size() / 2];
    };
    const std::pair<PacedReader, std::string> names[] = {
        {PacedReader::Plain, "plain_"}, {PacedReader::Before, "before_"}, {PacedReader::After, ""}};
    for (const auto& n : names)
    {
        state.counters[n.second + "cpu_ns_per_frame"] = median(n.first, &PacedFigures::cpuNsPerFrame);
        state.counters[n.second + "frames_per_s"] = median(n.first, &PacedFigures::framesPerSecond);
        std::int64_t lost = 0;
        for (const PacedFigures& f : runs[n.first]) lost += f.lost;
        state.counters[n.second + "lost"] = static_cast<double>(lost);
        if (n.first != PacedReader::Plain)
            state.counters[n.second + "calls_per_frame"] = median(n.first, &PacedFigures::callsPerFrame);
    }
}
BENCHMARK(BM_PtyPaced)->Arg(20000)->Arg(150000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// 2c. Device reads per frame on the other channels: the fake D2XX library's FT_Read and the
// Win32 serial channel's ReadFile (on fake communications functions).
void BM_ChannelCalls(benchmark::State& state)
{
    using namespace Poco::DeviceIO::Ftd2xx;
    const unsigned frames = 400;
    TarnlinkBench::CallsPerFrame d2xx, win32;
    for (auto _ : state)
    {
        Poco::Environment::set(Ftd2xxDriver::LIBRARY_VARIABLE, FAKEFTD2XX_PATH);
        fakeftd2xx_reset();
        fakeftd2xx_addDevice("BENCH1", "DRFNCTRL", 0, 0);
        {
            Poco::AutoPtr<Ftd2xxConfig> cfg(new Ftd2xxConfig("BENCH1", 2000000, 8, 0, 0, 0, 0, 0, 4096, 200, 2));
            Poco::AutoPtr<Ftd2xxChannel> port(new Ftd2xxChannel(cfg.get()));
            auto queue = [](bool late) {
                return [late](const std::string& bytes) {
                    fakeftd2xx_arriveLate("BENCH1", late);
                    fakeftd2xx_queueRead("BENCH1", bytes.data(), bytes.size());
                };
            };
            d2xx = TarnlinkBench::countCalls(
                *port, queue(false), queue(true), [] { return fakeftd2xx_readCalls("BENCH1"); }, frames);
        }
        fakeftd2xx_reset();
        win32 = TarnlinkBench::win32ReadFileCalls(frames);
    }
    state.counters["d2xx_queued"] = d2xx.queued;
    state.counters["d2xx_one_by_one"] = d2xx.oneByOne;
    state.counters["d2xx_queued_before"] = d2xx.queuedBefore;
    state.counters["d2xx_one_by_one_before"] = d2xx.oneByOneBefore;
    state.counters["win32_queued"] = win32.queued;
    state.counters["win32_one_by_one"] = win32.oneByOne;
    state.counters["win32_queued_before"] = win32.queuedBefore;
    state.counters["win32_one_by_one_before"] = win32.oneByOneBefore;
}
BENCHMARK(BM_ChannelCalls)->Iterations(1)->Unit(benchmark::kMillisecond);

/// When each frame was handed to the pty, in nanoseconds of the steady clock; set before the
/// write, so a reader that is quicker than the writer's bookkeeping still finds it.
using SentTimes = std::vector<std::atomic<std::int64_t>>;

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

/// Writes one frame every period to each pty in turn, each frame in one write.
std::thread paced(std::vector<int> fds, const std::vector<std::string>& frames, std::chrono::nanoseconds period,
                  std::vector<SentTimes>& sent)
{
    return std::thread([fds, &frames, period, &sent] {
        Clock::time_point next = Clock::now() + std::chrono::milliseconds(20);
        for (std::size_t i = 0; i < frames.size(); ++i)
        {
            std::this_thread::sleep_until(next);
            for (std::size_t k = 0; k < fds.size(); ++k)
            {
                sent[k][i].store(nowNs());
                if (::write(fds[k], frames[i].data(), frames[i].size()) != static_cast<ssize_t>(frames[i].size()))
                    return;
            }
            next += period;
        }
    });
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

// 3. Latency at the radio's maximum rate: writer's last byte to the sample on the input pin,
// with drfn3's loop calling process(); beside a plain reader's last byte of the frame.
void BM_PtyLatency(benchmark::State& state)
{
    const std::size_t count = quick ? 400 : 4800;
    const std::chrono::nanoseconds period(625000); // 1,600 frames/s
    FilterRig rig(1, 200);
    rig.set("transmission", "1");
    ReplayChannel& channel = *rig.factory->last;
    std::vector<std::string> frames;
    {
        // Recorded through the library: the frames the filter would see next.
        Rig source(1);
        source.stream(200);
        for (const std::string& body : source.record(count + 1))
            frames.push_back(std::string("\x55\xAA\x55\xAA\x01", 5) + body);
    }
    std::vector<double> library, plain;
    for (auto _ : state)
    {
        // Both readers take the same frames at the same moments, so both see the same load.
        Pty plainPty, libraryPty;
        int fd = ::open(plainPty.path.c_str(), O_RDWR | O_NOCTTY);
        termios tio;
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tcsetattr(fd, TCSANOW, &tio);
        Poco::AutoPtr<Poco::DeviceIO::Channel> port(openPort(libraryPty.path));
        channel.divert(port.get());
        DRFN3Internal::MatrixInputPin& acc = rig.accPin(0);
        while (acc.getData()) acc.release();

        std::vector<SentTimes> sent;
        sent.emplace_back(frames.size());
        sent.emplace_back(frames.size());
        std::thread plainReader([&] {
            char buf[256];
            for (std::size_t i = 0; i < frames.size(); ++i)
            {
                std::size_t got = 0;
                while (got < frames[i].size())
                {
                    ssize_t n = ::read(fd, buf, frames[i].size() - got);
                    if (n <= 0) return;
                    got += static_cast<std::size_t>(n);
                }
                if (i > 0) plain.push_back(static_cast<double>(nowNs() - sent[0][i].load()) / 1000.0);
            }
        });
        std::thread writer = paced({plainPty.master, libraryPty.master}, frames, period, sent);
        // The first frame only sets the filter's frame count; from the second on each is a sample.
        std::size_t next = 1;
        const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(30);
        while (next <= count && Clock::now() < giveUp)
        {
            rig.process();
            if (acc.hasData())
            {
                const std::int64_t now = nowNs();
                acc.getData();
                acc.release();
                library.push_back(static_cast<double>(now - sent[1][next].load()) / 1000.0);
                ++next;
            }
        }
        writer.join();
        plainReader.join();
        ::close(fd);
        channel.passThrough();
    }
    // The first frames meet cold caches and a writer that has just started.
    const std::size_t skip = std::min<std::size_t>(20, library.size());
    library.erase(library.begin(), library.begin() + static_cast<long>(skip));
    plain.erase(plain.begin(), plain.begin() + static_cast<long>(std::min<std::size_t>(20, plain.size())));
    state.counters["median_us"] = percentile(library, 0.5);
    state.counters["p99_us"] = percentile(library, 0.99);
    state.counters["plain_median_us"] = percentile(plain, 0.5);
    state.counters["plain_p99_us"] = percentile(plain, 0.99);
    state.counters["samples"] = static_cast<double>(library.size());
}
BENCHMARK(BM_PtyLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// 4. Long procedures in virtual time, with the requests they sent.
template <typename Action>
void procedure(benchmark::State& state, Sim::Simulator& sim, double floorMs, double minRequests, Action action)
{
    double virtualMs = 0;
    double requests = 0;
    for (auto _ : state)
    {
        sim.recorder().setEnabled(true);
        sim.recorder().clear();
        const Sim::Micros start = sim.clock().now();
        action();
        virtualMs = static_cast<double>(sim.clock().now() - start) / 1000.0;
        requests = static_cast<double>(sim.recorder().count(Sim::Record::Request));
        sim.recorder().setEnabled(false);
    }
    state.counters["virtual_ms"] = virtualMs;
    state.counters["requests"] = requests;
    state.counters["floor_ms"] = floorMs;
    state.counters["min_requests"] = minRequests;
}

void BM_CalibrationCommit(benchmark::State& state)
{
    // Replies come at once, so the virtual time is the library's own waits, against the floor of
    // 174 verified words, each with a 5 ms pause, after two sector commands with 30 ms pauses.
    Rig rig(0);
    Driftnode3& pod = rig.addPod(0x10C0DE);
    pod.getEEPROM().readCalibration();
    procedure(state, rig.sim, 174 * 5 + 2 * 30, 357, [&] { pod.getEEPROM().commit(); });
}
BENCHMARK(BM_CalibrationCommit)->Unit(benchmark::kMillisecond)->Iterations(1);

// A calibration read: the pod selected on the controller (SLAVE_ADDR_MSB, SLAVE_ADDR_LSB),
// then 4 page selects (0xFC00, 0xFA00, 0xFA80, 0xFB00) and 174 word reads (identity 6, three
// sets of 4 header words and 13 doubles). It has no fixed wait: with replies at once its
// virtual time is 0, so what is shown beside the count is the time with the radio modelled.
constexpr double CALIBRATION_READ_REQUESTS = 2 + 4 + 174;

void BM_CalibrationRead(benchmark::State& state)
{
    const bool radio = state.range(0) != 0;
    Rig rig(0, !radio);
    Driftnode3& pod = rig.addPod(0x10C0DE);
    procedure(state, rig.sim, 0, CALIBRATION_READ_REQUESTS, [&] { pod.getEEPROM().readCalibration(); });
}
BENCHMARK(BM_CalibrationRead)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// Starting a transmission with P pods, request by request as the filter's sequence goes:
// TDMA_PERIOD (frequency); per pod a reachability read after selecting it (3); per pod the
// calibration read on an isolated channel: a free-channel test (RF_CHANNEL, pairing on,
// pairing off, RF_CHANNEL back: 4), the move (select 2, reachability read, RF_CHANNEL: 4),
// the controller to that channel (1), the read without the select (178), the move back and
// the controller to channel 0 (2); the two-mode search on one channel (twice FRAME_MODE,
// RF_CHANNEL, listening on, 20 writes off, RF_CHANNEL back: 48); the network's move (per pod
// 4, then the controller 1); per pod selection, frequency, slot, four sensor modes, TDMA delay
// and ID (10); TDMA_PERIOD three times.
double transmissionStartRequests(int pods)
{
    return 1 + 3.0 * pods + (4 + 4 + 1 + 178 + 2) * pods + 48 + (4.0 * pods + 1) + 10.0 * pods + 3;
}

// Its fixed waits with replies at once: each pod's quiet test of 1000 ms (6 reads of 150 ms),
// two listening tests of 500 ms (3 reads) each followed by a drain ending on two empty reads.
double transmissionStartFloorMs(int pods)
{
    return 900.0 * pods + 2 * (450.0 + 300.0);
}

void BM_TransmissionStart5(benchmark::State& state)
{
    const bool radio = state.range(0) != 0;
    const int pods = 5;
    for (auto _ : state)
    {
        state.PauseTiming();
        auto rig = std::make_unique<FilterRig>(pods, 100, !radio);
        state.ResumeTiming();
        rig->sim.recorder().setEnabled(true);
        rig->sim.recorder().clear();
        const Sim::Micros start = rig->sim.clock().now();
        rig->set("transmission", "1");
        state.counters["virtual_ms"] = static_cast<double>(rig->sim.clock().now() - start) / 1000.0;
        state.counters["requests"] = static_cast<double>(rig->sim.recorder().count(Sim::Record::Request));
        rig->sim.recorder().setEnabled(false);
        state.PauseTiming();
        rig.reset();
        state.ResumeTiming();
    }
    state.counters["floor_ms"] = transmissionStartFloorMs(pods);
    state.counters["min_requests"] = transmissionStartRequests(pods);
}
BENCHMARK(BM_TransmissionStart5)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

/// Keeps the console output and remembers every repetition of every run for the summary,
/// which gives the median over repetitions (ratios are taken within a repetition first).
class Collector : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
            {
                std::map<std::string, double> values;
                for (const auto& c : run.counters) values[c.first] = c.second.value;
                std::string name = run.benchmark_name();
                const std::size_t repeats = name.find("/repeats:");
                if (repeats != std::string::npos) name.erase(repeats);
                collected[name].push_back(values);
            }
    }
    double get(const std::string& name, const std::string& counter) const
    {
        return median(values(name, counter, [](double v) { return v; }));
    }
    /// Median over repetitions of a / b, both taken from the same repetition.
    double ratio(const std::string& nameA, const std::string& counterA, const std::string& nameB,
                 const std::string& counterB) const
    {
        const std::vector<double> b = values(nameB, counterB, [](double v) { return v; });
        std::size_t i = 0;
        const std::vector<double> r = values(nameA, counterA, [&](double a) {
            const double d = i < b.size() ? b[i] : -1;
            ++i;
            return a < 0 || d <= 0 ? -1.0 : a / d;
        });
        return median(r);
    }

private:
    template <typename F>
    std::vector<double> values(const std::string& name, const std::string& counter, F f) const
    {
        std::vector<double> out;
        auto it = collected.find(name);
        if (it == collected.end()) return out;
        for (const auto& run : it->second)
        {
            auto c = run.find(counter);
            out.push_back(f(c == run.end() ? -1 : c->second));
        }
        return out;
    }
    static double median(std::vector<double> v)
    {
        v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return !(x >= 0); }), v.end());
        if (v.empty()) return -1;
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }

    std::map<std::string, std::vector<std::map<std::string, double>>> collected;
};

struct Row
{
    std::string figure;
    double value;
    std::string unit;
    double budget;
    bool atMost; // else at least
};

void printSummary(const Collector& c)
{
    std::vector<Row> rows;
    for (int pods : {1, 4, 16})
    {
        const std::string n = "/" + std::to_string(pods);
        rows.push_back({"library frame CPU, " + std::to_string(pods) + " pods",
                        c.get("BM_LibraryFrame" + n, "cpu_ns_per_frame"), "ns", 100, true});
        rows.push_back({"library frame allocs, " + std::to_string(pods) + " pods",
                        c.get("BM_LibraryFrame" + n, "allocs_per_frame"), "/frame", 1, true});
        rows.push_back({"filter path CPU, " + std::to_string(pods) + " pods",
                        c.get("BM_FilterFrame" + n, "cpu_ns_per_frame"), "ns", 1500, true});
        rows.push_back({"filter path allocs, " + std::to_string(pods) + " pods",
                        c.get("BM_FilterFrame" + n, "allocs_per_frame"), "/frame", 1, true});
        if (pods != 4)
        {
            rows.push_back({"host path CPU (samples), " + std::to_string(pods) + " pods",
                            c.get("BM_HostFrame" + n, "cpu_ns_per_frame"), "ns", 3000, true});
            rows.push_back({"host path allocs, " + std::to_string(pods) + " pods",
                            c.get("BM_HostFrame" + n, "allocs_per_frame"), "/frame", 1, true});
            if (pods == 16)
            {
                rows.push_back(
                    {"pins to numpy CPU/sample, before", c.get("BM_NumpyPath/0", "cpu_ns_per_sample"), "ns", 0, true});
                rows.push_back(
                    {"pins to numpy CPU/sample, after", c.get("BM_NumpyPath/1", "cpu_ns_per_sample"), "ns", 0, true});
                // The replica of the earlier path runs on today's pins, which no longer allocate:
                // the earlier extension itself is measured end to end by bench/python_read.py.
                rows.push_back({"pins to numpy CPU before / after",
                                c.ratio("BM_NumpyPath/0", "cpu_ns_per_sample", "BM_NumpyPath/1", "cpu_ns_per_sample"),
                                "x", 0, false});
            }
        }
    }
    rows.push_back({"library CPU 16 pods / 1 pod",
                    c.ratio("BM_LibraryFrame/16", "cpu_ns_per_frame", "BM_LibraryFrame/1", "cpu_ns_per_frame"), "x",
                    1.25, true});
    rows.push_back({"filter path CPU 16 pods / 1 pod",
                    c.ratio("BM_FilterFrame/16", "cpu_ns_per_frame", "BM_FilterFrame/1", "cpu_ns_per_frame"), "x", 1.25,
                    true});
    rows.push_back({"simulator CPU 16 pods / 1 pod (frames)",
                    c.ratio("BM_SimulatorFrame/16", "cpu_ns_per_frame", "BM_SimulatorFrame/1", "cpu_ns_per_frame"), "x",
                    1.25, true});
    const std::string pty = "BM_PtyThroughput/iterations:1/real_time";
    rows.push_back({"pty frames/s (library)", c.get(pty, "frames_per_s"), "/s", 150000, false});
    rows.push_back({"pty frames/s (plain reader)", c.get(pty, "plain_frames_per_s"), "/s", 0, false});
    rows.push_back({"pty frames lost by the host", c.get(pty, "lost"), "", 0, true});
    rows.push_back({"pty CPU/frame (library)", c.get(pty, "cpu_ns_per_frame"), "ns", 0, true});
    rows.push_back({"pty CPU/frame (plain reader)", c.get(pty, "plain_cpu_ns_per_frame"), "ns", 0, true});
    rows.push_back({"pty CPU/frame library / plain", c.ratio(pty, "cpu_ns_per_frame", pty, "plain_cpu_ns_per_frame"),
                    "x", 2, true});
    for (const char* rate : {"20000", "150000"})
    {
        const std::string paced = std::string("BM_PtyPaced/") + rate + "/iterations:1/real_time";
        const std::string at = std::string("pty ") + (rate[1] == '0' ? "20k" : "150k") + "/s ";
        rows.push_back({at + "CPU/frame (library)", c.get(paced, "cpu_ns_per_frame"), "ns", 0, true});
        rows.push_back({at + "CPU/frame (byte reads)", c.get(paced, "before_cpu_ns_per_frame"), "ns", 0, true});
        rows.push_back({at + "CPU/frame (plain reader)", c.get(paced, "plain_cpu_ns_per_frame"), "ns", 0, true});
        rows.push_back({at + "CPU library / plain", c.ratio(paced, "cpu_ns_per_frame", paced, "plain_cpu_ns_per_frame"),
                        "x", 1.3, true});
        rows.push_back({at + "CPU byte reads / plain",
                        c.ratio(paced, "before_cpu_ns_per_frame", paced, "plain_cpu_ns_per_frame"), "x", 0, true});
        rows.push_back({at + "frames lost (library)", c.get(paced, "lost"), "", 0, true});
        rows.push_back({at + "POSIX reads/frame (library)", c.get(paced, "calls_per_frame"), "", 0, true});
        rows.push_back({at + "POSIX reads/frame (byte reads)", c.get(paced, "before_calls_per_frame"), "", 0, true});
    }
    const std::string calls = "BM_ChannelCalls/iterations:1";
    for (const char* channel : {"d2xx", "win32"})
    {
        const std::string name = std::string(channel) == "d2xx" ? "D2XX FT_Read/frame" : "Win32 ReadFile/frame";
        const std::string key = channel;
        rows.push_back({name + " queued (library)", c.get(calls, key + "_queued"), "", 0.25, true});
        rows.push_back({name + " queued (byte reads)", c.get(calls, key + "_queued_before"), "", 0, true});
        rows.push_back({name + " one by one (library)", c.get(calls, key + "_one_by_one"), "", 1, true});
        rows.push_back({name + " one by one (byte reads)", c.get(calls, key + "_one_by_one_before"), "", 0, true});
    }
    const std::string lat = "BM_PtyLatency/iterations:1/real_time";
    rows.push_back({"latency median (filter pin)", c.get(lat, "median_us"), "us", 0, true});
    rows.push_back({"latency median (plain reader)", c.get(lat, "plain_median_us"), "us", 0, true});
    rows.push_back({"latency p99 (filter pin)", c.get(lat, "p99_us"), "us", 1000, true});
    rows.push_back({"latency p99 (plain reader)", c.get(lat, "plain_p99_us"), "us", 0, true});
    rows.push_back({"latency p99 filter / plain", c.ratio(lat, "p99_us", lat, "plain_p99_us"), "x", 1.5, true});
    const std::string commit = "BM_CalibrationCommit/iterations:1";
    rows.push_back({"calibration commit waits / floor (930 ms)", c.ratio(commit, "virtual_ms", commit, "floor_ms"), "x",
                    1.02, true});
    rows.push_back({"calibration commit requests / minimum (357)", c.ratio(commit, "requests", commit, "min_requests"),
                    "x", 1, true});
    const std::string read = "BM_CalibrationRead/0/iterations:1";
    rows.push_back(
        {"calibration read requests / minimum (180)", c.ratio(read, "requests", read, "min_requests"), "x", 1, true});
    rows.push_back(
        {"calibration read, radio modelled", c.get("BM_CalibrationRead/1/iterations:1", "virtual_ms"), "ms", 0, true});
    const std::string start = "BM_TransmissionStart5/0/iterations:1";
    rows.push_back(
        {"transmission start 5 pods waits / floor", c.ratio(start, "virtual_ms", start, "floor_ms"), "x", 1.02, true});
    rows.push_back({"transmission start 5 pods requests / minimum", c.ratio(start, "requests", start, "min_requests"),
                    "x", 1, true});
    rows.push_back({"transmission start 5 pods, radio modelled",
                    c.get("BM_TransmissionStart5/1/iterations:1", "virtual_ms"), "ms", 0, true});
    const std::string upgrade = "BM_PodFirmwareUpgrade/1/iterations:1";
    rows.push_back({"pod firmware upgrade 4 KiB waits / floor", c.ratio(upgrade, "virtual_ms", upgrade, "floor_ms"),
                    "x", 1.02, true});

    std::printf("\n%-44s %14s %12s %8s  %s\n", "figure", "measured", "budget", "ratio", "");
    for (const Row& r : rows)
    {
        char value[32], budget[32], ratio[16];
        std::snprintf(value, sizeof(value), "%.4g %s", r.value, r.unit.c_str());
        const bool missing = !(r.value >= 0) || std::isinf(r.value);
        if (missing) std::snprintf(value, sizeof(value), "not run");
        const bool hasBudget =
            r.budget > 0 || (r.atMost && r.unit.empty() && r.figure.find("lost") != std::string::npos);
        if (!hasBudget)
        {
            std::snprintf(budget, sizeof(budget), "-");
            std::snprintf(ratio, sizeof(ratio), "-");
        }
        else
        {
            std::snprintf(budget, sizeof(budget), "%s %.3g", r.atMost ? "<=" : ">=", r.budget);
            if (r.budget > 0 && !missing)
                std::snprintf(ratio, sizeof(ratio), "%.3f", r.value / r.budget);
            else
                std::snprintf(ratio, sizeof(ratio), "-");
        }
        const bool ok = !hasBudget || missing || (r.atMost ? r.value <= r.budget : r.value >= r.budget);
        std::printf("%-44s %14s %12s %8s  %s\n", r.figure.c_str(), value, budget, ratio, ok ? "" : "MISSED");
    }
}

/// A signed Intel HEX file of words at 0x0000 onwards; removed with the object.
struct FirmwareFile
{
    explicit FirmwareFile(std::size_t words)
    {
        std::ofstream out(file.path());
        char text[80];
        for (std::size_t address = 0; address < 2 * words; address += 16)
        {
            const unsigned count = static_cast<unsigned>(std::min<std::size_t>(16, 2 * words - address));
            unsigned sum = count + static_cast<unsigned>((address >> 8) + (address & 0xFF));
            std::snprintf(text, sizeof text, ":%02X%04X00", count, static_cast<unsigned>(address));
            out << text;
            for (unsigned k = 0; k < count; ++k)
            {
                const unsigned byte = static_cast<unsigned>((address + k) * 7) & 0xFF;
                std::snprintf(text, sizeof text, "%02X", byte);
                out << text;
                sum += byte;
            }
            std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
            out << text;
        }
        out << ":00000001FF\n";
        out.close();
        std::ofstream(file.path() + ".md5") << FirmwareImage::signature(file.path());
        signature = file.path() + ".md5";
    }
    ~FirmwareFile() { std::remove(signature.c_str()); }

    Poco::TemporaryFile file;
    std::string signature;
};

// Arg 0: replies with the modelled radio latency; 1: instant replies, so only the fixed waits count.
void BM_PodFirmwareUpgrade(benchmark::State& state)
{
    Rig rig(0, state.range(0) != 0);
    Driftnode3& pod = rig.addPod(0x10F00D);
    const std::size_t words = 2048; // 4 KiB
    FirmwareFile firmware(words);
    double virtualMs = 0;
    for (auto _ : state)
    {
        rig.sim.pod(0x10F00D)->setPowered(true);
        const Sim::Micros start = rig.sim.clock().now();
        if (!pod.getEEPROM().upgradeFirmware(1, firmware.file.path())) state.SkipWithError("upgrade failed");
        virtualMs = static_cast<double>(rig.sim.clock().now() - start) / 1000.0;
    }
    // Listening 1 s on the free channel, 1000 + 100 ms around the reboot, 17 commands of 30 ms,
    // 5 ms per written word and for the boot flag.
    const double floorMs = 1000 + 1100 + 17 * 30 + 5.0 * (words + 1);
    state.counters["virtual_ms"] = virtualMs;
    state.counters["floor_ms"] = floorMs;
    state.counters["over_floor"] = virtualMs / floorMs;
}
BENCHMARK(BM_PodFirmwareUpgrade)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            args.push_back(argv[i]);
    }
    static char minTime[] = "--benchmark_min_time=0.02";
    static char repetitions[] = "--benchmark_repetitions=3";
    const bool repetitionsGiven = std::any_of(
        args.begin(), args.end(), [](const char* a) { return std::strncmp(a, "--benchmark_repetitions", 23) == 0; });
    // The budgets hold for medians over repeated runs; a quick run is a smoke test.
    if (quick)
        args.push_back(minTime);
    else if (!repetitionsGiven)
        args.push_back(repetitions);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    printSummary(collector);
    benchmark::Shutdown();
    return 0;
}
