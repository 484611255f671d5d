#include "Helpers.h"
#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Tarnlink/Sim/ScopedVirtualSleep.h>
#include <Tarnlink/Sim/VirtualChannel.h>
#include <gtest/gtest.h>

using namespace SimTest;

namespace {

std::string readAll(Poco::DeviceIO::Channel& channel, int length)
{
    std::string out;
    channel.readString(out, length);
    return out;
}

} // namespace

TEST(SimVirtualChannel, ReadsMoveVirtualTimeInsteadOfWaiting)
{
    Simulator sim;
    Poco::AutoPtr<VirtualChannel> channel(new VirtualChannel(sim, 100));
    std::string request = Wire::request(Wire::ReadController, Wire::VERSION);
    EXPECT_EQ(8, channel->write(request.data(), 8));
    // The marker is searched byte by byte, the body fetched in one read.
    EXPECT_EQ("\x55", readAll(*channel, 1));
    EXPECT_EQ(sim.timing().controllerReply, sim.clock().now());
    readAll(*channel, 3);
    EXPECT_EQ("05 00 05 13", Wire::toHex(readAll(*channel, 4)));

    // Nothing to come: the read returns empty after exactly the time-out.
    Micros before = sim.clock().now();
    EXPECT_EQ("", readAll(*channel, 1000));
    EXPECT_EQ(before + 100000, sim.clock().now());

    // Pending-data read does not wait.
    before = sim.clock().now();
    EXPECT_EQ("", readAll(*channel, 0));
    EXPECT_EQ(before, sim.clock().now());

    // Time-out -1 waits for the full count.
    channel->setTimeout(-1);
    sim.addPod(0x100001);
    select(sim, 0x100001);
    sim.take();
    channel->write(Wire::request(Wire::ReadSlave, Wire::POD_VERSION).data(), 8);
    EXPECT_EQ("55 aa 55 aa 03 80 03 1f", Wire::toHex(readAll(*channel, 8)));
    // Short only when nothing more can ever come, also with part of it already readable.
    channel->write(Wire::request(Wire::ReadController, Wire::VERSION).data(), 8);
    channel->write(Wire::request(Wire::ReadController, Wire::TEST).data(), 8);
    sim.advance(sim.timing().controllerReply);
    EXPECT_EQ("55 aa 55 aa 05 00 05 13 55 aa 55 aa 05 06 00 00", Wire::toHex(readAll(*channel, 20)));

    // Fixed waits of the library advance the same clock.
    before = sim.clock().now();
    {
        ScopedVirtualSleep bind(sim);
        Tarnlink::sleepMilliseconds(30);
    }
    EXPECT_EQ(before + 30000, sim.clock().now());
}

TEST(SimVirtualChannel, ControllerDisappearsAtChosenTime)
{
    Simulator sim;
    sim.disappearAt(250000);
    Poco::AutoPtr<VirtualChannel> channel(new VirtualChannel(sim, 100));
    EXPECT_EQ("", readAll(*channel, 1));
    EXPECT_EQ("", readAll(*channel, 1));
    // The third wait crosses 250 ms.
    EXPECT_THROW(readAll(*channel, 1), Poco::IOException);
    EXPECT_EQ(250000, sim.clock().now());
    EXPECT_THROW(channel->write("x", 1), Poco::IOException);
}

TEST(SimFaults, EachFaultShowsOnTheWire)
{
    const std::string clean = hexReply(Wire::ReadController, Wire::VERSION, 0x0513);
    auto faulty = [&](void (*set)(Faults&)) {
        Simulator sim;
        set(sim.faults());
        return exchange(sim, Wire::ReadController, Wire::VERSION);
    };
    EXPECT_EQ(clean, faulty([](Faults&) {}));
    EXPECT_EQ("55 aa 55 aa 05 01 05 13", faulty([](Faults& f) { f.wrongEcho = 1.0; }));
    EXPECT_EQ(7u * 3 - 1, faulty([](Faults& f) { f.dropByte = 1.0; }).size());
    std::string garbled = faulty([](Faults& f) { f.garbage = 1.0; });
    EXPECT_GT(garbled.size(), clean.size());
    EXPECT_EQ(clean, garbled.substr(garbled.size() - clean.size()));
    std::string corrupted = Wire::fromHex(faulty([](Faults& f) { f.corruptByte = 1.0; }));
    std::string expected = Wire::fromHex(clean);
    ASSERT_EQ(expected.size(), corrupted.size());
    int bits = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        bits += __builtin_popcount(std::uint8_t(expected[i] ^ corrupted[i]));
    EXPECT_EQ(1, bits);

    // Controller time-outs hit pod replies only.
    Simulator sim;
    sim.addPod(0x100001);
    select(sim, 0x100001);
    sim.faults().controllerTimeout = 1.0;
    EXPECT_EQ(kTimeout, exchange(sim, Wire::ReadSlave, Wire::POD_VERSION));
    EXPECT_EQ(clean, exchange(sim, Wire::ReadController, Wire::VERSION));
}

namespace {

/// A fixed host script: configure, pair for a while, stream for a while, with faults on.
std::string run(std::uint32_t seed)
{
    Simulator sim(Generation::Second, seed);
    sim.faults().corruptByte = 0.05;
    sim.faults().garbage = 0.05;
    sim.setBusyChannel(0);
    sim.addPod(0x100001);
    sim.addPod(0x100002).setPairing(true);
    sim.feed(Wire::request(Wire::WriteController, Wire::PAIRING_CTRL, 1));
    sim.advance(500000);
    sim.feed(Wire::request(Wire::WriteController, Wire::PAIRING_CTRL, 0));
    select(sim, 0x100001);
    exchange(sim, Wire::WriteSlave, Wire::ID, 0x0300);
    exchange(sim, Wire::WriteController, Wire::FRAME_MODE, 1);
    sim.feed(Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500));
    std::string out;
    for (int i = 0; i < 50; ++i)
    {
        sim.advance(3000);
        out += sim.take();
    }
    // Everything that went out, pairing reports and noise included, with its time.
    for (const Record& r : sim.recorder().records())
        if (r.kind != Record::Request) out += std::to_string(r.time) + ":" + r.bytes;
    return out;
}

} // namespace

TEST(SimDeterminism, SameSeedSameBytes)
{
    std::string a = run(7);
    EXPECT_GT(a.size(), 2000u);
    EXPECT_EQ(a, run(7));
    EXPECT_NE(a, run(8));
}

TEST(SimClock, WaitsWithNothingEverToComeReturnAtOnce)
{
    Simulator idle;
    EXPECT_EQ(kNever, idle.nextEventTime());
    EXPECT_FALSE(idle.waitForOutput(kNever));
    EXPECT_EQ(0, idle.clock().now());
    EXPECT_THROW(idle.advanceTo(kNever), Poco::InvalidArgumentException);
    EXPECT_THROW(idle.advance(kNever), Poco::InvalidArgumentException);
    EXPECT_EQ(0, idle.clock().now());

    // Transmission with a period of 0, a pod set to stream, a busy channel while not
    // listening: none of it ever produces anything.
    Simulator sim;
    sim.addPod(0x100001).setRegisterValue(Wire::ID, 0x0300);
    sim.setBusyChannel(0);
    sim.feed(Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 0x8000));
    EXPECT_FALSE(sim.waitForOutput(kNever));
    EXPECT_EQ(0, sim.clock().now());

    // With a reply on its way an unlimited wait ends when it is readable, 300 us later.
    sim.feed(Wire::request(Wire::ReadController, Wire::TEST));
    EXPECT_TRUE(sim.waitForOutput(kNever));
    EXPECT_EQ(300, sim.clock().now());
    EXPECT_EQ("55 aa 55 aa 05 06 00 00", Wire::toHex(sim.take()));
    EXPECT_FALSE(sim.waitForOutput(kNever));
    EXPECT_EQ(300, sim.clock().now());
}

TEST(SimClock, OutputDueAtTheEndOfAStepIsReadableRightAfterIt)
{
    // Frames every 5 ms from the start (slot delay 0, so the first one carries number 1), and a
    // reply asked for at 12 ms that takes 2 ms; the host steps the clock 1 ms at a time.
    Simulator sim;
    sim.timing().controllerReply = 2000;
    sim.addPod(0x100001);
    select(sim, 0x100001);
    exchange(sim, Wire::WriteController, Wire::FRAME_MODE, 1);
    exchange(sim, Wire::WriteSlave, Wire::TDMA_DELAY, 0);
    exchange(sim, Wire::WriteSlave, Wire::ID, 0x0300);
    sim.advanceTo(100000);
    sim.take();
    sim.feed(Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500));
    for (int ms = 1; ms <= 40; ++ms)
    {
        if (ms == 13) sim.feed(Wire::request(Wire::ReadController, Wire::TEST)); // at 12 ms
        sim.advance(1000);
        std::string expected;
        if (ms == 14) expected += "55 aa 55 aa 05 06 00 00";
        if (ms % 5 == 0)
        {
            const std::string number = Wire::toHex(std::string{'\0', static_cast<char>(ms / 5)});
            expected += std::string(expected.empty() ? "" : " ") + "55 aa 55 aa 01 00 " + number;
        }
        std::string got = sim.take();
        if (got.size() == 27 || got.size() == 35) got.erase(got.size() - 19); // the frame's samples
        EXPECT_EQ(expected, Wire::toHex(got)) << ms << " ms";
    }
}

namespace {

/// A pod in pairing mode is told to reboot while the controller starts pairing; every
/// message of the first second, read either by polling each ms or by waiting to the end.
std::vector<Record> rebootWhilePairing(bool pollEveryMillisecond)
{
    Simulator sim;
    sim.addPod(0x100001).setPairing(true);
    sim.feed(Wire::request(Wire::WriteController, Wire::SLAVE_ADDR_LSB, 0x0001));
    sim.feed(Wire::request(Wire::WriteController, Wire::SLAVE_ADDR_MSB, 0x1210));
    sim.feed(Wire::request(Wire::WriteSlave, Wire::ID, 0x0800));
    sim.feed(Wire::request(Wire::WriteController, Wire::PAIRING_CTRL, 1));
    if (pollEveryMillisecond)
    {
        for (int ms = 0; ms < 1000; ++ms)
        {
            sim.advance(1000);
            sim.take();
        }
    }
    else
    {
        while (sim.waitForOutput(1000000)) sim.take();
    }
    EXPECT_EQ(1000000, sim.clock().now());
    std::vector<Record> out;
    for (const Record& r : sim.recorder().records())
        if (r.kind != Record::Request) out.push_back(r);
    return out;
}

} // namespace

TEST(SimDeterminism, OutputDoesNotDependOnHowTheHostPolls)
{
    const std::vector<Record> waited = rebootWhilePairing(false);
    const std::vector<Record> polled = rebootWhilePairing(true);
    // The reboot ends at 50 ms; the first report follows 20 ms later, then one every 200 ms.
    std::vector<Micros> reports;
    for (const Record& r : waited)
        if (r.kind == Record::PairingReport)
        {
            reports.push_back(r.time);
            EXPECT_EQ("55 aa 55 aa 06 10 00 01", Wire::toHex(r.bytes));
        }
    EXPECT_EQ((std::vector<Micros>{70000, 270000, 470000, 670000, 870000}), reports);
    ASSERT_EQ(waited.size(), polled.size());
    for (std::size_t i = 0; i < waited.size(); ++i)
    {
        EXPECT_EQ(waited[i].time, polled[i].time) << i;
        EXPECT_EQ(waited[i].bytes, polled[i].bytes) << i;
    }
}

TEST(SimPresence, GoneForEveryCallerUntilReplugged)
{
    Simulator sim;
    sim.addPod(0x100001);
    sim.disappearAt(800);
    sim.feed(Wire::request(Wire::WriteController, Wire::TEST, 0xBEEF));
    EXPECT_TRUE(sim.waitForOutput(kNever));
    EXPECT_EQ(300, sim.clock().now());
    sim.take();
    sim.feed(Wire::request(Wire::WriteController, Wire::TDMA_PERIOD, 0x8000 | 2500));
    sim.feed(Wire::request(Wire::ReadController, Wire::TEST));
    EXPECT_EQ(600, sim.nextEventTime());
    sim.advanceTo(600);
    EXPECT_EQ("55 aa 55 aa 05 06 be ef", Wire::toHex(sim.take()));
    // A reply due at 900 never comes: the wait stops at the disappearance.
    sim.feed(Wire::request(Wire::ReadController, Wire::VERSION));
    EXPECT_EQ(800, sim.nextEventTime());
    EXPECT_FALSE(sim.waitForOutput(kNever));
    EXPECT_EQ(800, sim.clock().now());
    EXPECT_TRUE(sim.gone());
    EXPECT_EQ(kNever, sim.nextEventTime());
    EXPECT_THROW(sim.feed(Wire::request(Wire::ReadController, Wire::VERSION)), Poco::IOException);
    EXPECT_THROW(sim.take(), Poco::IOException);
    EXPECT_THROW(sim.available(), Poco::IOException);
    sim.advance(1000000);
    EXPECT_THROW(sim.take(), Poco::IOException);
    EXPECT_EQ(0u, sim.plugCount());

    // Back as a freshly powered controller: nothing in flight, registers at power-on.
    sim.replug();
    EXPECT_FALSE(sim.gone());
    EXPECT_EQ(1u, sim.plugCount());
    EXPECT_EQ(0u, sim.available());
    EXPECT_EQ(ControllerState::Idle, sim.controller().state());
    EXPECT_EQ("55 aa 55 aa 05 06 00 00", exchange(sim, Wire::ReadController, Wire::TEST));
    EXPECT_EQ("55 aa 55 aa 05 01 09 c4", exchange(sim, Wire::ReadController, Wire::TDMA_PERIOD));
    EXPECT_EQ(0u, sim.recorder().count(Record::Frame));

    // Moving the disappearance away plugs it back in as well.
    sim.disappearAt(sim.clock().now());
    EXPECT_TRUE(sim.gone());
    sim.disappearAt(kNever);
    EXPECT_EQ(2u, sim.plugCount());
    EXPECT_EQ("55 aa 55 aa 05 00 05 13", exchange(sim, Wire::ReadController, Wire::VERSION));
}
