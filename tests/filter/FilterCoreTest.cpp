#include "SimHarness.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/FileStream.h>
#include <Poco/TemporaryFile.h>
#include <gtest/gtest.h>

#include <regex>

using namespace FilterTests;
using DRFN3Internal::FilterDRFN3;
using Tarnlink::Controller;

TEST(FilterConnection, NoControllerLeavesConnectionOff)
{
    Harness h(Sim::Generation::Second, {}, false);
    EXPECT_EQ("No Motion Controller available", messageOf<Poco::NotFoundException>([&] { h.set("connection", "1"); }));
    EXPECT_EQ("0", h.get("connection"));
    EXPECT_FALSE(h.filter->hasController());
    EXPECT_FALSE(h.writable("transmission"));
    EXPECT_FALSE(h.writable("pairing"));
}

TEST(FilterConnection, InformationTextsFollowTheConnection)
{
    Harness h;
    h.simulator.controller().setSerialNumber(0xAB12);
    h.simulator.controller().setFirmwareVersion(1, 10);
    EXPECT_TRUE(h.writable("LogFile"));

    h.set("connection", "1");
    EXPECT_EQ("1", h.get("connection"));
    EXPECT_EQ("00AB12", h.get("Ctrl SerialNumber"));
    EXPECT_EQ("2.0 (ST)", h.get("Ctrl HW"));
    EXPECT_EQ("1.10", h.get("Ctrl FW"));
    EXPECT_FALSE(h.writable("LogFile"));
    EXPECT_FALSE(h.writable("Ctrl FW"));
    EXPECT_THROW(h.set("Ctrl FW", "9.9"), Poco::NoPermissionException);
    EXPECT_TRUE(h.writable("AutoChannel"));
    // Nothing to stream yet.
    EXPECT_FALSE(h.writable("transmission"));

    const std::size_t requests = h.simulator.recorder().count(Sim::Record::Request);
    h.set("connection", "1");
    EXPECT_EQ(requests, h.simulator.recorder().count(Sim::Record::Request)) << "a second connect touches nothing";

    h.set("connection", "0");
    EXPECT_EQ("", h.get("Ctrl SerialNumber"));
    EXPECT_EQ("", h.get("Ctrl HW"));
    EXPECT_EQ("", h.get("Ctrl FW"));
    EXPECT_TRUE(h.writable("LogFile"));
    EXPECT_FALSE(h.filter->hasController());

    h.set("connection", "1");
    EXPECT_EQ("00AB12", h.get("Ctrl SerialNumber"));
}

TEST(FilterConnection, GenerationOneControllerFirmwareIsChecked)
{
    Harness h(Sim::Generation::First);
    h.simulator.controller().setFirmwareVersion(1, 10);
    EXPECT_EQ("This driftnode type is incompatible with current controller firmware.",
              messageOf<Poco::NotImplementedException>([&] { h.set("connection", "1"); }));
    EXPECT_EQ("0", h.get("connection"));
    EXPECT_FALSE(h.filter->hasController());

    h.simulator.controller().setFirmwareVersion(2, 1);
    h.set("connection", "1");
    EXPECT_EQ("1.0 (FTDI)", h.get("Ctrl HW"));
    EXPECT_EQ("2.1", h.get("Ctrl FW"));
    EXPECT_EQ("", h.get("Ctrl SerialNumber"));
}

TEST(FilterConnection, SetUpFailureLeavesAFaultyConnectionUntilDisconnected)
{
    Harness h(Sim::Generation::Second, {0xA10001});
    h.set("serial", "A10001");
    h.simulator.faults().wrongEcho = 1.0;
    h.set("connection", "1");
    EXPECT_EQ("1", h.get("connection"));
    EXPECT_TRUE(h.filter->isControllerFaulty());
    EXPECT_TRUE(h.filter->hasController());
    // Connected with a network, but not streaming: the user may still try.
    EXPECT_TRUE(h.writable("transmission"));
    EXPECT_TRUE(h.writable("serial"));

    h.simulator.faults().wrongEcho = 0.0;
    h.set("connection", "0");
    EXPECT_FALSE(h.filter->isControllerFaulty());
    EXPECT_FALSE(h.filter->hasController());
}

TEST(FilterSerials, TextIsParsedIntoBothListsOrNotAtAll)
{
    Harness h;
    h.set("serial", "12; f0,  ff");
    EXPECT_EQ((std::vector<unsigned>{0x12, 0xF0, 0xFF}), h.filter->getDriftnodeSerials());
    EXPECT_EQ(h.filter->getDriftnodeSerials(), h.filter->getNetworkSerials());

    EXPECT_EQ("FF repeted several times", messageOf<Poco::ExistsException>([&] { h.set("serial", "ff,FF"); }));
    EXPECT_NE(std::string::npos, messageOf<Poco::SyntaxException>([&] {
                                     h.set("serial", "12 zz");
                                 }).find("Not a valid hexadecimal integer"));
    // Disconnected, the network holds five pods at most.
    EXPECT_EQ("Too many drfns in the Network",
              messageOf<Poco::RangeException>([&] { h.set("serial", "1 2 3 4 5 6"); }));
    EXPECT_EQ("12; f0,  ff", h.get("serial"));
    EXPECT_EQ((std::vector<unsigned>{0x12, 0xF0, 0xFF}), h.filter->getDriftnodeSerials());
    EXPECT_EQ(h.filter->getDriftnodeSerials(), h.filter->getNetworkSerials());

    h.set("serial", "");
    EXPECT_TRUE(h.filter->getDriftnodeSerials().empty());
    EXPECT_TRUE(h.filter->getNetworkSerials().empty());
}

// Refused values are in the bad-input table; here the bounds are taken and reach the filter.
TEST(FilterProperties, RangeBoundsAndLogSwitch)
{
    {
        Harness h;
        h.set("Channel", "1");
        h.set("Channel", "21");
        EXPECT_EQ(21u, h.filter->getChannel());
        h.set("Frequency", "25");
        h.set("Frequency", "200");
        EXPECT_EQ(200u, h.filter->getFrequency());
    }
    for (const auto& value :
         std::vector<std::pair<std::string, std::string>>{{"1", "tarnlink.log"}, {"true", ""}, {"01", ""}, {"0", ""}})
    {
        Poco::Environment::set("ORLAN_TARNLINK_LOG", value.first);
        Harness h;
        EXPECT_EQ(value.second, h.get("LogFile")) << "ORLAN_TARNLINK_LOG=" << value.first;
    }
    Poco::Environment::set("ORLAN_TARNLINK_LOG", "0");
}

TEST(FilterTransmission, StreamsAndStoppingOrDisconnectingPutsEveryoneBackOnChannelZero)
{
    // Made first, gone last: Windows deletes no file the filter's log still holds open.
    Poco::TemporaryFile log;
    Harness h(Sim::Generation::Second, {0xA10003, 0xA10001, 0xA10002});
    h.set("Frequency", "100");
    h.set("serial", "A10003 A10001 A10002");
    h.set("LogFile", log.path());
    EXPECT_FALSE(h.writable("transmission"));
    h.set("connection", "1");
    ASSERT_TRUE(h.writable("transmission"));
    h.simulator.recorder().clear();

    h.set("transmission", "1");
    ASSERT_EQ(Controller::Transmission, h.filter->getController()->getState());
    EXPECT_FALSE(h.writable("serial"));
    EXPECT_FALSE(h.writable("pairing"));
    EXPECT_FALSE(h.writable("Frequency"));
    const unsigned code = h.simulator.controller().channelCode();
    EXPECT_NE(Controller::channelCode(0), code);
    for (Sim::Pod* pod : h.simulator.pods())
    {
        EXPECT_EQ(code, pod->channelCode());
        EXPECT_TRUE(pod->streamingEnabled());
    }
    // Slots follow the text, configuration goes in ascending serial order.
    EXPECT_EQ(1u, h.simulator.pod(0xA10001)->slot());
    EXPECT_EQ(0u, h.simulator.pod(0xA10003)->slot());
    std::vector<std::uint32_t> order;
    for (const auto& r : h.simulator.recorder().requests(2, 134))
        if (order.empty() || order.back() != r.serial) order.push_back(r.serial);
    ASSERT_GE(order.size(), 3u);
    EXPECT_EQ((std::vector<std::uint32_t>{0xA10001, 0xA10002, 0xA10003}),
              std::vector<std::uint32_t>(order.begin(), order.begin() + 3));

    h.process(60);
    for (unsigned serial : {0xA10001u, 0xA10002u, 0xA10003u})
        EXPECT_GT(h.filter->getOutputs(serial)->frameInfoPin().getData()(0, 0), 0.0) << std::hex << serial;

    h.set("transmission", "0");
    EXPECT_EQ(Controller::Idle, h.filter->getController()->getState());
    h.expectEveryoneIdleOnChannelZero();
    EXPECT_TRUE(h.writable("serial"));

    // Turning the connection off while streaming stops first.
    h.set("transmission", "1");
    h.process(10);
    h.set("connection", "0");
    EXPECT_EQ("0", h.get("transmission"));
    EXPECT_FALSE(h.filter->hasController());
    h.expectEveryoneIdleOnChannelZero();

    Poco::FileInputStream in(log.path());
    std::string line;
    int tx = 0;
    int rx = 0;
    const std::regex txLine(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] TX:55:aa:55:aa(:[0-9a-f]{2}){4} \[.+\] .+\r?$)");
    const std::regex rxLine(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] RX:55:aa:55:aa(:[0-9a-f]{2})+.*\r?$)");
    while (std::getline(in, line))
    {
        if (std::regex_match(line, txLine)) ++tx;
        if (std::regex_match(line, rxLine)) ++rx;
    }
    EXPECT_GT(tx, 20);
    EXPECT_GT(rx, 20);
}

TEST(FilterTransmission, FailedStartRollsBack)
{
    Harness h(Sim::Generation::Second, {0xA10001, 0xA10002});
    h.connect("A10001 A10002");
    h.simulator.pod(0xA10002)->setReachable(false);
    EXPECT_EQ("Could not reach driftnodes 0xA10002", messageOf<Poco::IOException>([&] { h.set("transmission", "1"); }));
    EXPECT_EQ("0", h.get("transmission"));
    EXPECT_EQ(Controller::Idle, h.filter->getController()->getState());
    h.expectEveryoneIdleOnChannelZero();
    EXPECT_FALSE(h.filter->isNetworkVerified());

    h.simulator.pod(0xA10002)->setReachable(true);
    h.set("transmission", "1");
    EXPECT_EQ("1", h.get("transmission"));
}

TEST(FilterTransmission, MissedFramesProbeAndALostControllerDisconnects)
{
    Harness h(Sim::Generation::Second, {0xA10001});
    h.connect("A10001");
    h.set("transmission", "1");
    h.process(5);

    // A silent pod: frame reads fail, every third one probes, the controller answers.
    h.simulator.pod(0xA10001)->setReachable(false);
    h.simulator.recorder().clear();
    h.process(7);
    EXPECT_EQ(2u, h.simulator.recorder().requests(0xFF).size());
    EXPECT_EQ("1", h.get("connection"));

    // Two misses, a good frame, two misses: the good frame starts the count again.
    Sim::Pod& pod = *h.simulator.pod(0xA10001);
    pod.setReachable(true);
    h.process();
    h.simulator.recorder().clear();
    pod.setReachable(false);
    h.process(2);
    pod.setReachable(true);
    h.process(1);
    pod.setReachable(false);
    h.process(2);
    EXPECT_EQ(0u, h.simulator.recorder().requests(0xFF).size());
    h.process(1);
    EXPECT_EQ(1u, h.simulator.recorder().requests(0xFF).size());

    h.simulator.disappearAt(h.simulator.clock().now());
    h.process();
    EXPECT_EQ("0", h.get("connection"));
    EXPECT_EQ("0", h.get("transmission"));
    EXPECT_FALSE(h.filter->hasController());
    EXPECT_EQ("", h.get("Ctrl HW"));
}

TEST(FilterCommands, PairingAddsTheAnnouncedSerialAndAutoChannelTakesAFreeOne)
{
    Harness h(Sim::Generation::Second, {0xA10001});
    h.connect("A10001");
    h.simulator.recorder().clear();
    h.run("pairing");
    EXPECT_EQ("A10001", h.get("serial")) << "nobody paired: nothing changes";

    h.simulator.addPod(0x9ABCDE).setPairing(true);
    h.run("pairing");
    EXPECT_EQ("A10001 9ABCDE", h.get("serial"));
    EXPECT_EQ((std::vector<unsigned>{0xA10001, 0x9ABCDE}), h.filter->getNetworkSerials());
    h.simulator.pod(0x9ABCDE)->setPairing(false);

    // The automatic channel is one both frame lengths find free.
    for (unsigned index = 1; index <= 4; ++index) h.simulator.setBusyChannel(index);
    h.run("AutoChannel");
    EXPECT_EQ(5u, h.filter->getChannel());
    EXPECT_EQ("5", h.get("Channel"));

    for (unsigned index = 1; index <= 21; ++index) h.simulator.setBusyChannel(index);
    EXPECT_EQ("Could not find any available channel", messageOf<Poco::IOException>([&] { h.run("AutoChannel"); }));
    EXPECT_EQ(5u, h.filter->getChannel());
}

TEST(FilterCommands, LedAutoPowerOffAndSwitchOffCollectOneEntryPerFailingPod)
{
    Harness h(Sim::Generation::Second, {0xA10001, 0xA10002, 0xA10003});
    h.simulator.pod(0xA10001)->setFirmwareVersion(1, 11);
    h.connect("A10001 A10002 A10003");
    h.simulator.pod(0xA10003)->setReachable(false);
    EXPECT_EQ(" 0xA10001 : Incompatible options 0xA10003 : Could not reach driftnode",
              messageOf<Poco::IOException>([&] { h.set("Led", "0"); }));
    EXPECT_EQ("1", h.get("Led"));
    EXPECT_EQ(" 0xA10001 : Incompatible options 0xA10003 : Could not reach driftnode",
              messageOf<Poco::IOException>([&] { h.set("AutoPower Off", "2"); }));
    EXPECT_EQ("1", h.get("AutoPower Off"));

    // Named in the order of the text.
    h.set("serial", "A10003 A10001 A10002");
    h.simulator.pod(0xA10002)->setReachable(false);
    EXPECT_EQ("Could not reach driftnodes 0xA10003 0xA10002",
              messageOf<Poco::IOException>([&] { h.run("Switch Off"); }));
    EXPECT_FALSE(h.simulator.pod(0xA10001)->powered());
}

TEST(FilterConnection, FiltersOfOneProcessTakeTheControllerNamedAndQuietChannelsOfTheirOwn)
{
    Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
    Sim::Rack rack;
    Sim::Simulator& a = rack.add();
    Sim::Simulator& b = rack.add();
    a.addPod(0xA10001);
    b.addPod(0xA10101);
    Sim::ScopedVirtualSleep sleep(a);
    const int key = Tarnlink::ControllerEnum::addSource([&]() {
        return std::vector<Poco::AutoPtr<Tarnlink::ControllerFactory>>{
            Poco::AutoPtr<Tarnlink::ControllerFactory>(new SimControllerFactory(a, "ctrl-a")),
            Poco::AutoPtr<Tarnlink::ControllerFactory>(new SimControllerFactory(b, "ctrl-b"))};
    });
    {
        FilterDRFN3 first("first"), second("second"), stray("stray");
        auto set = [](FilterDRFN3& f, const std::string& name, const std::string& text) {
            f.getPropertyBag().get(name).deSerialize(text);
        };
        EXPECT_FALSE(first.getPropertyBag().get("Ctrl Port").getIsPersistent());
        set(stray, "Ctrl Port", "ctrl-c");
        EXPECT_EQ("No Motion Controller available at ctrl-c",
                  messageOf<Poco::NotFoundException>([&] { set(stray, "connection", "1"); }));

        // Named the other way round from discovery's order.
        set(first, "Ctrl Port", " ctrl-b ");
        set(second, "Ctrl Port", "ctrl-a");
        set(first, "serial", "A10101");
        set(second, "serial", "A10001");
        set(first, "connection", "1");
        set(second, "connection", "1");
        EXPECT_FALSE(first.getPropertyBag().get("Ctrl Port").getIsWritable());
        // b streams on channel 1, where both searches start; a hears it there and takes 2.
        set(first, "transmission", "1");
        set(second, "transmission", "1");
        EXPECT_EQ(Controller::channelCode(1), b.controller().channelCode());
        EXPECT_EQ(Controller::channelCode(2), a.controller().channelCode());
        EXPECT_EQ(Controller::channelCode(1), b.pod(0xA10101)->channelCode());
        EXPECT_EQ(Controller::channelCode(2), a.pod(0xA10001)->channelCode());
        set(first, "connection", "0");
        EXPECT_TRUE(first.getPropertyBag().get("Ctrl Port").getIsWritable());
        EXPECT_EQ(Sim::ControllerState::Transmission, a.controller().state());
    }
    Tarnlink::ControllerEnum::removeSource(key);
}
