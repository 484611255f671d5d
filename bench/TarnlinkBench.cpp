// Host-side costs of the device library against the in-process simulator.
// Wall-clock figures are per exchange; virtual-time figures (counters ending in _ms) are what the
// procedure would take on the wire and are compared with the floor set by its fixed waits.
#include <Poco/AutoPtr.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/Driftnode3.h>
#include <Tarnlink/Driftnode3EEPROM.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/Sim/ScopedVirtualSleep.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/VirtualChannel.h>
#include <benchmark/benchmark.h>
#include <memory>

using namespace Tarnlink;

namespace {

struct Rig
{
    Rig() : sleep(sim)
    {
        sim.setInstant(true);
        sim.recorder().setEnabled(false);
        channel = new Sim::VirtualChannel(sim, 100);
        protocol = new Protocol(channel.get());
        controller.reset(new ControllerV2(protocol.get()));
    }
    Driftnode3& addPod(std::uint32_t serial)
    {
        sim.addPod(serial);
        pods.emplace_back(new Driftnode3(controller.get(), serial));
        return *pods.back();
    }

    Sim::Simulator sim{Sim::Generation::Second, 11};
    Sim::ScopedVirtualSleep sleep;
    Poco::AutoPtr<Sim::VirtualChannel> channel;
    Protocol::Ptr protocol;
    std::unique_ptr<Controller> controller;
    std::vector<std::unique_ptr<Driftnode3>> pods;
};

void BM_RegisterRead(benchmark::State& state)
{
    Rig rig;
    Register& version = rig.controller->getMemory().getRegister(CtrlReg::VERSION);
    for (auto _ : state) rig.controller->readRegister(version, 1);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RegisterRead);

void BM_FrameRead(benchmark::State& state)
{
    Rig rig;
    const int podCount = static_cast<int>(state.range(0));
    for (int i = 0; i < podCount; ++i) {
        Driftnode3& pod = rig.addPod(0x200001 + static_cast<std::uint32_t>(i));
        pod.setSlot(static_cast<unsigned>(i));
        pod.startStreaming();
    }
    rig.controller->setFrameMode(1);
    rig.controller->setFrequency(200);
    rig.sim.setOfferedRate(1e6); // far above the radio, so the host side is what is measured
    rig.controller->setState(Controller::Transmission);
    std::string frame;
    std::int64_t failed = 0;
    for (auto _ : state) {
        if (!rig.controller->readDataFrame(frame)) ++failed;
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["failed"] = static_cast<double>(failed);
    rig.sim.setOfferedRate(0);
    rig.controller->setState(Controller::Idle);
}
BENCHMARK(BM_FrameRead)->Arg(1)->Arg(4);

void BM_CalibrationCommit(benchmark::State& state)
{
    Rig rig;
    Driftnode3& pod = rig.addPod(0x10C0DE);
    pod.getEEPROM().readCalibration();
    double virtualMs = 0;
    for (auto _ : state) {
        const Sim::Micros start = rig.sim.clock().now();
        pod.getEEPROM().commit();
        virtualMs = static_cast<double>(rig.sim.clock().now() - start) / 1000.0;
    }
    state.counters["virtual_ms"] = virtualMs;
    state.counters["floor_ms"] = 174 * 5 + 2 * 30;
    state.counters["over_floor"] = virtualMs / (174 * 5 + 2 * 30);
}
BENCHMARK(BM_CalibrationCommit)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
