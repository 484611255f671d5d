#include "PodBench.h"
#include "ScriptedChannel.h"
#include <Poco/Channel.h>
#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Tarnlink/Progress.h>
#include <gtest/gtest.h>
#include <climits>

using namespace Tarnlink;
using Sim::Record;
using Tests::messageOf;
using Tests::ScriptedChannel;

namespace {

/// Collects the protocol's log lines, to count exchanges that leave nothing on the simulator's side.
class LineCollector : public Poco::Channel
{
public:
    void log(const Poco::Message& msg) override { lines.push_back(msg.getText()); }
    std::size_t count(const std::string& text) const
    {
        std::size_t n = 0;
        for (const auto& l : lines) n += l == text;
        return n;
    }
    /// Raw reads that came back empty, and whether the last raw read was one of them.
    std::size_t emptyRawReads(bool& lastEmpty) const
    {
        std::size_t n = 0;
        for (std::size_t i = 0; i < lines.size(); ++i)
        {
            if (lines[i] != "RX: [READ_RAW_DATA]") continue;
            lastEmpty = i + 1 == lines.size() || lines[i + 1].compare(0, 3, "RX:") != 0 ||
                        lines[i + 1] == "RX: [READ_RAW_DATA]";
            n += lastEmpty;
        }
        return n;
    }
    std::vector<std::string> lines;
};

std::vector<unsigned> values(const std::vector<Record>& records)
{
    std::vector<unsigned> out;
    for (const auto& r : records) out.push_back(r.value);
    return out;
}

struct SimController : ::testing::Test
{
    explicit SimController(Sim::Generation generation = Sim::Generation::Second) : sim(generation, 7) {}

    void SetUp() override
    {
        channel = new Sim::VirtualChannel(sim, 100);
        protocol = new Protocol(channel.get());
    }
    void TearDown() override
    {
        if (collector)
        {
            protocol->setLogger(nullptr);
            Poco::Logger::destroy("ControllerTest");
        }
    }
    template <class C>
    std::unique_ptr<C> open()
    {
        auto c = std::make_unique<C>(protocol.get());
        sim.recorder().clear();
        return c;
    }
    /// Routes the traffic lines into a collector.
    LineCollector& collect()
    {
        collector = new LineCollector;
        Poco::Logger& logger = Poco::Logger::create("ControllerTest", collector, Poco::Message::PRIO_INFORMATION);
        protocol->setLogger(&logger);
        return *collector;
    }
    std::vector<Record> writes(unsigned address) { return sim.recorder().requests(Opcode::WRITE_FPGA_REG, address); }

    Sim::Simulator sim;
    Sim::ScopedVirtualSleep virtualSleep{sim};
    Poco::AutoPtr<Sim::VirtualChannel> channel;
    Protocol::Ptr protocol;
    Poco::AutoPtr<LineCollector> collector;
};

/// A generation 1 controller on a scripted channel.
struct Scripted
{
    explicit Scripted(int timeout = 200) { ch->setTimeout(timeout); }
    Poco::AutoPtr<ScriptedChannel> ch{new ScriptedChannel};
    Protocol::Ptr protocol{new Protocol(ch.get())};
    ControllerV1 c{protocol};
};

struct SimControllerV1 : SimController
{
    SimControllerV1() : SimController(Sim::Generation::First) {}
};

} // namespace

TEST_F(SimController, StatesWriteTheirBitsAndDrain)
{
    auto c = open<ControllerV2>();
    LineCollector& log = collect();

    c->setState(Controller::Pairing);
    EXPECT_EQ(Controller::Pairing, c->getState());
    EXPECT_EQ(Sim::ControllerState::Pairing, sim.controller().state());
    c->setState(Controller::Pairing); // no change, nothing sent
    EXPECT_EQ((std::vector<unsigned>{1}), values(writes(CtrlReg::PAIRING_CTRL)));

    // Pairing -> Listening leaves pairing (echoed) and enters listening.
    c->setState(Controller::Listening);
    EXPECT_EQ((std::vector<unsigned>{1, 0, 2}), values(writes(CtrlReg::PAIRING_CTRL)));
    EXPECT_EQ(Sim::ControllerState::Listening, sim.controller().state());

    // Leaving listening: 20 blind writes, then reads until two came back empty.
    sim.recorder().clear();
    log.lines.clear();
    c->setState(Controller::Idle);
    EXPECT_EQ(std::vector<unsigned>(20, 0), values(writes(CtrlReg::PAIRING_CTRL)));
    EXPECT_EQ(Sim::ControllerState::Idle, sim.controller().state());
    bool lastEmpty = false;
    EXPECT_EQ(2u, log.emptyRawReads(lastEmpty));
    EXPECT_TRUE(lastEmpty);
    EXPECT_GT(log.count("RX: [READ_RAW_DATA]"), 2u); // the echoes of the blind writes came first
    EXPECT_EQ(0u, sim.available());

    // Transmission: three blind starts; leaving: 20 blind stops, listen, drain to the first empty read, echoed stop.
    sim.recorder().clear();
    c->setState(Controller::Transmission);
    EXPECT_EQ(std::vector<unsigned>(3, 0x8000), values(writes(CtrlReg::TDMA_PERIOD)));
    EXPECT_EQ(Sim::ControllerState::Transmission, sim.controller().state());
    sim.recorder().clear();
    log.lines.clear();
    c->setState(Controller::Idle);
    EXPECT_EQ(std::vector<unsigned>(20, 0), values(writes(CtrlReg::TDMA_PERIOD)));
    EXPECT_EQ((std::vector<unsigned>{2, 0}), values(writes(CtrlReg::PAIRING_CTRL)));
    // Once streaming stopped the controller echoes the rest; the drain takes that up to its first empty read.
    EXPECT_EQ(1u, log.emptyRawReads(lastEmpty));
    EXPECT_TRUE(lastEmpty);
    EXPECT_EQ(0u, sim.available());
    const Record last = sim.recorder().records().back();
    EXPECT_EQ(Record::Reply, last.kind); // the final write waited for its echo
    EXPECT_EQ(CtrlReg::PAIRING_CTRL, last.address);
    EXPECT_EQ(0u, last.value);
    EXPECT_EQ(Sim::ControllerState::Idle, sim.controller().state());
}

TEST_F(SimController, QuietOperationsSendNothing)
{
    auto c = open<ControllerV2>();
    const Sim::Micros before = sim.clock().now();
    std::string frame;
    EXPECT_FALSE(c->readDataFrame(frame));
    std::uint32_t serial = 0;
    EXPECT_FALSE(c->readPairingReport(serial));
    EXPECT_EQ(before, sim.clock().now());
    EXPECT_TRUE(sim.recorder().records().empty());

    c->setSlaveAddress(0x123456);
    c->setSlaveAddress(0x123456);
    EXPECT_EQ((std::vector<unsigned>{0x3456}), values(writes(CtrlReg::SLAVE_ADDR_LSB)));
    EXPECT_EQ((std::vector<unsigned>{0x1212}), values(writes(CtrlReg::SLAVE_ADDR_MSB)));
    EXPECT_EQ(0x123456u, sim.controller().selectedSerial());
    c->setSlaveAddress(0x123457);
    EXPECT_EQ(2u, writes(CtrlReg::SLAVE_ADDR_LSB).size());

    c->setFrameMode(1);
    EXPECT_EQ(22u, c->getFrameLength());
    c->setFrameMode(2); // unknown: unchanged, but still written
    EXPECT_EQ(22u, c->getFrameLength());
    EXPECT_EQ((std::vector<unsigned>{1, 1}), values(writes(CtrlReg::FRAME_MODE)));
    EXPECT_EQ(22u, sim.controller().frameLength());

    // Out-of-table channels are refused before anything is sent.
    sim.recorder().clear();
    EXPECT_THROW(c->setChannel(32), Poco::InvalidArgumentException);
    EXPECT_THROW(c->testChannel(40, true), Poco::InvalidArgumentException);
    EXPECT_EQ("Wrong channel input, out of available range",
              messageOf<Poco::NoPermissionException>([&] { c->findFreeChannel(32); }));
    EXPECT_THROW(c->findFreeChannelBothModes(99), Poco::NoPermissionException);
    EXPECT_TRUE(sim.recorder().records().empty());

    c->setChannel(7);
    EXPECT_EQ((std::vector<unsigned>{0x0F46}), values(writes(CtrlReg::RF_CHANNEL)));
    EXPECT_EQ(7u, c->getChannel());
    sim.controller().setRegisterValue(CtrlReg::RF_CHANNEL, 0x0F01);
    c->getMemory().getRegister(CtrlReg::RF_CHANNEL).field(0).set(0, false); // force a read
    EXPECT_EQ(Controller::UNKNOWN_CHANNEL, c->getChannel());

    EXPECT_TRUE(c->probe());
    sim.disappearAt(sim.clock().now());
    EXPECT_FALSE(c->probe());
}

TEST_F(SimController, VersionsTickAndFrequency)
{
    sim.controller().setFirmwareVersion(0, 6);
    {
        auto c = open<ControllerV2>();
        EXPECT_EQ(5u, c->getHardwareCode());
        EXPECT_EQ(1000u, c->getTickNanoseconds());
        c->setFrequency(320);
        EXPECT_EQ((std::vector<unsigned>{3125}), values(writes(CtrlReg::TDMA_PERIOD)));
        EXPECT_DOUBLE_EQ(320.0, c->getExactFrequency());
        EXPECT_EQ(-1, c->compareVersion(0, 7));
        EXPECT_EQ(1, c->compareVersion(0, 5));
        EXPECT_EQ(0, c->compareVersion(0, 6));
        EXPECT_EQ(20u, c->getPodTimingDivisor());
    }
    sim.controller().setFirmwareVersion(0, 7);
    auto c = open<ControllerV2>();
    EXPECT_EQ(2000u, c->getTickNanoseconds());
    c->setFrequency(160);
    EXPECT_DOUBLE_EQ(160.0, c->getExactFrequency());
    EXPECT_EQ(160, c->getFrequency());
    EXPECT_EQ(1u, sim.recorder().requests(Opcode::READ_FPGA_REG, CtrlReg::VERSION).size()); // read once, then known

    // A period the host did not set is read from the controller.
    sim.controller().setRegisterValue(CtrlReg::TDMA_PERIOD, 3125);
    c->getMemory().getRegister(CtrlReg::TDMA_PERIOD).field(0).set(0, false);
    EXPECT_DOUBLE_EQ(160.0, c->getExactFrequency());

    c->setFrequency(200);
    EXPECT_EQ(2500u, values(writes(CtrlReg::TDMA_PERIOD)).back());
    EXPECT_EQ(200, c->getFrequency());
    EXPECT_THROW(c->setFrequency(0), Poco::InvalidArgumentException);

    // No period yet: no division by zero.
    sim.controller().setRegisterValue(CtrlReg::TDMA_PERIOD, 0);
    auto fresh = open<ControllerV2>();
    EXPECT_EQ(0.0, fresh->getExactFrequency());
    EXPECT_EQ(0, fresh->getFrequency());
}

TEST_F(SimController, SerialNumberFromEepromAndSyncMode)
{
    sim.controller().setSerialNumber(0xABCDEF);
    auto c = open<ControllerV2>();
    EXPECT_EQ(0xABCDEFu, c->getSerialNumber());
    EXPECT_FALSE(sim.controller().eepromOpen()); // access closed again

    // Whatever mode is asked for, SYNC_CTRL only ever carries 0.
    c->setSyncMode(1);
    const std::vector<Record> sync = writes(CtrlReg::SYNC_CTRL);
    ASSERT_EQ(1u, sync.size());
    EXPECT_EQ(std::string("\x55\xAA\x55\xAA\x04\x0B\x00\x00", 8), sync[0].bytes);
    EXPECT_EQ(0u, sim.controller().registerValue(CtrlReg::SYNC_CTRL));
    EXPECT_EQ(0u, c->getSyncMode());

    // An EEPROM that does not answer leaves the serial number 0 and the constructor quiet.
    sim.controller().failRegisterAfter(CtrlReg::EEPROM_DATA, 0);
    auto silent = open<ControllerV2>();
    EXPECT_EQ(0u, silent->getSerialNumber());
}

TEST_F(SimControllerV1, FirstGenerationAnswers)
{
    auto c = open<ControllerV1>();
    c->setSyncMode(1);
    EXPECT_EQ(0u, c->getSyncMode());
    EXPECT_EQ(0u, c->getSerialNumber());
    EXPECT_FALSE(c->verifyFirmware("none.hex"));
    EXPECT_FALSE(c->upgradeFirmware("none.hex"));
    EXPECT_EQ(100u, c->getPodTimingDivisor());
    EXPECT_EQ(32000u, c->getTickNanoseconds());
    EXPECT_EQ(2u, c->getHardwareCode());
    EXPECT_TRUE(sim.recorder().requests(Opcode::WRITE_FPGA_REG).empty());
    // After the reset RF_CHANNEL carries 3 in fields 1 and 2.
    EXPECT_EQ(0x0F00u, c->getMemory().getRegister(CtrlReg::RF_CHANNEL).value(false));
    EXPECT_TRUE(c->getMemory().getRegister(CtrlReg::RF_CHANNEL).isSynced());
    EXPECT_FALSE(c->getMemory().hasRegister(CtrlReg::EEPROM_ADDR));
}

TEST_F(SimController, ChannelSearches)
{
    auto c = open<ControllerV2>();
    for (unsigned i = 0; i < 32; ++i) sim.setBusyChannel(i);
    unsigned found = 99;
    EXPECT_FALSE(c->findFreeChannel(0, &found));
    EXPECT_EQ(99u, found);
    // Channel 0 is the current one (no switch); every other is set, then channel 0 restored.
    std::vector<unsigned> tested;
    for (const auto& w : writes(CtrlReg::RF_CHANNEL))
        if ((w.value & 0x7F) != 0) tested.push_back(Controller::channelIndex(w.value & 0x7F));
    std::vector<unsigned> expected;
    for (unsigned i = 1; i <= 21; ++i) expected.push_back(i);
    EXPECT_EQ(expected, tested);
    EXPECT_EQ(22u, values(writes(CtrlReg::PAIRING_CTRL)).size() / 2); // enter and leave pairing per channel
    EXPECT_EQ(0u, sim.controller().channelCode());

    for (unsigned i = 0; i < 32; ++i) sim.setBusyChannel(i, i >= 1 && i <= 4);
    sim.recorder().clear();
    EXPECT_TRUE(c->findFreeChannel(1, &found));
    EXPECT_EQ(5u, found);
    EXPECT_EQ(0u, c->getChannel()); // the search leaves the controller where it was

    // Both frame modes: the other mode, then back, around each test.
    sim.recorder().clear();
    EXPECT_TRUE(c->findFreeChannelBothModes(3, &found));
    EXPECT_EQ(5u, found);
    EXPECT_EQ((std::vector<unsigned>{1, 0, 1, 0, 1, 0}), values(writes(CtrlReg::FRAME_MODE)));
    EXPECT_EQ(16u, c->getFrameLength());

    // A start above 21 goes on round 1-21 and ends.
    for (unsigned i = 0; i < 32; ++i) sim.setBusyChannel(i);
    sim.recorder().clear();
    EXPECT_FALSE(c->findFreeChannel(25, &found));
    EXPECT_EQ(22u, values(writes(CtrlReg::PAIRING_CTRL)).size() / 2);
}

TEST(ControllerScripted, WaitForPairingCountsReadsOfTheTimeout)
{
    const std::string enter = "55 aa 55 aa 04 05 00 01", leave = "55 aa 55 aa 04 05 00 00";
    for (int timeouts : {4, 5})
    {
        Scripted s; // 200 ms time-out: 5 reads in one second
        s.ch->deliverHex(enter);
        for (int i = 0; i < timeouts; ++i) s.ch->timeout();
        s.ch->deliverHex("55 aa 55 aa 06 12 34 56").deliverHex(leave);
        std::uint32_t serial = 0;
        const bool paired = s.c.waitForPairing(serial, 1);
        EXPECT_EQ(timeouts == 4, paired);
        EXPECT_EQ(paired ? 0x123456u : 0u, serial);
        EXPECT_EQ(Controller::Idle, s.c.getState());
    }

    // A time-out of 0 has nothing to divide by: one read per 100 ms.
    Scripted s(0);
    ScriptedChannel* ch = s.ch.get();
    ControllerV1& c = s.c;
    ch->deliverHex(enter);
    for (int i = 0; i < 10; ++i) ch->timeout();
    ch->deliverHex(leave);
    std::uint32_t serial = 0;
    EXPECT_FALSE(c.waitForPairing(serial, 1));
    EXPECT_EQ(0u, ch->unread());
    EXPECT_EQ(Controller::Idle, c.getState());

    // A wait whose milliseconds pass 2^32 still waits: two reads of the longest time-out.
    ch->setTimeout(INT_MAX);
    ch->deliverHex(enter).timeout().deliverHex("55 aa 55 aa 06 00 00 07").deliverHex(leave);
    EXPECT_TRUE(c.waitForPairing(serial, 4294968));
    EXPECT_EQ(7u, serial);
}

TEST(ControllerScripted, DrainsAndQuietChecksAreBounded)
{
    // A channel that never falls silent: each drain stops after 300 reads.
    for (auto state : {Controller::Listening, Controller::Transmission})
    {
        Scripted s;
        ScriptedChannel* ch = s.ch.get();
        ControllerV1& c = s.c;
        if (state == Controller::Listening) ch->deliverHex("55 aa 55 aa 04 05 00 02");
        c.setState(state);
        const std::size_t perRead = state == Controller::Listening ? 1000 : 1024;
        ch->deliver(std::string(300 * perRead + 500, '\x33'));
        ch->clearWritten();
        c.setState(Controller::Idle);
        EXPECT_EQ(Controller::Idle, c.getState());
        EXPECT_EQ(500u, ch->unread()) << state;
        // Leaving transmission without an empty read ends on a blind PAIRING_CTRL write, no echo awaited.
        const std::size_t blind = state == Controller::Listening ? 20 : 22;
        ASSERT_EQ(blind, ch->writes().size()) << state;
        EXPECT_EQ("55 aa 55 aa 04 05 00 00", ScriptedChannel::hex(ch->writes().back()));
    }

    // Quiet checks count reads of the channel's time-out, at least one; 0 or -1 counts 100 ms per read.
    struct Case
    {
        int timeout, milliseconds, reads;
    };
    for (const Case& k : {Case{200, 1000, 5}, Case{1000, 500, 1}, Case{-1, 500, 5}, Case{0, 300, 3}})
    {
        Scripted s(k.timeout);
        EXPECT_TRUE(s.c.isChannelQuiet(k.milliseconds));
        EXPECT_EQ(k.reads, s.ch->readCalls()) << k.timeout;
    }
    Scripted s;
    s.ch->timeout().timeout().deliverHex("01").timeout().deliverHex("02");
    EXPECT_FALSE(s.c.isChannelQuiet(1000));
    EXPECT_EQ(3, s.ch->readCalls());
    EXPECT_EQ(1u, s.ch->unread());
}

TEST_F(SimController, FirmwareUpgradeAndVerify)
{
    Bench::FirmwareFolder files("ctrl.hex");
    files.write(":0730000001020304050607DD\n:020032001122AA\n:00000001FF\n");
    sim.controller().eeprom().pokeWord(0x3100, 0x1234); // inside the erased sectors
    auto c = open<ControllerV2>();
    c->setChannel(3);

    std::vector<std::string> progress;
    {
        ScopedProgressFunction observer([&](const ProgressStep& s) {
            EXPECT_TRUE(s.controller);
            EXPECT_EQ(c->getSerialNumber(), s.serial);
            progress.push_back(std::string(phaseName(s.phase)) + " " + std::to_string(s.wordsDone) + "/" +
                               std::to_string(s.wordsTotal));
        });
        EXPECT_TRUE(c->upgradeFirmware(files.path));
    }
    EXPECT_EQ(
        (std::vector<std::string>{"erase 0/0", "write 0/5", "write 1/5", "write 2/5", "write 3/5", "write 4/5",
                                  "write 5/5", "read 0/5", "read 1/5", "read 2/5", "read 3/5", "read 4/5", "read 5/5"}),
        progress);
    const auto& eeprom = sim.controller().eeprom();
    EXPECT_EQ(0x0102u, eeprom.word(0x3000));
    EXPECT_EQ(0x0506u, eeprom.word(0x3004));
    EXPECT_EQ(0x07FFu, eeprom.word(0x3006)); // the single trailing byte, its partner left erased
    EXPECT_EQ(0x1122u, eeprom.word(0x0032));
    EXPECT_EQ(0xFFFFu, eeprom.word(0x3100));
    std::vector<unsigned> erased;
    for (const auto& w : writes(CtrlReg::EEPTROM_CTRL))
        if ((w.value & 0xFF) == 4) erased.push_back(w.value >> 8);
    ASSERT_EQ(31u, erased.size());
    EXPECT_EQ(24u, erased.front());
    EXPECT_EQ(54u, erased.back());
    EXPECT_FALSE(sim.controller().eepromOpen());
    EXPECT_EQ(Controller::channelCode(3), sim.controller().channelCode()); // registers written back
    EXPECT_TRUE(c->verifyFirmware(files.path));
    EXPECT_FALSE(Poco::File("check_diff_firmware.txt").exists());

    // A word the EEPROM refuses: the upgrade says so and the verification reports it.
    sim.controller().eeprom().pokeWord(0x3002, 0x0300);
    sim.controller().eeprom().setStuck(0x3002);
    EXPECT_FALSE(c->upgradeFirmware(files.path));
    sim.controller().eeprom().setStuck(0x3002, false);
    sim.controller().eeprom().pokeWord(0x3002, 0x0300);
    EXPECT_FALSE(c->verifyFirmware(files.path));
    const std::string report = files.report();
    EXPECT_NE(std::string::npos, report.find("eeprom @3002\t300\nfile @3002\t304\n")) << report;
    EXPECT_EQ(0u, report.find("File is valid\n"));

    files.write(":0730000001020304050607DD\n"); // no end record
    EXPECT_EQ("Invalid firmware file", messageOf<Poco::FileException>([&] { c->upgradeFirmware(files.path); }));
    EXPECT_THROW(c->verifyFirmware(files.path), Poco::FileException);

    files.write(":020032001122AA\n:00000001FF\n");
    sim.controller().failRegisterAfter(CtrlReg::EEPROM_DATA, 0);
    EXPECT_EQ("Could not verify ctrl EEPROM", messageOf<Poco::IOException>([&] { c->verifyFirmware(files.path); }));
    EXPECT_EQ("Could not upgrade ctrl EEPROM", messageOf<Poco::IOException>([&] { c->upgradeFirmware(files.path); }));
}
