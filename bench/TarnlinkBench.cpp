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
#include <Poco/TemporaryFile.h>
#include <Tarnlink/FirmwareImage.h>
#include <benchmark/benchmark.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
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

/// A signed Intel HEX file of words at 0x0000 onwards; removed with the object.
struct FirmwareFile
{
    explicit FirmwareFile(std::size_t words)
    {
        std::ofstream out(file.path());
        char text[80];
        for (std::size_t address = 0; address < 2 * words; address += 16) {
            const unsigned count = static_cast<unsigned>(std::min<std::size_t>(16, 2 * words - address));
            unsigned sum = count + static_cast<unsigned>((address >> 8) + (address & 0xFF));
            std::snprintf(text, sizeof text, ":%02X%04X00", count, static_cast<unsigned>(address));
            out << text;
            for (unsigned k = 0; k < count; ++k) {
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
    Rig rig;
    rig.sim.setInstant(state.range(0) != 0);
    Driftnode3& pod = rig.addPod(0x10F00D);
    const std::size_t words = 512;
    FirmwareFile firmware(words);
    double virtualMs = 0;
    for (auto _ : state) {
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
BENCHMARK(BM_PodFirmwareUpgrade)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
