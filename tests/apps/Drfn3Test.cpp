#include "Common.h"
#include "ProgressBar.h"
#include "Stream.h"

#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

#include <gtest/gtest.h>

using namespace Drfn3;

TEST(Drfn3Serials, AnyMixOfSeparatorsAndRefusalsNameTheToken)
{
    EXPECT_EQ((std::vector<unsigned>{0x12, 0xF0, 0xFFFFFF}), parseSerials("12; f0,  FFFFFF"));
    EXPECT_TRUE(parseSerials(" , ").empty());
    for (const char* bad : {"A10001,zz", "1000000", "-5", "12 0x"})
    {
        try
        {
            parseSerials(bad);
            ADD_FAILURE() << bad;
        }
        catch (const UsageError& error)
        {
            EXPECT_NE(std::string::npos, std::string(error.what()).find("Not a valid hexadecimal integer")) << bad;
        }
    }
    EXPECT_EQ("A10001", hex(0xA10001));
}

TEST(Drfn3Table, FitsEightyColumnsWhateverTheValues)
{
    PodStatus extreme;
    extreme.serial = 0xFFFFFF;
    extreme.samples = 99999999999ull;
    extreme.rate = 9999.9;
    extreme.latest.loss = 1.0;
    extreme.latest.battery = 100.0;
    extreme.latest.button = 1;
    for (double* v : {extreme.latest.acc, extreme.latest.mag, extreme.latest.gyr})
        v[0] = v[1] = v[2] = -32768;
    PodStatus small;
    small.serial = 0x1;
    const std::vector<std::string> lines = renderTable({extreme, small}, 86399.9);
    ASSERT_EQ(5u, lines.size()) << "a heading and two lines per pod";
    for (const std::string& line : lines) EXPECT_LE(line.size(), 80u) << line;
    EXPECT_NE(std::string::npos, lines[1].find("FFFFFF"));
    EXPECT_NE(std::string::npos, lines[1].find("100.0 %"));
    EXPECT_NE(std::string::npos, lines[2].find("-32768"));
    EXPECT_EQ(0u, lines[3].find("1 ")) << "serials left-aligned";
}

TEST(Drfn3Rows, CsvAndJsonCarryEveryFieldOfASample)
{
    Sample s;
    s.time = 12.5;
    s.serial = 0xA10002;
    for (int i = 0; i < 3; ++i)
    {
        s.acc[i] = -100 - i;
        s.mag[i] = 200 + i;
        s.gyr[i] = 300 + i;
    }
    s.frame = 65536;
    s.loss = 0.025;
    s.battery = 87.5;
    s.button = 1;
    Poco::StringTokenizer header(csvHeader(), ",");
    Poco::StringTokenizer row(csvRow(s), ",");
    ASSERT_EQ(header.count(), row.count());
    EXPECT_EQ("A10002", row[1]);
    EXPECT_DOUBLE_EQ(12.5, Poco::NumberParser::parseFloat(row[0]));
    EXPECT_EQ("-102", row[4]);
    EXPECT_EQ("302", row[10]);
    EXPECT_EQ("65536", row[11]);
    EXPECT_DOUBLE_EQ(0.025, Poco::NumberParser::parseFloat(row[12]));
    EXPECT_EQ("87.5", row[13]);
    EXPECT_EQ("1", row[14]);
    const std::string json = jsonRow(s);
    for (const char* field : {"\"time\":12.5000", "\"pod\":\"A10002\"", "\"az\":-102", "\"gz\":302", "\"frame\":65536",
                              "\"loss\":0.0250", "\"battery\":87.5", "\"button\":1"})
        EXPECT_NE(std::string::npos, json.find(field)) << field;
    EXPECT_EQ('{', json.front());
    EXPECT_EQ('}', json.back());
}

TEST(Drfn3Progress, BarShowsPhaseWordsAndTimeLeft)
{
    Tarnlink::ProgressStep step{Tarnlink::ProgressStep::FirmwareUpgrade, Tarnlink::ProgressStep::Write, 0xA10001, false,
                                256, 1024};
    EXPECT_EQ("write  [##--------] 256/1024 words, about 30 s left", renderProgress(step, 10.0, 10));
    step.wordsDone = 1024;
    EXPECT_EQ("write  [##########] 1024/1024 words, done", renderProgress(step, 40.0, 10));
    step.wordsDone = 0;
    EXPECT_EQ("write  [----------] 0/1024 words", renderProgress(step, 0.0, 10)) << "no estimate yet";
    step.phase = Tarnlink::ProgressStep::Reboot;
    step.wordsTotal = 0;
    EXPECT_EQ("reboot ...", renderProgress(step, 1.0, 10));
}
