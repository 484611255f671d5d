#include "SimHarness.h"

#include <Poco/Exception.h>
#include <Tarnlink/Interrupt.h>
#include <Tarnlink/RegisterMap.h>
#include <gtest/gtest.h>

using namespace FilterTests;
using Tarnlink::Controller;

namespace {

enum class Phase
{
    NetworkCheck,
    CalibrationChannelSearch,
    CalibrationRead,
    ChannelSearch,
    Moving,
    Configuring,
    StartingToStream
};

const char* const PHASE_NAMES[] = {
    "NetworkCheck", "CalibrationChannelSearch", "CalibrationRead", "ChannelSearch", "Moving",
    "Configuring",  "StartingToStream"};

const std::uint32_t PODS[] = {0xA10001, 0xA10002, 0xA10003};

/// Tells, from the simulator's own state and records, when a start has reached a phase.
class PhaseWatch
{
public:
    PhaseWatch(Sim::Simulator& simulator, Phase phase) : _simulator(simulator), _phase(phase) {}

    bool reached()
    {
        const auto& records = _simulator.recorder().records();
        for (; _seen < records.size(); ++_seen)
        {
            const Sim::Record& r = records[_seen];
            if (r.kind != Sim::Record::Request || r.opcode != 3) continue;
            if (_phase == Phase::NetworkCheck && r.address == Tarnlink::PodReg::VERSION && r.serial == PODS[1])
                ++_matched;
            if (_phase == Phase::CalibrationRead && r.address < 0x80) ++_matched; // the EEPROM window
        }
        const Sim::Controller& controller = _simulator.controller();
        // Calibration reads move pods too, each alone: the network moves after the search.
        if (controller.state() == Sim::ControllerState::Listening) _searched = true;
        switch (_phase)
        {
        case Phase::NetworkCheck:
            return _matched >= 1;
        case Phase::CalibrationChannelSearch:
            return controller.state() == Sim::ControllerState::Pairing;
        case Phase::CalibrationRead:
            return _matched >= 20;
        case Phase::ChannelSearch:
            return controller.state() == Sim::ControllerState::Listening;
        case Phase::Moving:
            if (!_searched) return false;
            for (Sim::Pod* pod : _simulator.pods())
                if (pod->channelCode() != 0 && controller.channelCode() == 0) return true;
            return false;
        case Phase::Configuring:
            for (Sim::Pod* pod : _simulator.pods())
                if (pod->streamingEnabled()) return true;
            return false;
        case Phase::StartingToStream:
            return controller.state() == Sim::ControllerState::Transmission;
        }
        return false;
    }

private:
    Sim::Simulator& _simulator;
    Phase _phase;
    std::size_t _seen = 0;
    unsigned _matched = 0;
    bool _searched = false;
};

class InterruptedStart : public ::testing::TestWithParam<Phase>
{};

} // namespace

TEST_P(InterruptedStart, EveryoneIsBackOnChannelZeroWithinHalfASecond)
{
    const Phase phase = GetParam();
    Harness h(Sim::Generation::Second, {PODS[0], PODS[1], PODS[2]});
    h.connect("A10001 A10002 A10003");
    h.simulator.recorder().clear();

    PhaseWatch watch(h.simulator, phase);
    // In the channel search the stop comes in the middle of a read, which has to end first.
    const Sim::Micros delay = phase == Phase::ChannelSearch ? 200000 : 0;
    Sim::Micros stopAt = Sim::kNever;
    bool tripped = false;
    std::string failure;
    {
        Tarnlink::InterruptScope scope([&] {
            if (stopAt == Sim::kNever && watch.reached()) stopAt = h.simulator.clock().now() + delay;
            return h.simulator.clock().now() >= stopAt;
        });
        try
        {
            h.set("transmission", "1");
            failure = "<none>";
        }
        catch (const Tarnlink::InterruptedException&)
        {
        }
        catch (const Poco::Exception& e)
        {
            failure = e.message();
        }
        tripped = scope.tripped();
    }
    ASSERT_NE(Sim::kNever, stopAt) << "the start never reached the phase";
    EXPECT_TRUE(tripped);
    if (phase == Phase::CalibrationChannelSearch || phase == Phase::CalibrationRead)
        EXPECT_EQ("Error while reading Drfn calib info", failure);
    else
        EXPECT_EQ("", failure);
    EXPECT_LE(h.simulator.clock().now() - stopAt, 500000);
    EXPECT_EQ("0", h.get("transmission"));
    EXPECT_EQ(Controller::Idle, h.filter->getController()->getState());
    h.expectEveryoneIdleOnChannelZero();

    h.set("transmission", "1");
    ASSERT_EQ("1", h.get("transmission"));
    const unsigned code = h.simulator.controller().channelCode();
    EXPECT_NE(Controller::channelCode(0), code);
    for (Sim::Pod* pod : h.simulator.pods())
    {
        EXPECT_EQ(code, pod->channelCode()) << std::hex << pod->serial();
        EXPECT_TRUE(pod->streamingEnabled()) << std::hex << pod->serial();
    }
    h.process(30);
    for (std::uint32_t serial : PODS)
        EXPECT_GT(h.filter->getOutputs(serial)->frameInfoPin().getData()(0, 0), 0.0) << std::hex << serial;
    h.set("transmission", "0");
    h.expectEveryoneIdleOnChannelZero();
}

INSTANTIATE_TEST_SUITE_P(Phases, InterruptedStart,
                         ::testing::Values(Phase::NetworkCheck, Phase::CalibrationChannelSearch, Phase::CalibrationRead,
                                           Phase::ChannelSearch, Phase::Moving, Phase::Configuring,
                                           Phase::StartingToStream),
                         [](const ::testing::TestParamInfo<Phase>& info) {
                             return std::string(PHASE_NAMES[static_cast<int>(info.param)]);
                         });

TEST(FailedStart, APodThatMovedWithoutAnsweringGoesBackToo)
{
    Harness h(Sim::Generation::Second, {PODS[0], PODS[1]});
    h.connect("A10001 A10002");
    h.set("transmission", "1"); // calibration read and network check done
    h.set("transmission", "0");
    h.simulator.recorder().clear();

    // The poll before each attempt is where the echo of one move gets lost: the pod takes the
    // channel, its answer never comes, and from then on it hears on the new channel only.
    Sim::Pod& second = *h.simulator.pod(PODS[1]);
    int attempt = 0;
    Tarnlink::InterruptScope hook([&] {
        const auto& records = h.simulator.recorder().records();
        const bool firstMoved = h.simulator.pod(PODS[0])->channelCode() != 0;
        if (firstMoved && !records.empty() && records.back().serial == PODS[1] && ++attempt == 1)
            h.simulator.faults().wrongEcho = 1.0;
        else
            h.simulator.faults().wrongEcho = 0.0;
        return false;
    });
    EXPECT_EQ("Could not write register: 87", messageOf<Poco::IOException>([&] { h.set("transmission", "1"); }));
    ASSERT_GT(attempt, 1) << "the second pod's move was never reached";
    EXPECT_EQ("0", h.get("transmission"));
    h.expectEveryoneIdleOnChannelZero();
    EXPECT_EQ(0u, second.channelCode());
}
