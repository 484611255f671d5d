// The filter against the simulator served on a pseudo-terminal, in real time.
#include "DRFN3Internal/FilterDRFN3.h"

#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Environment.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Simulator.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

namespace Sim = Tarnlink::Sim;
using Clock = std::chrono::steady_clock;

namespace {

struct PtyBench
{
    Sim::Simulator simulator;
    std::unique_ptr<Sim::PtyServer> server;
    std::unique_ptr<DRFN3Internal::FilterDRFN3> filter;

    explicit PtyBench(const std::vector<std::uint32_t>& serials)
    {
        for (std::uint32_t s : serials) simulator.addPod(s);
        server = std::make_unique<Sim::PtyServer>(simulator);
        server->start();
        Poco::Environment::set("ORLAN_TARNLINK_PORTS", server->stablePath());
        filter = std::make_unique<DRFN3Internal::FilterDRFN3>("drfn3");
    }
    void set(const std::string& name, const std::string& text) { filter->getPropertyBag().get(name).deSerialize(text); }
    std::string get(const std::string& name)
    {
        std::string text;
        filter->getPropertyBag().get(name).serialize(text);
        return text;
    }
    /// Real seconds one cycle took.
    double process()
    {
        const auto start = Clock::now();
        Quillmesh::Core::Synchronizer::DisablerLocker lock(&filter->getSynchronizer());
        filter->process();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    std::uint64_t framesSent(std::uint32_t serial)
    {
        auto guard = simulator.lock();
        return simulator.pod(serial)->framesSent();
    }
};

} // namespace

// A few real seconds of five pods at 200 Hz with wire faults, then the cable pulled (the
// pty hangs up): the filter notices within three reads, lets the port go, and streams again
// once the controller is back.
TEST(PtyRealtime, FaultyStreamThenHangUpAndReplug)
{
    const std::vector<std::uint32_t> serials{0xA10001, 0xA10002, 0xA10003, 0xA10004, 0xA10005};
    PtyBench b(serials);
    b.set("Frequency", "200");
    b.set("serial", "A10001 A10002 A10003 A10004 A10005");
    b.set("connection", "1");
    b.set("transmission", "1");
    {
        auto guard = b.simulator.lock();
        b.simulator.faults().corruptByte = 0.01;
        b.simulator.faults().dropFrame = 0.005;
        b.simulator.faults().garbage = 0.002;
    }
    const std::uint64_t before = b.framesSent(0xA10003);
    double longest = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end;)
    {
        longest = std::max(longest, b.process());
        ASSERT_EQ("1", b.get("transmission"));
    }
    EXPECT_GT(b.framesSent(0xA10003) - before, 300u);
    EXPECT_LT(longest, 1.0) << "a cycle hung";

    {
        auto guard = b.simulator.lock();
        b.simulator.disappearAt(b.simulator.clock().now());
    }
    int reads = 0;
    while (b.get("connection") == "1" && reads < 10)
    {
        EXPECT_LT(b.process(), 2.0);
        ++reads;
    }
    EXPECT_LE(reads, 3);
    EXPECT_EQ("0", b.get("connection"));
    EXPECT_EQ(nullptr, b.filter->getController());

    {
        auto guard = b.simulator.lock();
        b.simulator.replug();
    }
    b.server->start();
    // The port is free: this process can open it exclusively again.
    b.set("connection", "1");
    b.set("transmission", "1");
    const std::uint64_t again = b.framesSent(0xA10001);
    for (const auto end = Clock::now() + std::chrono::seconds(1); Clock::now() < end;) b.process();
    EXPECT_GT(b.framesSent(0xA10001) - again, 100u);
    b.set("transmission", "0");
    b.set("connection", "0");
}
