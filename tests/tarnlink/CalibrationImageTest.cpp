#include "PodBench.h"
#include <Poco/Exception.h>
#include <Tarnlink/Interrupt.h>
#include <Tarnlink/Progress.h>
#include <gtest/gtest.h>
#include <array>
#include <set>

using namespace Tarnlink;
using Tarnlink::Bench::PodBench;

namespace {
typedef std::array<double, 9> Gain;
typedef std::array<double, 3> Offset;

Poco::DateTime july4()
{
    return Poco::DateTime(2013, 7, 4, 9, 5, 30);
}

std::string area(const Sim::Pod& pod, std::uint32_t first, std::uint32_t last)
{
    std::string bytes;
    for (std::uint32_t a = first; a <= last; ++a) bytes += static_cast<char>(pod.eeprom().byte(a));
    return bytes;
}

Gain gainOf(const Driftnode3EEPROM& eeprom, unsigned set)
{
    Gain g;
    eeprom.gain(set, g.data());
    return g;
}

Offset offsetOf(const Driftnode3EEPROM& eeprom, unsigned set)
{
    Offset v;
    eeprom.offset(set, v.data());
    return v;
}

/// Changes set 1 of the image to values no factory pod holds.
void changeMagnetometer(Driftnode3EEPROM& eeprom, const Gain& g, const Offset& v)
{
    eeprom.setClock(july4);
    eeprom.writeSetHeader(1, 21.5);
    eeprom.setGain(1, g.data());
    eeprom.setOffset(1, v.data());
}

const Gain newGain{1.5, 0.25, -0.125, 0.5, 2.0, 0.75, -1.0, 0.0625, 3.0};
const Offset newOffset{10.5, -20.25, 30.125};
} // namespace

TEST(CalibrationImageTest, FreshImageAndHostSideAccess)
{
    PodBench bench;
    Sim::PodConfig config;
    config.serial = 0xA1B2C3;
    Driftnode3EEPROM& eeprom = bench.addPod(config).getEEPROM();
    EXPECT_EQ(0x1200B2C3u, eeprom.identity());
    EXPECT_EQ(Gain{}, gainOf(eeprom, 2));
    EXPECT_EQ(Offset{}, offsetOf(eeprom, 0));
    EXPECT_EQ(236u, eeprom.image().sector(0x20).size() - eeprom.image().sector(0x20).freeBytes());
    EXPECT_EQ(112u, eeprom.image().sector(0x21).size() - eeprom.image().sector(0x21).freeBytes());

    Gain m{};
    m[1] = 2.5;
    eeprom.setGain(0, m.data());
    EXPECT_EQ(2.5, eeprom.image().block(0xFA0C).doubleAt(0xFA34));
    EXPECT_EQ(m, gainOf(eeprom, 0));

    eeprom.setClock(july4);
    eeprom.writeSetHeader(1, 21.5);
    const DataBlockMemory& set1 = eeprom.image().block(0xFA7C);
    std::string header;
    for (std::uint32_t a = 0xFA7C; a <= 0xFA83; ++a) header += static_cast<char>(set1.byteAt(a));
    EXPECT_EQ(std::string("\x04\x07\x13\x09\x05\x30\x00\x03", 8), header);
    EXPECT_EQ(21.5, eeprom.temperature(1));

    EXPECT_THROW(eeprom.setGain(3, m.data()), Poco::InvalidArgumentException);
    EXPECT_THROW(eeprom.readSet(2, Driftnode3EEPROM::WorkingFirst), Poco::InvalidArgumentException);
    EXPECT_THROW(eeprom.writeArea(0x23), Poco::InvalidArgumentException);
}

TEST(CalibrationImageTest, CommitWritesBothWorkingSectorsAndNothingElseManufacturingBothHalves)
{
    PodBench bench;
    Driftnode3& pod = bench.addPod();
    const Sim::Pod& simPod = *bench.sim.pod(0x100001);
    Driftnode3EEPROM& eeprom = pod.getEEPROM();
    const std::string manufacturing = area(simPod, 0xFC00, 0xFDFF);

    eeprom.readCalibration();
    EXPECT_EQ(simPod.eeprom().uint32(0xFC00), eeprom.identity());
    changeMagnetometer(eeprom, newGain, newOffset);
    bench.sim.recorder().clear();
    const Sim::Micros start = bench.sim.clock().now();
    eeprom.commit();
    const Sim::Micros cost = bench.elapsedSince(start);

    const std::vector<Bench::WindowAccess> writes = Bench::windowWrites(bench.sim.recorder());
    EXPECT_EQ(174u, writes.size());
    EXPECT_EQ(2 * 174u, Bench::windowAccesses(bench.sim.recorder()).size());
    std::set<std::uint32_t> addresses;
    for (const Bench::WindowAccess& w : writes) addresses.insert(w.address);
    EXPECT_EQ(174u, addresses.size());
    EXPECT_EQ(0xFA00u, *addresses.begin());
    EXPECT_EQ(0xFB6Eu, *addresses.rbegin());
    EXPECT_EQ(0u, addresses.count(0xFAEC));
    // Two sector commands first, then unlock and lock around each sector.
    const std::vector<std::uint16_t> control = Bench::podWrites(bench.sim.recorder(), PodReg::EEPROM_CTRL);
    EXPECT_EQ((std::vector<std::uint16_t>{0x0320, 0x0321, 0x0100, 0x0000, 0x0100, 0x0000}), control);
    EXPECT_NEAR(930000.0, static_cast<double>(cost), 930000.0 * 0.02);
    EXPECT_GE(cost, 930000);

    EXPECT_EQ(manufacturing, area(simPod, 0xFC00, 0xFDFF));
    EXPECT_EQ(0x0300, simPod.eepromWord(0xFA0A));
    EXPECT_EQ(newGain, simPod.calibrationGain(1));
    EXPECT_EQ(newOffset, simPod.calibrationOffset(1));
    EXPECT_EQ(simPod.factoryGain(2), simPod.calibrationGain(2));

    // A second object for the same pod reads back what was written.
    Driftnode3 again(bench.controller.get(), 0x100001);
    again.getEEPROM().readCalibration();
    for (unsigned set = 0; set < 3; ++set)
    {
        EXPECT_EQ(gainOf(eeprom, set), gainOf(again.getEEPROM(), set));
        EXPECT_EQ(offsetOf(eeprom, set), offsetOf(again.getEEPROM(), set));
        EXPECT_EQ(eeprom.temperature(set), again.getEEPROM().temperature(set));
    }
    EXPECT_EQ(area(simPod, 0xFA7C, 0xFA83), std::string("\x04\x07\x13\x09\x05\x30\x00\x03", 8));

    // The manufacturing area takes the same image in both its halves.
    eeprom.sectorCommand(Driftnode3EEPROM::Manufacturing);
    bench.sim.recorder().clear();
    eeprom.writeArea(Driftnode3EEPROM::Manufacturing);
    addresses.clear();
    for (const Bench::WindowAccess& w : Bench::windowWrites(bench.sim.recorder()))
    {
        addresses.insert(w.address);
        const bool inFirst = w.address >= 0xFC00 && w.address <= 0xFCEA;
        const bool inSecond = w.address >= 0xFD00 && w.address <= 0xFD6E;
        EXPECT_TRUE(inFirst || inSecond) << std::hex << w.address;
        EXPECT_TRUE(w.address != 0xFC0A || w.value == 0x0300) << std::hex << w.value;
    }
    EXPECT_EQ(174u, addresses.size());
    EXPECT_EQ(area(simPod, 0xFA00, 0xFAEB), area(simPod, 0xFC00, 0xFCEB));
    EXPECT_EQ(area(simPod, 0xFB00, 0xFB6F), area(simPod, 0xFD00, 0xFD6F));
}

TEST(CalibrationImageTest, RestoreAndCopyMoveOnlyTheChosenSets)
{
    PodBench bench;
    Driftnode3EEPROM& eeprom = bench.addPod().getEEPROM();
    const Sim::Pod& simPod = *bench.sim.pod(0x100001);
    typedef std::array<Gain, 3> Gains;
    const Gain a{9, 8, 7, 6, 5, 4, 3, 2, 1}, b = newGain, c{-1, -2, -3, -4, -5, -6, -7, -8, -9};
    const Gain f0 = simPod.factoryGain(0), f2 = simPod.factoryGain(2);
    // Every step starts with working and manufacturing sets that differ, so each flag is seen.
    auto commitWorking = [&](const Gain& g0, const Gain& g1, const Gain& g2) {
        eeprom.readCalibration();
        eeprom.setGain(0, g0.data());
        eeprom.setGain(1, g1.data());
        eeprom.setGain(2, g2.data());
        eeprom.commit();
    };
    auto gains = [&](std::uint32_t base) {
        return Gains{simPod.calibrationGain(0, base), simPod.calibrationGain(1, base), simPod.calibrationGain(2, base)};
    };
    const std::uint32_t working = Sim::Pod::kWorkingArea, manufacturing = Sim::Pod::kManufacturingArea;

    commitWorking(a, b, c);
    eeprom.copyToManufacturing(false, true, false);
    EXPECT_EQ((Gains{f0, b, f2}), gains(manufacturing));
    EXPECT_EQ(simPod.factoryOffset(2), simPod.calibrationOffset(2, manufacturing));
    commitWorking(a, c, c);
    eeprom.copyToManufacturing(true, false, true);
    EXPECT_EQ((Gains{a, b, c}), gains(manufacturing));

    commitWorking(b, a, a);
    eeprom.restoreFromManufacturing(true, false, true);
    EXPECT_EQ((Gains{a, a, c}), gains(working));
    commitWorking(c, c, a);
    eeprom.restoreFromManufacturing(false, true, false);
    EXPECT_EQ((Gains{c, b, a}), gains(working));
    EXPECT_EQ((Gains{a, b, c}), gains(manufacturing));
    EXPECT_EQ(simPod.eeprom().uint32(0xFC00), simPod.eeprom().uint32(0xFA00));

    // Erased, the pod has no calibration until the end: a stop asked for meanwhile waits.
    eeprom.readCalibration();
    eeprom.setGain(0, b.data());
    {
        InterruptScope stop([] { return true; });
        eeprom.commit();
        EXPECT_FALSE(stop.tripped());
    }
    EXPECT_EQ((Gains{b, b, a}), gains(working));
}

TEST(CalibrationImageTest, FailedTransfersNeverEndInSuccess)
{
    // A word that does not stick: every other word is still written, and the lock comes before the error.
    {
        PodBench bench;
        Driftnode3EEPROM& eeprom = bench.addPod().getEEPROM();
        Sim::Pod& simPod = *bench.sim.pod(0x100001);
        simPod.makeWordStuck(0xFA34);
        eeprom.readCalibration();
        Gain m = gainOf(eeprom, 0);
        m[1] = 2.5;
        eeprom.setGain(0, m.data());
        changeMagnetometer(eeprom, newGain, newOffset);
        bench.sim.recorder().clear();
        const std::string message = Tests::messageOf<Poco::IOException>([&] { eeprom.commit(); });
        EXPECT_NE(std::string::npos, message.find("0xFA34")) << message;
        EXPECT_EQ(174u + 49u, Bench::windowWrites(bench.sim.recorder()).size());
        EXPECT_EQ(0x0000, Bench::podWrites(bench.sim.recorder(), PodReg::EEPROM_CTRL).back());
        EXPECT_FALSE(simPod.eepromUnlocked());
        EXPECT_EQ(newGain, simPod.calibrationGain(1));
        EXPECT_EQ(simPod.factoryGain(2), simPod.calibrationGain(2));
    }
    // A register that stops answering half-way.
    {
        PodBench bench;
        Driftnode3EEPROM& eeprom = bench.addPod().getEEPROM();
        Sim::Pod& simPod = *bench.sim.pod(0x100001);
        const std::string manufacturing = area(simPod, 0xFC00, 0xFDFF);
        eeprom.readCalibration();
        simPod.failRegisterAfter(0x40, 3);
        EXPECT_THROW(eeprom.commit(), Poco::IOException);
        EXPECT_THROW(eeprom.copyToManufacturing(true, true, true), Poco::IOException);
        EXPECT_EQ(manufacturing, area(simPod, 0xFC00, 0xFDFF));
    }
}

TEST(CalibrationImageTest, ProgressCountsEveryWordOfEachPhaseOnceAndNamesTheOuterProcedure)
{
    PodBench bench;
    Driftnode3EEPROM& eeprom = bench.addPod().getEEPROM();
    std::vector<ProgressStep> steps;
    ScopedProgressFunction observer([&](const ProgressStep& step) {
        steps.push_back(step);
        throw std::runtime_error("an observer cannot break a transfer");
    });
    // One line per phase: operation, phase, words counted (each must be the previous + 1), total.
    auto phases = [&] {
        std::vector<std::string> out;
        std::size_t expected = 0;
        for (const ProgressStep& s : steps)
        {
            if (s.wordsDone == 0)
            {
                out.push_back(std::string(operationName(s.operation)) + " " + phaseName(s.phase) + " " +
                              std::to_string(s.wordsTotal));
                expected = 0;
            }
            EXPECT_EQ(expected++, s.wordsDone);
            EXPECT_EQ(0x100001u, s.serial);
        }
        EXPECT_EQ(steps.back().wordsTotal, steps.back().wordsDone);
        steps.clear();
        return out;
    };

    eeprom.readCalibration();
    eeprom.commit();
    EXPECT_EQ((std::vector<std::string>{"calibration read read 174", "calibration commit erase 0",
                                        "calibration commit write 174"}),
              phases());
    eeprom.restoreFromManufacturing(true, true, true);
    EXPECT_EQ((std::vector<std::string>{"calibration restore read 174", "calibration restore erase 0",
                                        "calibration restore write 174"}),
              phases());
    eeprom.copyToManufacturing(true, true, true);
    EXPECT_EQ((std::vector<std::string>{"calibration copy read 174", "calibration copy erase 0",
                                        "calibration copy write 174"}),
              phases());
    eeprom.writeArea(Driftnode3EEPROM::WorkingSecond);
    EXPECT_EQ((std::vector<std::string>{"calibration commit write 56"}), phases()) << "outside any procedure";
}
