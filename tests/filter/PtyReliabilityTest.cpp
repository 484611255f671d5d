// The filter against the simulator served on a pseudo-terminal, in real time.
#include "DRFN3Internal/FilterDRFN3.h"
#include "LossProbe.h"

#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Environment.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Simulator.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace Sim = Tarnlink::Sim;
using Clock = std::chrono::steady_clock;
using FilterTests::LossProbe;

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
    // Ten times the radio's rate, so that a few seconds fill enough loss windows to compare.
    {
        auto guard = b.simulator.lock();
        b.simulator.setOfferedRate(2000);
    }
    std::map<std::uint32_t, std::unique_ptr<LossProbe>> probes;
    for (std::uint32_t s : serials)
        probes[s] = std::make_unique<LossProbe>(b.filter->getOutputs(s)->frameInfoPin(), 65536);
    std::map<std::uint32_t, std::uint64_t> sentBefore, sentAfter;
    double longest = 0;
    // The first second fills the loss windows; the next three are counted.
    const auto counted = Clock::now() + std::chrono::seconds(1);
    for (const auto end = counted + std::chrono::seconds(3); Clock::now() < end;)
    {
        longest = std::max(longest, b.process());
        ASSERT_EQ("1", b.get("transmission"));
        const bool counting = Clock::now() >= counted;
        if (counting && sentBefore.empty())
            for (std::uint32_t s : serials) sentBefore[s] = b.framesSent(s);
        for (auto& p : probes) p.second->drain(counting);
    }
    for (std::uint32_t s : serials) sentAfter[s] = b.framesSent(s);
    EXPECT_LT(longest, 1.0) << "a cycle hung";
    // Frame numbers run on without a gap from the pod, so a span of counts is what was sent in it.
    double published = 0, span = 0, reported = 0;
    for (std::uint32_t s : serials)
    {
        const LossProbe& probe = *probes[s];
        ASSERT_GT(probe.samples, 1000u) << std::hex << s;
        published += static_cast<double>(probe.samples);
        span += probe.lastCount - probe.firstCount + 1;
        // The counts follow the pod's own: no damaged number was taken for a jump or a wrap.
        EXPECT_NEAR(static_cast<double>(sentAfter[s] - sentBefore[s]), probe.lastCount - probe.firstCount, 100.0)
            << std::hex << s;
        reported += probe.lossSum;
    }
    const double lost = 1.0 - published / span;
    reported /= published;
    std::printf(
        "pty: %.0f frames published of %.0f sent in 3 s, loss actual %.3f%% reported %.3f%%, longest cycle %.4f s\n",
        published, span, 100 * lost, 100 * reported, longest);
    EXPECT_NEAR(lost, reported, 0.005) << published << " frames published of " << span;
    EXPECT_GT(lost, 0.0) << "faults were on";
    {
        auto guard = b.simulator.lock();
        b.simulator.setOfferedRate(0);
        b.simulator.faults() = Sim::Faults();
    }
    // Back at the radio's rate and without faults, with the backlog of the fast stream read
    // before the cable goes: the pod's numbers seen catch up with what it sent.
    const LossProbe& first = *probes[serials.front()];
    for (const auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;)
    {
        b.process();
        for (auto& p : probes) p.second->drain(false);
        const double behind = static_cast<double>(b.framesSent(serials.front()) - sentBefore[serials.front()]) -
                              (first.latestCount - first.firstCount);
        if (behind <= 2) break;
    }
    {
        auto guard = b.simulator.lock();
        b.simulator.disappearAt(b.simulator.clock().now());
    }
    // Frames sent before the cable went are still read; after them, within three reads.
    int reads = 0;
    int frames = 0;
    while (b.get("connection") == "1" && reads < 10 && frames < 100000)
    {
        EXPECT_LT(b.process(), 2.0);
        std::uint64_t before = 0, after = 0;
        for (auto& p : probes) before += p.second->samples;
        for (auto& p : probes) p.second->drain(true);
        for (auto& p : probes) after += p.second->samples;
        if (after > before)
            ++frames;
        else
            ++reads;
    }
    EXPECT_LE(reads, 3) << "after " << frames << " frames";
    EXPECT_EQ("0", b.get("connection"));
    EXPECT_EQ(nullptr, b.filter->getController());
    // The port went with the controller: the server stopped and its link is gone.
    for (const auto end = Clock::now() + std::chrono::seconds(2); b.server->running() && Clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(b.server->running());
    EXPECT_NE(0, ::access(b.server->stablePath().c_str(), F_OK));

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
