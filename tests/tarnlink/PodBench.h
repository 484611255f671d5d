#ifndef Tarnlink_Tests_PodBench_INCLUDED
#define Tarnlink_Tests_PodBench_INCLUDED

#include "MessageOf.h"
#include <Poco/AutoPtr.h>
#include <Poco/File.h>
#include <Poco/Path.h>
#include <Poco/TemporaryFile.h>
#include <Tarnlink/FirmwareImage.h>
#include <Tarnlink/ControllerV1.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/Driftnode3.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/Sim/ScopedVirtualSleep.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/VirtualChannel.h>
#include <gtest/gtest.h>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <unistd.h>
#include <vector>

namespace Tarnlink {
namespace Bench {

/// A controller and its pods in the simulator, reached through the library, in virtual time.
struct PodBench
{
    explicit PodBench(Sim::Generation generation = Sim::Generation::Second) : sim(generation), sleep(sim)
    {
        sim.setInstant(true);
        channel = new Sim::VirtualChannel(sim, 100);
        protocol = new Protocol(channel.get());
        if (generation == Sim::Generation::First)
            controller.reset(new ControllerV1(protocol.get()));
        else
            controller.reset(new ControllerV2(protocol.get()));
    }

    /// Adds a pod to the simulator and returns the library's object for it.
    Driftnode3& addPod(const Sim::PodConfig& config = Sim::PodConfig())
    {
        sim.addPod(config);
        return addPodObject(config.serial);
    }

    /// The library's object for a pod the simulator already has.
    Driftnode3& addPodObject(std::uint32_t serial)
    {
        pods.emplace_back(new Driftnode3(controller.get(), serial));
        return *pods.back();
    }

    Sim::Micros elapsedSince(Sim::Micros start) { return sim.clock().now() - start; }

    /// After a replug the old transport is cut off: the host connects again, controller on channel 0.
    void reconnect()
    {
        sim.replug();
        pods.clear();
        controller.reset();
        channel = new Sim::VirtualChannel(sim, 100);
        protocol = new Protocol(channel.get());
        controller.reset(new ControllerV2(protocol.get()));
        controller->setChannel(0);
    }

    Sim::Simulator sim;
    Sim::ScopedVirtualSleep sleep;
    Poco::AutoPtr<Sim::VirtualChannel> channel;
    Protocol::Ptr protocol;
    std::unique_ptr<Controller> controller;
    std::vector<std::unique_ptr<Driftnode3>> pods;
};

/// A temporary folder made current (the difference report lands there) holding a firmware file.
struct FirmwareFolder
{
    Poco::TemporaryFile dir;
    std::string path;
    char previous[4096];

    explicit FirmwareFolder(const std::string& name = "fw.hex")
    {
        Poco::File(dir.path()).createDirectories();
        path = Poco::Path(dir.path(), name).toString();
        EXPECT_NE(nullptr, getcwd(previous, sizeof previous));
        EXPECT_EQ(0, chdir(dir.path().c_str()));
    }
    ~FirmwareFolder() { EXPECT_EQ(0, chdir(previous)); }

    /// The HEX text and its signature.
    const std::string& write(const std::string& hex)
    {
        std::ofstream(path) << hex;
        std::ofstream(path + ".md5") << FirmwareImage::signature(path);
        return path;
    }
    static std::string report()
    {
        std::ifstream in("check_diff_firmware.txt");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

/// One pod EEPROM word written through the register window, as it crossed the wire.
struct WindowAccess
{
    std::uint32_t address;
    std::uint16_t value;
    bool write;
};

/// Window reads and writes in order, with the page each one reached (from the EEPROM_OFFSET writes).
inline std::vector<WindowAccess> windowAccesses(const Sim::Recorder& recorder)
{
    std::vector<WindowAccess> accesses;
    std::uint32_t page = 0;
    for (const Sim::Record& r : recorder.of(Sim::Record::Request))
    {
        if (r.opcode != Opcode::WRITE_SLAVE_REG && r.opcode != Opcode::READ_SLAVE_REG) continue;
        if (r.opcode == Opcode::WRITE_SLAVE_REG && r.address == PodReg::EEPROM_OFFSET) page = r.value & 0xFF80;
        if (r.address < 128) accesses.push_back({page + r.address, r.value, r.opcode == Opcode::WRITE_SLAVE_REG});
    }
    return accesses;
}

inline std::vector<WindowAccess> windowWrites(const Sim::Recorder& recorder)
{
    std::vector<WindowAccess> writes;
    for (const WindowAccess& a : windowAccesses(recorder))
        if (a.write) writes.push_back(a);
    return writes;
}

typedef std::vector<std::pair<std::uint32_t, std::uint16_t>> WordWrites;

/// Window writes in order: EEPROM address and value.
inline WordWrites windowWordWrites(const Sim::Recorder& recorder)
{
    WordWrites out;
    for (const WindowAccess& a : windowWrites(recorder)) out.emplace_back(a.address, a.value);
    return out;
}

/// Values written to a pod register, in order.
inline std::vector<std::uint16_t> podWrites(const Sim::Recorder& recorder, std::uint8_t address)
{
    std::vector<std::uint16_t> values;
    for (const Sim::Record& r : recorder.requests(Opcode::WRITE_SLAVE_REG, address)) values.push_back(r.value);
    return values;
}

} // namespace Bench
} // namespace Tarnlink

#endif
