#include "PodBench.h"
#include <Poco/Exception.h>
#include <gtest/gtest.h>

using namespace Tarnlink;
using Tarnlink::Bench::PodBench;

// Each pod's window page is written only when it changes, and again whenever the pod may have
// lost it: after a reboot, or after a page write that failed.
TEST(PodEepromAccessTest, PageIsWrittenOnlyWhenItChangesOrMayHaveBeenLost)
{
    PodBench bench;
    Driftnode3& first = bench.addPod();
    Sim::PodConfig other;
    other.serial = 0x100002;
    Driftnode3& second = bench.addPod(other);
    const Sim::Pod& simPod = *bench.sim.pod(0x100001);
    auto pages = [&] { return Bench::podWrites(bench.sim.recorder(), PodReg::EEPROM_OFFSET); };

    bench.sim.recorder().clear();
    EXPECT_EQ(simPod.eepromWord(0xFA7E), first.getEEPROM().readWord(0xFA7E));
    EXPECT_EQ(simPod.eepromWord(0xFA80), first.getEEPROM().readWord(0xFA80));
    EXPECT_EQ((std::vector<std::uint16_t>{0xFA00, 0xFA80}), pages());
    bench.sim.recorder().clear();
    second.getEEPROM().readWord(0xFA00);
    second.getEEPROM().readWord(0xFA7E);
    EXPECT_EQ(1u, pages().size());
    EXPECT_THROW(first.getEEPROM().readWord(0xFA01), Poco::InvalidArgumentException);

    // A calibration read is the identity (6 words at 0xFC00), the set 0 and 1 blocks of the first
    // working sector (56 words each from 0xFA0C and 0xFA7C) and set 2 (56 words from 0xFB00):
    // 174 word reads over four pages, each page selected once.
    first.getEEPROM().readWord(0xFA00);
    bench.sim.recorder().clear();
    first.getEEPROM().readCalibration();
    EXPECT_EQ((std::vector<std::uint16_t>{0xFC00, 0xFA00, 0xFA80, 0xFB00}), pages());
    EXPECT_EQ(174u, bench.sim.recorder().requests(Opcode::READ_SLAVE_REG).size());
    EXPECT_EQ(178u, bench.sim.recorder().count(Sim::Record::Request));

    first.getEEPROM().readWord(0xFA10);
    first.reboot();
    bench.sim.advance(200000);
    bench.sim.recorder().clear();
    EXPECT_EQ(simPod.eepromWord(0xFA10), first.getEEPROM().readWord(0xFA10));
    EXPECT_EQ(std::vector<std::uint16_t>{0xFA00}, pages());

    bench.sim.pod(0x100001)->failRegisterAfter(PodReg::EEPROM_OFFSET, 0);
    EXPECT_THROW(first.getEEPROM().readWord(0xFC00), Poco::IOException);
    bench.sim.pod(0x100001)->failRegisterAfter(PodReg::EEPROM_OFFSET, 100);
    bench.sim.recorder().clear();
    EXPECT_EQ(simPod.eepromWord(0xFA00), first.getEEPROM().readWord(0xFA00));
    EXPECT_EQ(std::vector<std::uint16_t>{0xFA00}, pages());
}

TEST(PodEepromAccessTest, DoublesGoMostSignificantWordFirstAndAWordThatNeverSticksIsTriedFiftyTimes)
{
    PodBench bench;
    Driftnode3EEPROM& eeprom = bench.addPod().getEEPROM();
    eeprom.sectorCommand(Driftnode3EEPROM::WorkingSecond);
    eeprom.unlock();
    bench.sim.recorder().clear();
    const double one = 1.0;
    EXPECT_TRUE(eeprom.writeDoubles(0xFB10, 1, &one));
    EXPECT_EQ((Bench::WordWrites{{0xFB10, 0x3FF0}, {0xFB12, 0x0000}, {0xFB14, 0x0000}, {0xFB16, 0x0000}}),
              Bench::windowWordWrites(bench.sim.recorder()));
    double back = 0.0;
    eeprom.readDoubles(0xFB10, 1, &back);
    EXPECT_EQ(1.0, back);
    EXPECT_EQ(1.0, bench.sim.pod(0x100001)->eeprom().real(0xFB10));

    // On another page, so that the page write shows which word the accesses reach.
    bench.sim.pod(0x100001)->makeWordStuck(0xFA20);
    bench.sim.recorder().clear();
    const Sim::Micros start = bench.sim.clock().now();
    EXPECT_FALSE(eeprom.writeWord(0xFA20, 0x1234));
    unsigned writes = 0, reads = 0;
    for (const Bench::WindowAccess& a : Bench::windowAccesses(bench.sim.recorder()))
    {
        EXPECT_EQ(0xFA20u, a.address);
        (a.write ? writes : reads) += 1;
    }
    EXPECT_EQ(50u, writes);
    EXPECT_EQ(50u, reads);
    EXPECT_EQ(250000, bench.elapsedSince(start));
    eeprom.lock();
}

TEST(PodEepromAccessTest, EachTransferSelectsItsPageAfreshAfterAnUnnoticedRestart)
{
    PodBench bench;
    Driftnode3EEPROM& eeprom = bench.addPod().getEEPROM();
    Sim::Pod& simPod = *bench.sim.pod(0x100001);
    eeprom.readIdentity(); // leaves the window on the manufacturing page
    const std::uint32_t identity = eeprom.identity();
    double gain[9] = {};
    eeprom.readSet(0, Driftnode3EEPROM::Manufacturing);
    eeprom.gain(0, gain);

    // Auto power-off and the button: the pod comes back with its window at 0, and the host never saw it.
    simPod.setPowered(false);
    simPod.setPowered(true);
    bench.sim.advance(200000);

    eeprom.readIdentity();
    EXPECT_EQ(identity, eeprom.identity());
    eeprom.readSet(0, Driftnode3EEPROM::Manufacturing);
    double again[9] = {};
    eeprom.gain(0, again);
    EXPECT_TRUE(std::equal(gain, gain + 9, again));
}
