#include "SimHarness.h"

#include <Poco/Exception.h>
#include <Poco/FileStream.h>
#include <Poco/TemporaryFile.h>
#include <Tarnlink/Interrupt.h>
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <typeinfo>

using namespace FilterTests;

TEST(FilterCause, FixedMessagesNestTheReasonAndWhatProcessIgnoresIsLogged)
{
    // Made first, gone last: Windows deletes no file the filter's log still holds open.
    Poco::TemporaryFile log;
    Harness h(Sim::Generation::Second, {0xA10001});
    h.set("serial", "A10001");
    h.set("LogFile", log.path());
    h.set("connection", "1");
    Sim::Pod& pod = *h.simulator.pod(0xA10001);
    auto failureOf = [&](const char* command) {
        try
        {
            h.run(command);
        }
        catch (const Poco::Exception& e)
        {
            return std::unique_ptr<Poco::Exception>(e.clone());
        }
        return std::unique_ptr<Poco::Exception>();
    };

    pod.setReachable(false);
    const auto read = failureOf("Read Calib");
    pod.setReachable(true);
    ASSERT_TRUE(read && read->nested());
    EXPECT_EQ(typeid(Poco::IOException), typeid(*read));
    EXPECT_EQ("Error while reading Drfn calib info", read->message());
    EXPECT_EQ("Could not reach driftnode 0xA10001", read->nested()->message());

    // The first word of the accelerometer set, 12 bytes into either area, keeps another value
    // than the working one it is copied from.
    const std::uint32_t word = Sim::Pod::kManufacturingArea + 0x0C;
    pod.pokeEepromWord(word, static_cast<std::uint16_t>(~pod.eepromWord(Sim::Pod::kWorkingArea + 0x0C)));
    pod.makeWordStuck(word);
    const auto copy = failureOf("Copy Calib to Manuf.");
    ASSERT_TRUE(copy && copy->nested());
    EXPECT_EQ(typeid(Poco::IOException), typeid(*copy));
    EXPECT_EQ("Copying current calib data to manufacturing failed, please try again", copy->message());
    EXPECT_EQ("Could not verify the EEPROM word at 0xFC0C", copy->nested()->message());

    h.set("transmission", "1");
    {
        // Neither a file nor an I/O error: the frame is given up, the connection kept.
        Tarnlink::InterruptScope stop([] { return true; });
        h.process();
    }
    EXPECT_EQ("1", h.get("transmission"));
    Poco::FileInputStream in(log.path());
    const std::regex ignored(R"(^\[\d\d:\d\d:\d\d\.\d\d\d\] ERR: \[PROCESS\] Interrupted\r?$)");
    int lines = 0;
    for (std::string line; std::getline(in, line);) lines += std::regex_match(line, ignored) ? 1 : 0;
    EXPECT_EQ(1, lines);
}
