// Several controllers in one session, against a rack of simulated controllers in virtual time.
#include <Drfn3/MultiSession.h>

#include "OrientationScenario.h"

#include <Poco/Environment.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/Sim/Rack.h>
#include <Tarnlink/Sim/ScopedVirtualSleep.h>
#include <Tarnlink/Sim/VirtualChannel.h>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

using namespace Drfn3;
namespace Sim = Tarnlink::Sim;

namespace {

class RackFactory : public Tarnlink::ControllerFactory
{
public:
    RackFactory(Sim::Simulator& simulator, std::string identifier)
        : _simulator(simulator), _identifier(std::move(identifier))
    {
    }
    unsigned getTimeout() const override { return 150; }
    unsigned getGeneration() const override { return 2; }
    std::string getIdentifier() const override { return _identifier; }
    Poco::DeviceIO::Channel* createChannel() const override { return new Sim::VirtualChannel(_simulator, 150); }
    Tarnlink::Controller* createController(Tarnlink::Protocol* protocol) const override
    {
        return new Tarnlink::ControllerV2(protocol);
    }
    Poco::Any getProperty(const std::string&) const override { return Poco::Any(); }

private:
    Sim::Simulator& _simulator;
    std::string _identifier;
};

/// Simulated controllers "rack-1", "rack-2", ... with their pods, the only ones discovery
/// lists, and the library's waits on their shared clock.
struct Rack
{
    Rack(unsigned controllers, unsigned podsEach) : sleep((add(controllers, podsEach), rack[0]))
    {
        Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
        key = Tarnlink::ControllerEnum::addSource([this] {
            std::vector<Poco::AutoPtr<Tarnlink::ControllerFactory>> list;
            for (std::size_t c = 0; c < rack.size(); ++c)
                list.emplace_back(new RackFactory(rack[c], "rack-" + std::to_string(c + 1)));
            return list;
        });
    }
    ~Rack() { Tarnlink::ControllerEnum::removeSource(key); }
    int add(unsigned controllers, unsigned podsEach)
    {
        for (unsigned c = 0; c < controllers; ++c)
        {
            Sim::Simulator& sim = rack.add();
            for (unsigned i = 0; i < podsEach; ++i) sim.addPod(Sim::Rack::serialOf(c, i));
        }
        return 0;
    }
    std::vector<ControllerPods> given(unsigned podsEach)
    {
        std::vector<ControllerPods> list;
        for (std::size_t c = 0; c < rack.size(); ++c)
        {
            ControllerPods entry{"rack-" + std::to_string(c + 1), {}};
            for (unsigned i = 0; i < podsEach; ++i) entry.pods.push_back(Sim::Rack::serialOf(c, i));
            list.push_back(entry);
        }
        return list;
    }
    /// Virtual seconds.
    MultiSession::Clock clock()
    {
        return [this] { return static_cast<double>(rack.clock().now()) * 1e-6; };
    }
    /// When each frame left its controller, virtual seconds, by pod and frame number.
    std::map<std::pair<unsigned, std::int64_t>, double> sent()
    {
        std::map<std::pair<unsigned, std::int64_t>, double> times;
        for (std::size_t c = 0; c < rack.size(); ++c)
            for (const Sim::Record& r : rack[c].recorder().of(Sim::Record::Frame))
                times[{r.serial, r.value}] = static_cast<double>(r.time) * 1e-6;
        return times;
    }

    Sim::Rack rack;
    Sim::ScopedVirtualSleep sleep;
    int key = 0;
};

Settings common(int frequency)
{
    Settings settings;
    settings.module = DRFN3_MODULE_PATH;
    settings.frequency = frequency;
    return settings;
}

/// Cycles until the session clock passes seconds.
void runUntil(MultiSession& session, double seconds, std::vector<Sample>& out)
{
    while (session.now() < seconds) session.cycle(out);
}

} // namespace

TEST(MultiSession, TwoControllersOfSixteenPodsStreamWithoutLossOnOneTimeBase)
{
    Rack rack(2, 16);
    MultiSession session(common(100), rack.given(16), Units::Raw, rack.clock());
    session.start();
    const double origin = static_cast<double>(rack.rack.clock().now()) * 1e-6 - session.now();
    // The second started once the first streamed: its search heard the first on channel 1.
    EXPECT_EQ(Tarnlink::Controller::channelCode(1), rack.rack[0].controller().channelCode());
    EXPECT_EQ(Tarnlink::Controller::channelCode(2), rack.rack[1].controller().channelCode());
    EXPECT_GT(session.offset(1), 0.0);
    EXPECT_EQ(0.0, session.offset(0));

    std::vector<Sample> samples;
    const double streamFrom = session.now();
    runUntil(session, streamFrom + 3.0, samples);
    session.stop();
    session.flush(samples);

    const auto sent = rack.sent();
    std::map<unsigned, std::int64_t> lastFrame;
    double previous = -1;
    for (const Sample& s : samples)
    {
        ASSERT_GE(s.time, previous) << "merged in time order";
        previous = s.time;
        std::int64_t& last = lastFrame[s.serial];
        if (last)
        {
            ASSERT_EQ(last + 1, s.frame) << std::hex << s.serial << ": no frame lost";
        }
        last = s.frame;
        // A frame's session time is when its controller sent it, within one 10 ms period.
        ASSERT_NEAR(sent.at({s.serial, s.frame}) - origin, s.time, 0.010) << std::hex << s.serial;
    }
    ASSERT_EQ(32u, lastFrame.size());
    // Both streamed all along: at 100 Hz, some 300 frames each over the 3 s.
    for (const auto& pod : lastFrame) EXPECT_GE(pod.second, 300) << std::hex << pod.first;
    EXPECT_EQ(1u, session.controllerOf(0xA10101));
}

TEST(MultiSession, AControllerPulledStopsItsOwnPodsOnlyAndComesBack)
{
    Rack rack(2, 2);
    // One pod of each controller turning: both readers estimate the orientation.
    for (unsigned c = 0; c < 2; ++c)
        rack.rack[c]
            .pod(Sim::Rack::serialOf(c, 0))
            ->setMotion(Sim::MotionScript::named("turns", Sim::Rack::serialOf(c, 0), 7));
    MultiSession session(common(100), rack.given(2), Units::Calibrated, rack.clock());
    EXPECT_THROW(session.enableOrientation({-1, true}), UsageError);
    session.enableOrientation();
    session.start();
    std::vector<Sample> samples;
    runUntil(session, session.now() + 1.0, samples);
    std::size_t checked = 0;
    for (const Sample& s : samples)
    {
        ASSERT_TRUE(s.hasOrientation) << std::hex << s.serial;
        const unsigned c = static_cast<unsigned>(session.controllerOf(s.serial));
        Sim::Micros sentAt = -1;
        for (const Sim::Record& r : rack.rack[c].recorder().of(Sim::Record::Frame))
            if (r.serial == s.serial && r.value == s.frame) sentAt = r.time;
        ASSERT_GE(sentAt, 0);
        const OrientationTests::Errors e = OrientationTests::errorsOf(Eigen::Quaterniond(s.qw, s.qx, s.qy, s.qz),
                                                                      rack.rack[c].truth(s.serial, sentAt).orientation);
        EXPECT_LT(e.angle, 5.0) << std::hex << s.serial << std::dec << " at " << s.time;
        ++checked;
    }
    EXPECT_GT(checked, 4u * 90u);
    const double pulled = session.now();
    rack.rack[1].disappearAt(rack.rack.clock().now());
    runUntil(session, pulled + 1.0, samples);
    EXPECT_FALSE(session.lost(0));
    EXPECT_TRUE(session.lost(1));

    std::map<unsigned, double> lastTime;
    std::map<unsigned, std::int64_t> lastFrame;
    for (const Sample& s : samples)
    {
        if (s.serial < 0xA10100 && lastFrame.count(s.serial))
        {
            EXPECT_EQ(lastFrame[s.serial] + 1, s.frame);
        }
        lastTime[s.serial] = s.time;
        lastFrame[s.serial] = s.frame;
    }
    for (unsigned serial : {0xA10001u, 0xA10002u}) EXPECT_GT(lastTime[serial], pulled + 0.9);
    for (unsigned serial : {0xA10101u, 0xA10102u}) EXPECT_LT(lastTime[serial], pulled + 0.01);

    // Plugged in again: the same controller, found by its identity, streams again.
    rack.rack[1].replug();
    ASSERT_TRUE(session.reconnect(1));
    EXPECT_FALSE(session.lost(1));
    const double back = session.now();
    samples.clear();
    runUntil(session, back + 0.5, samples);
    std::set<unsigned> seen;
    for (const Sample& s : samples)
        if (s.time > back) seen.insert(s.serial);
    EXPECT_EQ(4u, seen.size());
}
