#ifndef FilterTests_SimHarness_INCLUDED
#define FilterTests_SimHarness_INCLUDED

#include "DRFN3Internal/FilterDRFN3.h"
#include "MessageOf.h"
#include "SimControllerFactory.h"

#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Environment.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/ControllerV1.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/Sim/Rack.h>
#include <Tarnlink/Sim/ScopedVirtualSleep.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/VirtualChannel.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace FilterTests {

namespace Sim = Tarnlink::Sim;

using Tests::messageOf;

using Tests::SimControllerFactory;

/// A simulator that discovery finds, with the library's fixed waits on its clock, and a
/// filter to drive it.
class Harness
{
public:
    explicit Harness(Sim::Generation generation = Sim::Generation::Second,
                     const std::vector<std::uint32_t>& serials = {}, bool present = true)
        : simulator(generation), sleep(simulator)
    {
        Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
        for (std::uint32_t serial : serials) simulator.addPod(serial);
        if (present)
            _key = Tarnlink::ControllerEnum::addSource([this]() {
                return std::vector<Poco::AutoPtr<Tarnlink::ControllerFactory>>{
                    Poco::AutoPtr<Tarnlink::ControllerFactory>(new SimControllerFactory(simulator))};
            });
        filter = std::make_unique<DRFN3Internal::FilterDRFN3>("drfn3");
    }

    ~Harness()
    {
        filter.reset();
        if (_key) Tarnlink::ControllerEnum::removeSource(_key);
    }

    Quillmesh::Core::AbstractProperty& property(const std::string& name) { return filter->getPropertyBag().get(name); }
    void set(const std::string& name, const std::string& text) { property(name).deSerialize(text); }
    std::string get(const std::string& name)
    {
        std::string text;
        property(name).serialize(text);
        return text;
    }
    bool writable(const std::string& name) { return property(name).getIsWritable(); }
    /// Runs the command, which the host does by setting it.
    void run(const std::string& name) { property(name).deSerialize(""); }
    /// Names the pods and connects.
    void connect(const std::string& serials)
    {
        set("serial", serials);
        set("connection", "1");
    }
    /// Host cycles, each under the filter's lock as the host makes it.
    void process(int cycles = 1)
    {
        for (int i = 0; i < cycles; ++i)
        {
            Quillmesh::Core::Synchronizer::DisablerLocker lock(&filter->getSynchronizer());
            filter->process();
        }
    }
    /// Controller idle on channel index 0 in 22-byte frames; every pod there and not streaming.
    void expectEveryoneIdleOnChannelZero()
    {
        EXPECT_EQ(Sim::ControllerState::Idle, simulator.controller().state());
        EXPECT_EQ(Tarnlink::Controller::channelCode(0), simulator.controller().channelCode());
        // A search stopped between its two frame lengths must not keep the other one.
        EXPECT_EQ(22u, simulator.controller().frameLength());
        for (Sim::Pod* pod : simulator.pods())
        {
            EXPECT_EQ(Tarnlink::Controller::channelCode(0), pod->channelCode()) << std::hex << pod->serial();
            EXPECT_FALSE(pod->streamingEnabled()) << std::hex << pod->serial();
        }
    }

    Sim::Simulator simulator;
    Sim::ScopedVirtualSleep sleep;
    std::unique_ptr<DRFN3Internal::FilterDRFN3> filter;

private:
    int _key = 0;
};

} // namespace FilterTests

#endif
