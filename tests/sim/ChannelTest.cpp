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
    for (std::size_t i = 0; i < expected.size(); ++i) bits += __builtin_popcount(std::uint8_t(expected[i] ^ corrupted[i]));
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
    for (int i = 0; i < 50; ++i) {
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
