#include "PodBench.h"
#include <Poco/Exception.h>
#include <Poco/Util/OptionException.h>
#include <gtest/gtest.h>
#include <cstdio>
#include <string>

using namespace Tarnlink;
using Tarnlink::Bench::PodBench;
using Tests::messageOf;

namespace {
Sim::PodConfig podWith(std::uint32_t serial, unsigned major, unsigned minor)
{
    Sim::PodConfig config;
    config.serial = serial;
    config.firmwareMajor = major;
    config.firmwareMinor = minor;
    config.factoryCalibration = false;
    return config;
}

/// Pod register writes as they crossed the wire: opcode, address and value in hex.
std::vector<std::string> podWriteBytes(const Sim::Recorder& recorder)
{
    std::vector<std::string> out;
    for (const Sim::Record& r : recorder.requests(Opcode::WRITE_SLAVE_REG))
    {
        std::string text;
        for (std::size_t i = 4; i < r.bytes.size(); ++i)
        {
            char hex[4];
            std::snprintf(hex, sizeof(hex), i == 4 ? "%02x" : " %02x", static_cast<unsigned char>(r.bytes[i]));
            text += hex;
        }
        out.push_back(text);
    }
    return out;
}
} // namespace

TEST(DriftnodeTest, OptionsAndBatteryScaleFollowTheFirmware)
{
    PodBench bench;
    Driftnode3& v1_10 = bench.addPod(podWith(0x100010, 1, 10));
    Driftnode3& v1_11 = bench.addPod(podWith(0x100011, 1, 11));
    Driftnode3& v1_12 = bench.addPod(podWith(0x100012, 1, 12));
    Driftnode3& v1_13 = bench.addPod(podWith(0x100013, 1, 13));
    Driftnode3& v1_14 = bench.addPod(podWith(0x100014, 1, 14));
    Driftnode3& v2_0 = bench.addPod(podWith(0x100020, 2, 0));
    Driftnode3& v15_1 = bench.addPod(podWith(0x100151, 15, 1));

    bench.sim.recorder().clear();
    EXPECT_TRUE(v1_10.supportsLed());
    EXPECT_FALSE(v1_11.supportsLed());
    EXPECT_FALSE(v1_12.supportsAutoPowerOff());
    EXPECT_TRUE(v1_13.supportsLed());
    EXPECT_TRUE(v2_0.supportsAutoPowerOff());
    // A pod's version is read once, when its image does not hold one yet.
    EXPECT_EQ(5u, bench.sim.recorder().requests(Opcode::READ_SLAVE_REG, PodReg::VERSION).size());

    bench.sim.recorder().clear();
    using Incompatible = Poco::Util::IncompatibleOptionsException;
    EXPECT_EQ("Option, Enable Led, is unreachable with current driftnode firmware, upgrade to latest firmware",
              messageOf<Incompatible>([&] { v1_11.setLedEnabled(false); }));
    EXPECT_EQ("Option, AutoPower, is unreachable with current driftnode firmware, upgrade to latest firmware",
              messageOf<Incompatible>([&] { v1_12.setAutoPowerOff(2); }));
    EXPECT_EQ(0u, bench.sim.recorder().requests(Opcode::WRITE_SLAVE_REG).size());
    v2_0.setLedEnabled(false);
    v2_0.setAutoPowerOff(3);
    EXPECT_EQ(0x000C, bench.sim.pod(0x100020)->registerValue(PodReg::LOWPWR_CTRL));
    EXPECT_THROW(v2_0.setAutoPowerOff(4), Poco::InvalidArgumentException);

    EXPECT_EQ(0u, bench.sim.recorder().requests(Opcode::READ_SLAVE_REG, PodReg::VERSION).size());
    unsigned type = 0, major = 0, minor = 0;
    v2_0.getVersion(type, major, minor);
    EXPECT_EQ(3u, type);
    EXPECT_EQ(2u, major);
    EXPECT_EQ(0u, bench.sim.recorder().requests(Opcode::READ_SLAVE_REG, PodReg::VERSION).size());

    EXPECT_NEAR(1.2 * 3.5325, v1_14.batteryVoltageFromRaw(4096), 1e-12);
    EXPECT_NEAR(2.8 * 3.55, v1_13.batteryVoltageFromRaw(4096), 1e-12);
    EXPECT_NEAR(2.8 * 3.55, v15_1.batteryVoltageFromRaw(4096), 1e-12);
    EXPECT_NEAR(1864.1 / 11.71, v1_14.temperatureFromRaw(0), 1e-9);
    EXPECT_NEAR(v1_14.temperatureFromRaw(2299), v1_14.readTemperature(), 1e-9);

    Driftnode3 absent(bench.controller.get(), 0x1FFFFF);
    EXPECT_FALSE(absent.tryGetVersion(type, major, minor));
    EXPECT_EQ("Error while accessing the drfn",
              messageOf<Poco::IOException>([&] { absent.batteryVoltageFromRaw(4096); }));
}

TEST(DriftnodeTest, DefaultAttemptsComeFromTheControllerGeneration)
{
    for (Sim::Generation generation : {Sim::Generation::First, Sim::Generation::Second})
    {
        PodBench bench(generation);
        Driftnode3& pod = bench.addPod();
        bench.sim.pod(0x100001)->setReachable(false);
        bench.sim.recorder().clear();
        EXPECT_THROW(pod.readTemperature(), Poco::IOException);
        const std::size_t expected = generation == Sim::Generation::First ? 20 : 100;
        EXPECT_EQ(expected, bench.sim.recorder().requests(Opcode::READ_SLAVE_REG, PodReg::VTEMP).size());
    }
}

TEST(DriftnodeTest, FrequencyPositionStreamingSensorsAndRegisterScan)
{
    PodBench bench;
    Driftnode3& pod = bench.addPod();
    const Sim::Pod& simPod = *bench.sim.pod(0x100001);

    pod.setFrequency(200);
    EXPECT_EQ(3333, simPod.registerValue(PodReg::SAMPLE_PERIOD));
    bench.sim.recorder().clear();
    EXPECT_NEAR(1.0 / (3333 * 1.5e-6), pod.getFrequency(), 1e-9);
    EXPECT_THROW(pod.setFrequency(0), Poco::InvalidArgumentException);
    EXPECT_THROW(pod.setFrequency(10), Poco::InvalidArgumentException);
    EXPECT_EQ(0u, bench.sim.recorder().of(Sim::Record::Request).size());

    pod.setSlot(3);
    bench.sim.recorder().clear();
    pod.setStreamingState(Driftnode::Streaming);
    EXPECT_EQ(std::vector<std::uint16_t>{901}, Bench::podWrites(bench.sim.recorder(), PodReg::TDMA_DELAY));
    EXPECT_EQ(std::vector<std::uint16_t>{0x0303}, Bench::podWrites(bench.sim.recorder(), PodReg::ID));
    EXPECT_TRUE(simPod.streamingEnabled());
    pod.setStreamingState(Driftnode::Streaming);
    pod.setStreamingState(Driftnode::Stopped);
    EXPECT_EQ((std::vector<std::uint16_t>{0x0303, 0x0003}), Bench::podWrites(bench.sim.recorder(), PodReg::ID));
    EXPECT_EQ(Driftnode::Stopped, pod.getStreamingState());

    pod.setAccRange(2);
    pod.setMagRange(6);
    pod.setGyroMode(1);
    EXPECT_EQ(2, simPod.registerValue(PodReg::ACC_CTRL));
    EXPECT_EQ(6, simPod.registerValue(PodReg::MAG_CTRL));
    EXPECT_EQ(0x0003, simPod.registerValue(PodReg::GYR_CTRL));
    pod.setGyroEnabled(false);
    EXPECT_EQ(0x0002, simPod.registerValue(PodReg::GYR_CTRL));
    EXPECT_THROW(pod.setAccRange(4), Poco::InvalidArgumentException);

    bench.sim.recorder().clear();
    pod.scanRegisters();
    std::vector<std::uint32_t> read;
    for (const Sim::Record& r : bench.sim.recorder().requests(Opcode::READ_SLAVE_REG)) read.push_back(r.address);
    EXPECT_EQ((std::vector<std::uint32_t>{128, 129, 130, 131, 132, 133, 134, 135, 137, 138, 139, 140, 141, 142, 143}),
              read);
    EXPECT_EQ(simPod.registerValue(PodReg::VBATT), pod.registerOf(pod.batteryField()).value(true));

    // Switched off, the image is back at the pod's power-on values.
    pod.setAccRange(1);
    pod.switchOff();
    EXPECT_EQ(0x0403, Bench::podWrites(bench.sim.recorder(), PodReg::ID).back());
    EXPECT_EQ(3u, pod.fieldOf(pod.accRangeField()).get(true));
    EXPECT_TRUE(pod.registerOf(pod.accRangeField()).isSynced());
}

TEST(DriftnodeTest, AFailedCommandIsNotCarriedByALaterWrite)
{
    PodBench bench;
    Driftnode3& pod = bench.addPod();
    Sim::Pod& simPod = *bench.sim.pod(0x100001);
    pod.setSlot(3);

    simPod.failRegisterAfter(PodReg::ID, 0);
    EXPECT_THROW(pod.switchOff(), Poco::IOException);
    EXPECT_THROW(pod.reboot(), Poco::IOException);
    simPod.failRegisterAfter(PodReg::ID, 100);
    simPod.failRegisterAfter(PodReg::TDMA_DELAY, 0);
    EXPECT_THROW(pod.setStreamingState(Driftnode::Streaming), Poco::IOException);
    EXPECT_EQ(Driftnode::Stopped, pod.getStreamingState());
    simPod.failRegisterAfter(PodReg::TDMA_DELAY, 100);

    // The next write of ID only moves the pod to another position.
    bench.sim.recorder().clear();
    pod.setSlot(4);
    EXPECT_EQ(std::vector<std::uint16_t>{0x0004}, Bench::podWrites(bench.sim.recorder(), PodReg::ID));
    EXPECT_TRUE(simPod.powered());
    EXPECT_EQ(0u, simPod.rebootCount());
    EXPECT_FALSE(simPod.streamingEnabled());

    // A start whose ID write failed is not left half-believed either.
    simPod.failRegisterAfter(PodReg::ID, 0);
    EXPECT_THROW(pod.startStreaming(), Poco::IOException);
    simPod.failRegisterAfter(PodReg::ID, 100);
    pod.setSlot(5);
    EXPECT_FALSE(simPod.streamingEnabled());
}

TEST(DriftnodeTest, AFailedStopDoesNotBlockTheNextStart)
{
    PodBench bench;
    Driftnode3& pod = bench.addPod();
    Sim::Pod& simPod = *bench.sim.pod(0x100001);
    pod.setSlot(3);
    pod.setStreamingState(Driftnode::Streaming);

    simPod.setReachable(false);
    EXPECT_THROW(pod.setStreamingState(Driftnode::Stopped), Poco::IOException);
    EXPECT_EQ(Driftnode::Stopped, pod.getStreamingState());
    EXPECT_EQ(0u, pod.fieldOf(pod.streamingEnableField()).get(false));
    simPod.setReachable(true);

    bench.sim.recorder().clear();
    pod.setSlot(3);
    pod.setStreamingState(Driftnode::Streaming);
    EXPECT_EQ((std::vector<std::string>{"02 86 00 03", "02 84 03 85", "02 86 03 03"}),
              podWriteBytes(bench.sim.recorder()));
    EXPECT_EQ(Driftnode::Streaming, pod.getStreamingState());
    EXPECT_TRUE(simPod.streamingEnabled());
}

TEST(DriftnodeTest, ReachabilitySearchEndsOnThePreviousChannel)
{
    PodBench bench;
    Sim::PodConfig config;
    config.serial = 0x100007;
    config.channelCode = Controller::channelCode(7);
    Driftnode3& pod = bench.addPod(config);
    bench.controller->setChannel(5);

    EXPECT_FALSE(pod.isReachable(false));
    EXPECT_TRUE(pod.isReachable(true));
    EXPECT_EQ(Controller::channelCode(5), bench.sim.pod(0x100007)->channelCode());
    EXPECT_EQ(Controller::channelCode(5), bench.sim.controller().channelCode());
    EXPECT_TRUE(pod.isReachable(false));

    Driftnode3 absent(bench.controller.get(), 0x1FFFFF);
    EXPECT_FALSE(absent.isReachable(true));
    EXPECT_EQ(Controller::channelCode(5), bench.sim.controller().channelCode());
}

TEST(DriftnodeTest, CompatibleSerials)
{
    PodBench bench;
    Driftnode3& pod = bench.addPod();
    for (unsigned serial : {0xA00001u, 0x100001u, 0x9FFFFFu, 0x012345u}) EXPECT_TRUE(pod.isCompatibleSerial(serial));
    for (unsigned serial : {0x200001u, 0x00FFFFu, 0x001234u, 0xB00000u, 0x1100001u})
        EXPECT_FALSE(pod.isCompatibleSerial(serial)) << std::hex << serial;
}
