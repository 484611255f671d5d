#include "PodBench.h"
#include <Poco/Exception.h>
#include <Tarnlink/Progress.h>
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>

using namespace Tarnlink;
using Bench::PodBench;
using Tests::messageOf;

namespace {

/// One Intel HEX record with its checksum.
std::string hexRecord(std::uint16_t address, const std::vector<std::uint8_t>& data, std::uint8_t type = 0)
{
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (std::uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<std::uint8_t>(-sum));
    std::string text = ":";
    char digits[3];
    for (std::uint8_t b : bytes)
    {
        std::snprintf(digits, sizeof digits, "%02X", b);
        text += digits;
    }
    return text + "\n";
}

const std::string END_RECORD = ":00000001FF\n";

/// The simulated pod's program starts with its version word: 0xD3, then major and minor.
std::string programVersion(unsigned major, unsigned minor)
{
    return hexRecord(0x0000, {0xD3, static_cast<std::uint8_t>(major << 4 | minor)});
}

const std::uint32_t SERIAL = 0xA10001;

struct Pod
{
    PodBench bench;
    Driftnode3& pod;
    Sim::Pod& sim;

    Pod() : pod(bench.addPod(config())), sim(*bench.sim.pod(SERIAL)) {}
    static Sim::PodConfig config()
    {
        Sim::PodConfig c;
        c.serial = SERIAL;
        return c;
    }
    Driftnode3EEPROM& eeprom() { return pod.getEEPROM(); }
    std::vector<std::uint16_t> controlWrites() { return Bench::podWrites(bench.sim.recorder(), PodReg::EEPROM_CTRL); }
    std::size_t requests() { return bench.sim.recorder().of(Sim::Record::Request).size(); }
};

} // namespace

TEST(PodFirmware, UpgradeErasesWritesPaddedWordsAndStartsTheNewProgram)
{
    Bench::FirmwareFolder files("pod.hex");
    Pod p;
    p.bench.sim.setBusyChannel(1); // the search moves on to channel 2
    const std::string& path = files.write(programVersion(2, 1) + hexRecord(0x0010, {0xAA, 0xBB, 0xCC}) + END_RECORD);

    EXPECT_TRUE(p.eeprom().upgradeFirmware(1, path));

    std::vector<std::uint16_t> control{0x0100, 0x0000}; // around the boot flag
    for (std::uint16_t code = 0; code < 16; ++code) control.push_back(0x0300 | code);
    control.insert(control.end(), {0x0100, 0x0000, 0x0323});
    EXPECT_EQ(control, p.controlWrites());

    // The boot flag, then the words; the single last byte padded with 0xFF.
    EXPECT_EQ((Bench::WordWrites{{0xFFFE, 0xFFFE}, {0x0000, 0xD321}, {0x0010, 0xAABB}, {0x0012, 0xCCFF}}),
              Bench::windowWordWrites(p.bench.sim.recorder()));
    EXPECT_EQ(0xCCFFu, p.sim.eepromWord(0x0012));
    EXPECT_EQ(0xFFFFu, p.sim.eepromWord(0x0014)) << "erased";

    // Rebooted once, moved to the free channel, then switched off; the controller back on 0.
    EXPECT_EQ(1u, p.sim.rebootCount());
    EXPECT_EQ((std::vector<std::uint16_t>{0x0800, 0x0400}), Bench::podWrites(p.bench.sim.recorder(), PodReg::ID));
    EXPECT_EQ((std::vector<std::uint16_t>{static_cast<std::uint16_t>(Controller::channelCode(2))}),
              Bench::podWrites(p.bench.sim.recorder(), PodReg::RF_CHANNEL));
    EXPECT_FALSE(p.sim.powered());
    EXPECT_FALSE(p.sim.inProtectedArea());
    EXPECT_EQ(0u, p.bench.sim.controller().channelCode());

    p.sim.setPowered(true);
    unsigned major = 0, minor = 0;
    p.pod.getFirmwareVersion(major, minor);
    EXPECT_EQ(2u, major);
    EXPECT_EQ(1u, minor);
}

TEST(PodFirmware, FourKilobytesReportTheNewVersionWithinTwoPercentOfTheFixedWaits)
{
    Bench::FirmwareFolder files("pod.hex");
    Pod p;
    std::string hex = programVersion(3, 2);
    std::uint32_t state = 12345;
    for (std::uint32_t address = 0x0002; address < 0x1000; address += 16)
    {
        std::vector<std::uint8_t> data;
        for (std::uint32_t k = 0; k < 16 && address + k < 0x1000; ++k)
        {
            state = state * 1103515245u + 12345u;
            data.push_back(static_cast<std::uint8_t>(state >> 16));
        }
        hex += hexRecord(static_cast<std::uint16_t>(address), data);
    }
    const std::string& path = files.write(hex + END_RECORD);
    const std::size_t words = 0x1000 / 2;

    std::vector<ProgressStep> steps;
    ScopedProgressFunction observer([&](const ProgressStep& step) { steps.push_back(step); });
    const Sim::Micros start = p.bench.sim.clock().now();
    ASSERT_TRUE(p.eeprom().upgradeFirmware(0, path));
    const double seconds = p.bench.elapsedSince(start) / 1e6;

    // Floor: the search listens 1 s on the first channel; 1000 ms before and 100 ms after the
    // reboot; 16 erase commands and command 0x23, 30 ms each; 5 ms after each written word,
    // the boot flag included. Replies are instant here, so nothing else takes time.
    const double floor = 1.0 + 1.1 + 17 * 0.030 + (words + 1) * 0.005;
    EXPECT_GE(seconds, floor);
    EXPECT_LE(seconds, floor * 1.02) << seconds << " s against a floor of " << floor << " s";

    p.sim.setPowered(true);
    unsigned major = 0, minor = 0;
    p.pod.getFirmwareVersion(major, minor);
    EXPECT_EQ(3u, major);
    EXPECT_EQ(2u, minor);

    // Phases in order; every word counted once per phase, ending at the total.
    std::vector<ProgressStep::Phase> phases;
    std::map<ProgressStep::Phase, std::vector<std::size_t>> counts;
    for (const ProgressStep& s : steps)
    {
        EXPECT_EQ(ProgressStep::FirmwareUpgrade, s.operation);
        EXPECT_EQ(SERIAL, s.serial);
        EXPECT_FALSE(s.controller);
        if (phases.empty() || phases.back() != s.phase) phases.push_back(s.phase);
        counts[s.phase].push_back(s.wordsDone);
        EXPECT_EQ(s.phase == ProgressStep::Read || s.phase == ProgressStep::Write ? words : 0u, s.wordsTotal);
    }
    EXPECT_EQ((std::vector<ProgressStep::Phase>{ProgressStep::Reboot, ProgressStep::Erase, ProgressStep::Write,
                                                ProgressStep::Read}),
              phases);
    for (ProgressStep::Phase phase : {ProgressStep::Write, ProgressStep::Read})
    {
        ASSERT_EQ(words + 1, counts[phase].size());
        for (std::size_t i = 0; i <= words; ++i) EXPECT_EQ(i, counts[phase][i]);
    }
}

TEST(PodFirmware, NothingIsSentForAnUnusableFileOrWithoutAFreeChannel)
{
    Bench::FirmwareFolder files("pod.hex");
    Pod p;
    const std::string& path = files.write(programVersion(2, 1) + END_RECORD);
    p.bench.sim.recorder().clear();

    Poco::File(path + ".md5").remove();
    EXPECT_THROW(p.eeprom().upgradeFirmware(1, path), Poco::FileNotFoundException);
    EXPECT_THROW(p.eeprom().verifyFirmware(1, path), Poco::FileNotFoundException);

    std::ofstream(path + ".md5") << "0123456789abcdef0123456789abcdef";
    EXPECT_EQ("Invalid firmware file", messageOf<Poco::FileException>([&] { p.eeprom().upgradeFirmware(1, path); }));
    EXPECT_EQ("Invalid firmware file", messageOf<Poco::FileException>([&] { p.eeprom().verifyFirmware(1, path); }));

    files.write(hexRecord(0x0011, {0x12, 0x34}) + END_RECORD); // the window reaches even addresses only
    EXPECT_EQ("Invalid firmware file", messageOf<Poco::FileException>([&] { p.eeprom().upgradeFirmware(1, path); }));
    EXPECT_EQ(0u, p.requests());

    files.write(programVersion(2, 1) + END_RECORD);
    for (unsigned index = 0; index < Controller::CHANNEL_COUNT; ++index) p.bench.sim.setBusyChannel(index);
    EXPECT_EQ("Could not find any available channel to start upgrading process",
              messageOf<Poco::NoPermissionException>([&] { p.eeprom().upgradeFirmware(1, path); }));
    EXPECT_EQ("Could not find any available channel to start upgrade process",
              messageOf<Poco::NoPermissionException>([&] { p.eeprom().verifyFirmware(1, path); }));
    EXPECT_EQ("Wrong channel input, out of available range",
              messageOf<Poco::NoPermissionException>([&] { p.eeprom().upgradeFirmware(32, path); }));
    EXPECT_TRUE(Bench::podWrites(p.bench.sim.recorder(), PodReg::EEPROM_CTRL).empty()) << "the pod was left alone";
    EXPECT_EQ(0u, p.sim.rebootCount());
}

TEST(PodFirmware, RebootThatDoesNotReachTheProtectedArea)
{
    Bench::FirmwareFolder files("pod.hex");
    const std::string& path = files.write(programVersion(1, 15) + END_RECORD); // what the pod holds

    {
        // Back for the second check: one more pause, then a match.
        Pod p;
        p.bench.sim.timing().rebootTime = 1050000;
        const Sim::Micros start = p.bench.sim.clock().now();
        EXPECT_TRUE(p.eeprom().verifyFirmware(0, path));
        EXPECT_GE(p.bench.elapsedSince(start), 1000000 + 1100000 + 1000000);
        EXPECT_FALSE(p.sim.powered()) << "switched off after the check";
        EXPECT_FALSE(p.sim.inProtectedArea());
        EXPECT_FALSE(Poco::File("check_diff_firmware.txt").exists());
    }
    for (bool upgrade : {false, true})
    {
        Pod p;
        p.bench.sim.timing().rebootTime = 10000000; // longer than both waits
        auto run = [&] { upgrade ? p.eeprom().upgradeFirmware(0, path) : p.eeprom().verifyFirmware(0, path); };
        if (upgrade)
            EXPECT_EQ("Could not access sensor EEPROM", messageOf<Poco::IOException>(run));
        else
            EXPECT_EQ("Auto reboot failed, re-start manually your DRFN and try again.",
                      messageOf<Poco::NoPermissionException>(run));
        EXPECT_EQ(0u, p.bench.sim.controller().channelCode());
    }
    for (bool upgrade : {false, true})
    {
        // The boot flag does not stick: the pod restarts into its normal program.
        Pod p;
        p.sim.makeWordStuck(Driftnode3EEPROM::BOOT_FLAG);
        auto run = [&] { upgrade ? p.eeprom().upgradeFirmware(0, path) : p.eeprom().verifyFirmware(0, path); };
        EXPECT_EQ(upgrade ? "Could not access sensor EEPROM"
                          : "Firmware Upgrade failed, impossible to switch to protected area",
                  messageOf<Poco::IOException>(run));
        EXPECT_FALSE(p.sim.powered()) << "switched off";
        EXPECT_EQ(0u, p.bench.sim.controller().channelCode());
    }
}

TEST(PodFirmware, FailuresDuringTheUpgradeLeaveThePodInItsProtectedAreaOnChannelZero)
{
    Bench::FirmwareFolder files("pod.hex");
    std::vector<std::uint8_t> data(32, 0x5A);
    const std::string& path = files.write(programVersion(2, 0) + hexRecord(0x0002, data) + END_RECORD);

    {
        Pod p;
        p.sim.failRegisterAfter(0x10, 1); // window word 0x0010: its write goes through, its read-back not
        EXPECT_EQ("Could not access sensor EEPROM",
                  messageOf<Poco::IOException>([&] { p.eeprom().upgradeFirmware(3, path); }));
        EXPECT_TRUE(p.sim.inProtectedArea());
        EXPECT_EQ(0u, p.sim.channelCode());
        EXPECT_EQ(0u, p.bench.sim.controller().channelCode());
    }
    {
        Pod p;
        p.sim.pokeEepromWord(0x0010, 0x1234);
        p.sim.makeWordStuck(0x0010);
        EXPECT_FALSE(p.eeprom().upgradeFirmware(3, path));
        EXPECT_TRUE(p.sim.powered());
        EXPECT_TRUE(p.sim.inProtectedArea()) << "ready for another try";
        EXPECT_EQ(0u, p.sim.channelCode());
        EXPECT_EQ(0u, p.bench.sim.controller().channelCode());
        const std::vector<std::uint16_t> control = p.controlWrites();
        EXPECT_EQ(0u, std::count(control.begin(), control.end(), 0x0323));

        // Another try starts from the protected area: no second reboot.
        p.sim.makeWordStuck(0x0010, false);
        EXPECT_TRUE(p.eeprom().upgradeFirmware(3, path));
        EXPECT_EQ(1u, p.sim.rebootCount());
        EXPECT_EQ(0x5A5Au, p.sim.eepromWord(0x0010));
    }
}

// The controller is pulled in the middle of each phase of an upgrade: never a success but the
// exception the upgrade documents, and once it is plugged back a new connection brings the pod
// and the controller to channel index 0, where another try goes through.
TEST(PodFirmware, UnplugDuringTheUpgradeFailsAndThePodComesBackToChannelZero)
{
    Bench::FirmwareFolder files("pod.hex");
    std::string hex = programVersion(2, 3);
    for (std::uint16_t address = 0x0002; address < 0x0202; address += 16)
        hex += hexRecord(address, std::vector<std::uint8_t>(16, static_cast<std::uint8_t>(address)));
    const std::string& path = files.write(hex + END_RECORD);

    for (ProgressStep::Phase phase :
         {ProgressStep::Reboot, ProgressStep::Erase, ProgressStep::Write, ProgressStep::Read})
    {
        SCOPED_TRACE(std::string("unplugged during ") + phaseName(phase));
        Pod p;
        p.bench.sim.setBusyChannel(1); // the upgrade runs on channel 2
        // Halfway through the words, or as the phase starts when it counts none.
        bool pulled = false;
        ScopedProgressFunction observer([&](const ProgressStep& s) {
            if (pulled || s.phase != phase || s.wordsDone < s.wordsTotal / 2) return;
            p.bench.sim.disappearAt(p.bench.sim.clock().now());
            pulled = true;
        });
        bool upgraded = false;
        EXPECT_EQ("Could not access sensor EEPROM",
                  messageOf<Poco::IOException>([&] { upgraded = p.eeprom().upgradeFirmware(1, path); }));
        EXPECT_FALSE(upgraded);
        const std::vector<std::uint16_t> control = p.controlWrites();
        EXPECT_EQ(0, std::count(control.begin(), control.end(), 0x0323)) << "the new program was started";
        EXPECT_TRUE(pulled);

        // Plugged back: the old transport is cut off, so the host connects again.
        p.bench.reconnect();
        Driftnode3& pod = p.bench.addPodObject(SERIAL);
        EXPECT_TRUE(pod.isReachable(true)) << "the pod is lost";
        EXPECT_EQ(0u, p.sim.channelCode());
        EXPECT_EQ(0u, p.bench.sim.controller().channelCode());

        EXPECT_TRUE(pod.getEEPROM().upgradeFirmware(1, path));
        EXPECT_EQ(0xD323u, p.sim.eepromWord(Sim::Pod::kProgramVersion));
        EXPECT_FALSE(p.sim.inProtectedArea());
        EXPECT_EQ(0u, p.bench.sim.controller().channelCode());
    }
}

TEST(PodFirmware, VerifyWritesTheDifferencesAndLeavesTheProgramAlone)
{
    Bench::FirmwareFolder files("pod.hex");
    Pod p;
    const std::string& path = files.write(programVersion(1, 15) + hexRecord(0x0010, {0xAA, 0xBB, 0xCC}) + END_RECORD);
    p.sim.pokeEepromWord(0x0012, 0xCC00);

    EXPECT_FALSE(p.eeprom().verifyFirmware(0, path));
    EXPECT_EQ("File is valid\n"
              "eeprom @0\td31f\nfile @0\td31f\n"
              "eeprom @10\tffff\nfile @10\taabb\n"
              "eeprom @12\tcc\nfile @12\tcc\n\n",
              files.report());
    EXPECT_EQ(1u, Bench::windowWrites(p.bench.sim.recorder()).size()) << "only the boot flag";
    EXPECT_EQ(0x0323u, p.controlWrites().back());
    EXPECT_FALSE(p.sim.inProtectedArea());
    EXPECT_FALSE(p.sim.powered());
    EXPECT_EQ(0u, p.bench.sim.controller().channelCode());
}

TEST(PodFirmware, ReservedDataNamesTheCalibrationAndBootFlagBytesAFileWouldWrite)
{
    Bench::FirmwareFolder files("pod.hex");
    using Area = Driftnode3EEPROM::ReservedArea;
    auto reserved = [&](const std::string& records) {
        FirmwareImage image(files.write(programVersion(2, 0) + records + END_RECORD));
        EXPECT_TRUE(image.isValid());
        std::vector<std::tuple<Area, std::uint32_t, std::uint32_t>> found;
        for (const Driftnode3EEPROM::ReservedData& d : Driftnode3EEPROM::reservedData(image))
            found.emplace_back(d.area, d.first, d.last);
        return found;
    };
    typedef std::vector<std::tuple<Area, std::uint32_t, std::uint32_t>> Found;
    const std::vector<std::uint8_t> sixteen(16, 0x00);

    EXPECT_EQ((Found{{Area::WorkingCalibration, 0xFA00, 0xFA0F}}), reserved(hexRecord(0xFA00, sixteen)));
    EXPECT_EQ((Found{{Area::BootFlag, 0xFFFE, 0xFFFF}}), reserved(hexRecord(0xFFFE, {0xFF, 0xFE})));
    // Up to the last program byte, and past the manufacturing copy short of the boot flag.
    EXPECT_EQ(Found{},
              reserved(hexRecord(0xF9F0, sixteen) + hexRecord(0xFE00, sixteen) + hexRecord(0xFFFA, {1, 2, 3, 4})));
    // Across the border of the two copies; a last single byte counts alone.
    EXPECT_EQ((Found{{Area::WorkingCalibration, 0xFBF8, 0xFBFF}, {Area::ManufacturingCalibration, 0xFC00, 0xFDFE}}),
              reserved(hexRecord(0xFBF8, sixteen) + hexRecord(0xFDFC, {1, 2, 3})));
    EXPECT_EQ((Found{{Area::ManufacturingCalibration, 0xFC10, 0xFC11}, {Area::BootFlag, 0xFFFE, 0xFFFE}}),
              reserved(hexRecord(0xFC10, {1, 2}) + hexRecord(0xFFFE, {1})));
}

// An upgrade cut off once the pod runs its protected area on the upgrade's channel: a new
// connection cannot reach it on channel 0, the rescue finds it and brings it back there
// still in its protected area, and the next upgrade needs no reboot.
TEST(PodFirmware, RescueBringsAPodLeftOnTheUpgradeChannelBackToChannelZero)
{
    Bench::FirmwareFolder files("pod.hex");
    std::string hex = programVersion(2, 3);
    for (std::uint16_t address = 0x0002; address < 0x0042; address += 16)
        hex += hexRecord(address, std::vector<std::uint8_t>(16, 0x3C));
    const std::string& path = files.write(hex + END_RECORD);

    Pod p;
    p.bench.sim.setBusyChannel(1); // the upgrade runs on channel 2
    {
        bool pulled = false;
        ScopedProgressFunction observer([&](const ProgressStep& s) {
            if (pulled || s.phase != ProgressStep::Erase) return;
            p.bench.sim.disappearAt(p.bench.sim.clock().now());
            pulled = true;
        });
        EXPECT_THROW(p.eeprom().upgradeFirmware(1, path), Poco::IOException);
        ASSERT_TRUE(pulled);
    }
    ASSERT_TRUE(p.sim.inProtectedArea());
    ASSERT_EQ(0x20u, p.sim.channelCode()) << "channel 2 of the table";

    p.bench.reconnect();
    Driftnode3& pod = p.bench.addPodObject(SERIAL);
    EXPECT_FALSE(pod.isReachable(false));

    std::vector<unsigned> tried;
    const Driftnode3EEPROM::Rescue found =
        pod.getEEPROM().rescue(1, [&](unsigned channel) { tried.push_back(channel); });
    EXPECT_TRUE(found.found);
    EXPECT_EQ(2u, found.channel);
    EXPECT_TRUE(found.inProtectedArea);
    EXPECT_EQ((std::vector<unsigned>{1, 2}), tried);
    EXPECT_EQ(0u, p.sim.channelCode());
    EXPECT_TRUE(p.sim.inProtectedArea());
    EXPECT_EQ(0u, p.bench.sim.controller().channelCode());

    EXPECT_TRUE(pod.getEEPROM().upgradeFirmware(1, path));
    EXPECT_EQ(1u, p.sim.rebootCount());
    EXPECT_EQ(0xD323u, p.sim.eepromWord(Sim::Pod::kProgramVersion));
    EXPECT_EQ(0x3C3Cu, p.sim.eepromWord(0x0040));
    EXPECT_FALSE(p.sim.inProtectedArea());

    // A pod that answers nowhere: every channel once, in the upgrade's search order from the
    // start channel (round 1-21), then the rest, and the controller back on 0.
    p.sim.setPowered(true);
    p.sim.setChannelCode(0x20);
    tried.clear();
    Driftnode3& absent = p.bench.addPodObject(0xA10002);
    EXPECT_FALSE(absent.getEEPROM().rescue(3, [&](unsigned channel) { tried.push_back(channel); }).found);
    std::vector<unsigned> order;
    for (unsigned ch = 3; ch <= 21; ++ch) order.push_back(ch);
    for (unsigned ch : {1, 2}) order.push_back(ch);
    for (unsigned ch = 22; ch <= 31; ++ch) order.push_back(ch);
    order.push_back(0);
    EXPECT_EQ(order, tried);
    EXPECT_EQ(0u, p.bench.sim.controller().channelCode());
    EXPECT_EQ(0x20u, p.sim.channelCode()) << "another pod's rescue leaves this one alone";
}
