#include "LossProbe.h"
#include "SimHarness.h"

#include <Poco/Environment.h>
#include <Poco/NumberParser.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>

using namespace FilterTests;
using DRFN3Internal::DriftnodeOutputs;
using DRFN3Internal::Matrix;

namespace {

/// Virtual seconds to stream: TARNLINK_SOAK_SECONDS, an hour by default.
double soakSeconds()
{
    return Poco::NumberParser::parseFloat(Poco::Environment::get("TARNLINK_SOAK_SECONDS", "3600"));
}

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

/// Frames as the recorder saw them cross: lost on the radio, damaged by a wire fault, intact.
struct FrameTally
{
    std::uint64_t dropped = 0;
    std::uint64_t damaged = 0;
    std::uint64_t intact = 0;

    void take(Sim::Recorder& recorder)
    {
        for (const Sim::Record& r : recorder.of(Sim::Record::Frame))
        {
            if (r.bytes.empty())
                ++dropped;
            else if (r.bytes.size() != 5 + DRFN3Internal::DataFrame::SIZE ||
                     r.bytes.compare(0, 5, std::string("\x55\xAA\x55\xAA\x01", 5)) != 0)
                ++damaged;
            else
                ++intact;
        }
        recorder.clear();
    }
};

/// Every period of virtual time, a read hands out FF FF FF FF before the controller's bytes,
/// as a controller that timed out on a pod answers.
class TimeoutBurstChannel : public Sim::VirtualChannel
{
public:
    TimeoutBurstChannel(Sim::Simulator& simulator, int timeout, Sim::Micros period)
        : VirtualChannel(simulator, timeout), _period(period), _next(simulator.clock().now() + period)
    {
    }
    int read(char* buffer, int length) override
    {
        if (simulator().clock().now() >= _next && length > 0)
        {
            _next += _period;
            ++bursts;
            const int n = std::min(length, 4);
            std::fill(buffer, buffer + n, '\xFF');
            return n;
        }
        return VirtualChannel::read(buffer, length);
    }
    static std::uint64_t bursts;

private:
    Sim::Micros _period;
    Sim::Micros _next;
};
std::uint64_t TimeoutBurstChannel::bursts = 0;

class BurstFactory : public SimControllerFactory
{
public:
    using SimControllerFactory::SimControllerFactory;
    Poco::DeviceIO::Channel* createChannel() const override
    {
        return new TimeoutBurstChannel(simulator(), static_cast<int>(getTimeout()), 1000000);
    }
};

} // namespace

// Five pods at 200 Hz with wire faults on for a simulated hour (TARNLINK_SOAK_SECONDS):
// the stream never stops, no cycle hangs, the loss the filter reports matches what was lost,
// and memory stays flat.
TEST(Soak, FivePodsAt200HzWithFaults)
{
    const std::vector<std::uint32_t> serials{0xA10001, 0xA10002, 0xA10003, 0xA10004, 0xA10005};
    Harness h(Sim::Generation::Second, serials, false);
    const int source = Tarnlink::ControllerEnum::addSource([&h]() {
        return std::vector<Poco::AutoPtr<Tarnlink::ControllerFactory>>{
            Poco::AutoPtr<Tarnlink::ControllerFactory>(new BurstFactory(h.simulator))};
    });
    struct Unregister
    {
        int key;
        ~Unregister() { Tarnlink::ControllerEnum::removeSource(key); }
    } unregister{source};
    h.set("Frequency", "200");
    h.connect("A10001 A10002 A10003 A10004 A10005");
    h.set("transmission", "1");
    Sim::Faults& faults = h.simulator.faults();
    faults.corruptByte = 0.01;
    faults.dropFrame = 0.005;
    faults.garbage = 0.002;
    faults.controllerTimeout = 0.01;

    std::map<std::uint32_t, std::unique_ptr<LossProbe>> probes;
    std::map<std::uint32_t, std::uint64_t> sentAtStart;
    for (std::uint32_t s : serials)
        probes[s] = std::make_unique<LossProbe>(h.filter->getOutputs(s)->frameInfoPin(), 4096);
    FrameTally tally;
    h.simulator.recorder().clear();

    const double seconds = soakSeconds();
    const Sim::Micros start = h.simulator.clock().now();
    const Sim::Micros end = start + static_cast<Sim::Micros>(seconds * 1e6);
    // The loss ratio covers a window: skip the first ten seconds while it fills.
    const Sim::Micros settled = start + 10000000;
    const auto realStart = std::chrono::steady_clock::now();
    long rssAfterWarmUp = 0;
    Sim::Micros longestCycle = 0;
    double longestRealCycle = 0;
    std::uint64_t cycles = 0;
    while (h.simulator.clock().now() < end)
    {
        const Sim::Micros before = h.simulator.clock().now();
        const auto realBefore = std::chrono::steady_clock::now();
        h.process();
        longestCycle = std::max(longestCycle, h.simulator.clock().now() - before);
        longestRealCycle = std::max(
            longestRealCycle, std::chrono::duration<double>(std::chrono::steady_clock::now() - realBefore).count());
        ++cycles;
        const bool counting = before >= settled;
        if (counting && sentAtStart.empty())
        {
            for (std::uint32_t s : serials) sentAtStart[s] = h.simulator.pod(s)->framesSent();
            h.simulator.recorder().clear();
        }
        for (auto& p : probes) p.second->drain(counting);
        // An hour of records would be the memory growth: tally and forget them as we go.
        if (counting && cycles % 256 == 0) tally.take(h.simulator.recorder());
        if (rssAfterWarmUp == 0 && h.simulator.clock().now() - start > (end - start) / 10)
            rssAfterWarmUp = residentKiB();
        if (h.get("transmission") != "1") break;
    }
    tally.take(h.simulator.recorder());
    const double realSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - realStart).count();
    const long rssAtEnd = residentKiB();
    ASSERT_EQ("1", h.get("connection")) << "the stream stopped";
    ASSERT_EQ("1", h.get("transmission"));

    std::uint64_t sentTotal = 0;
    std::uint64_t published = 0;
    double reported = 0;
    for (std::uint32_t s : serials)
    {
        const std::uint64_t sent = h.simulator.pod(s)->framesSent() - sentAtStart[s];
        const LossProbe& probe = *probes[s];
        sentTotal += sent;
        published += probe.samples;
        reported += probe.lossSum;
        ASSERT_GT(probe.samples, 0u);
        // Counts follow the pod's own: the span published matches the frames it sent.
        EXPECT_NEAR(static_cast<double>(sent), probe.lastCount - probe.firstCount, 10.0) << std::hex << s;
    }
    // Frames the host never decoded, from both injected causes (radio drops, corrupted bytes).
    reported /= static_cast<double>(published);
    const double lost = 1.0 - static_cast<double>(published) / static_cast<double>(sentTotal);
    std::printf("soak: %.0f virtual s in %.1f real s, %llu cycles, %llu frames sent, %llu published; "
                "injected: %llu frames dropped on the radio, %llu frames damaged on the wire (bad header or length), "
                "%llu FF FF FF FF; "
                "loss actual %.3f%% reported %.3f%%; longest cycle %lld us virtual, %.3f s real; RSS %ld -> %ld KiB\n",
                seconds, realSeconds, static_cast<unsigned long long>(cycles),
                static_cast<unsigned long long>(sentTotal), static_cast<unsigned long long>(published),
                static_cast<unsigned long long>(tally.dropped), static_cast<unsigned long long>(tally.damaged),
                static_cast<unsigned long long>(TimeoutBurstChannel::bursts), 100 * lost, 100 * reported,
                static_cast<long long>(longestCycle), longestRealCycle, rssAfterWarmUp, rssAtEnd);
    EXPECT_NEAR(lost, reported, 0.005);
    EXPECT_GT(tally.dropped, 0u);
    EXPECT_GT(tally.damaged, 0u);
    EXPECT_GT(TimeoutBurstChannel::bursts, seconds / 2);
    // Every frame dropped on the radio is a loss; damaged ones may or may not be recovered.
    const double sentFrames = static_cast<double>(tally.dropped + tally.intact + tally.damaged);
    EXPECT_GE(lost + 0.005, static_cast<double>(tally.dropped) / sentFrames);
    EXPECT_LE(lost, static_cast<double>(tally.dropped + tally.damaged) / sentFrames + 0.005);
    // A read waits at most its time-out (150 ms) and a probe after three misses as much again.
    EXPECT_LE(longestCycle, 1000000);
    EXPECT_LT(longestRealCycle, 2.0);
    EXPECT_LT(rssAtEnd - rssAfterWarmUp, 8 * 1024) << "memory grew";
}
