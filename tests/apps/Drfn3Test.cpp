#include "Common.h"
#include "ProgressBar.h"
#include "Stream.h"

#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

#include <limits>

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

TEST(Drfn3Table, FitsAnyWidthAndHeightWithoutWrapping)
{
    PodStatus extreme;
    extreme.serial = 0xFFFFFF;
    extreme.samples = 99999999999ull;
    extreme.rate = 9999.9;
    extreme.latest.loss = 1.0;
    extreme.latest.battery = 100.0;
    extreme.latest.button = 1;
    extreme.latest.ax = extreme.latest.my = extreme.latest.gz = -32768;
    // The gyroscope off: the orientation comes from the accelerometer and magnetometer alone.
    extreme.latest.hasOrientation = true;
    extreme.latest.roll = -179.99;
    extreme.latest.pitch = -90;
    extreme.latest.yaw = 180;
    extreme.latest.qw = -1;
    extreme.latest.orientationSensors = 3;
    PodStatus small;
    small.serial = 0x1;
    for (const Units units : {Units::Calibrated, Units::Raw})
        for (unsigned width : {40u, 60u, 80u, 200u})
        {
            const bool orientation = width != 60;
            const std::vector<std::string> lines =
                renderTable({extreme, small}, 86399.9, units, width, 50, orientation);
            std::string all;
            for (const std::string& line : lines)
            {
                // The last column stays free: a terminal would wrap a line that fills it.
                EXPECT_LT(line.size(), width) << width << ": " << line;
                all += line + "\n";
            }
            for (const char* shown : {"FFFFFF", "100.0 %", "button on", "-32768", "99999999999 frames"})
                EXPECT_NE(std::string::npos, all.find(shown)) << width << " columns lost " << shown << ":\n" << all;
            EXPECT_NE(std::string::npos, all.find(units == Units::Raw ? "acc " : "acc m/s2")) << all;
            for (const char* shown : {"roll -179.99", "pitch -90.00", "yaw  180.00 deg", "q -1.0000", "without gyr",
                                      "orientation: waiting"})
                EXPECT_EQ(orientation, all.find(shown) != std::string::npos) << width << ": " << shown << "\n" << all;
        }
    extreme.latest.roll = -0.4; // no "-0" in the piped status line
    EXPECT_NE(std::string::npos, renderStatusLine({extreme, small}, 1.0).find(" rpy 0 -90 180 deg  1 0 frames"));
    // More pods than lines: the table is cut, with a word about it, rather than scrolled.
    const std::vector<std::string> cut = renderTable(std::vector<PodStatus>(12, small), 1.0, Units::Raw, 80, 12);
    EXPECT_LE(cut.size(), 11u);
    EXPECT_NE(std::string::npos, cut.back().find("more pods"));
}

TEST(Drfn3Rows, CsvAndJsonCarryEveryFieldWithItsUnit)
{
    Sample s;
    s.time = 12.5;
    s.serial = 0xA10002;
    s.ax = -100;
    s.ay = -101;
    s.az = -102;
    s.mx = 200.125;
    s.gz = 3.02;
    s.frame = 65536;
    s.loss = 0.025;
    s.battery = 87.5;
    s.button = 1;
    Poco::StringTokenizer header(csvHeader(Units::Calibrated, true), ",");
    Poco::StringTokenizer row(csvRow(s, Units::Calibrated, 1700000000.25, true), ",");
    ASSERT_EQ(header.count(), row.count());
    EXPECT_EQ("time_s", header[0]);
    EXPECT_EQ("utc_s", header[1]);
    EXPECT_EQ("az_m_s2", header[5]);
    EXPECT_EQ("mx_uT", header[6]);
    EXPECT_EQ("gz_rad_s", header[11]);
    EXPECT_EQ("battery_pct", header[14]);
    EXPECT_DOUBLE_EQ(1700000000.25, Poco::NumberParser::parseFloat(row[1]));
    EXPECT_EQ("A10002", row[2]);
    EXPECT_DOUBLE_EQ(-102, Poco::NumberParser::parseFloat(row[5]));
    EXPECT_DOUBLE_EQ(200.125, Poco::NumberParser::parseFloat(row[6]));
    EXPECT_DOUBLE_EQ(3.02, Poco::NumberParser::parseFloat(row[11]));
    EXPECT_EQ("65536", row[12]);
    EXPECT_DOUBLE_EQ(0.025, Poco::NumberParser::parseFloat(row[13]));
    EXPECT_EQ("87.5", row[14]);
    EXPECT_EQ("1", row[15]);

    Poco::StringTokenizer raw(csvHeader(Units::Raw), ",");
    EXPECT_EQ("time_s", raw[0]);
    EXPECT_EQ("ax_counts", raw[2]);
    EXPECT_EQ("-102", Poco::StringTokenizer(csvRow(s, Units::Raw), ",")[4]);

    // The orientation's columns come after all others, so that readers of the others keep working.
    const std::string plain = csvHeader(Units::Calibrated);
    const std::string withOrientation = csvHeader(Units::Calibrated, false, true);
    EXPECT_EQ(plain + ",qw,qx,qy,qz,roll_deg,pitch_deg,yaw_deg,orientation_sensors", withOrientation);
    const std::string none = csvRow(s, Units::Calibrated, 0, false, true);
    EXPECT_EQ(csvRow(s, Units::Calibrated) + ",nan,nan,nan,nan,nan,nan,nan,", none) << "no orientation yet";
    s.hasOrientation = true;
    s.qw = 0.5;
    s.qx = -0.5;
    s.qy = 0.5;
    s.qz = -0.5;
    s.roll = -90;
    s.pitch = 0.125;
    s.yaw = 179.5;
    s.orientationSensors = 5;
    EXPECT_EQ(csvRow(s, Units::Raw) + ",0.500000,-0.500000,0.500000,-0.500000,-90.000,0.125,179.500,ag",
              csvRow(s, Units::Raw, 0, false, true));

    s.gx = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(std::string::npos, jsonRow(s, Units::Calibrated).find("qw"));
    const std::string oriented = jsonRow(s, Units::Calibrated, 0, false, true);
    for (const char* field :
         {"\"qx\":-0.500000", "\"roll_deg\":-90.000", "\"yaw_deg\":179.500", "\"orientation_sensors\":\"ag\"}"})
        EXPECT_NE(std::string::npos, oriented.find(field)) << field << " in " << oriented;
    s.hasOrientation = false;
    EXPECT_NE(std::string::npos, jsonRow(s, Units::Calibrated, 0, false, true).find("\"qw\":null"));
    const std::string json = jsonRow(s, Units::Calibrated);
    for (const char* field :
         {"\"time_s\":12.5000", "\"pod\":\"A10002\"", "\"az_m_s2\":-102", "\"gz_rad_s\":3.02", "\"gx_rad_s\":null",
          "\"frame\":65536", "\"loss\":0.0250", "\"battery_pct\":87.5", "\"button\":1"})
        EXPECT_NE(std::string::npos, json.find(field)) << field << " in " << json;
    EXPECT_EQ(std::string::npos, json.find("utc_s"));
    EXPECT_EQ('{', json.front());
    EXPECT_EQ('}', json.back());
}

TEST(Drfn3Progress, BarShowsPhaseWordsAndTimeLeft)
{
    Tarnlink::ProgressStep step{
        Tarnlink::ProgressStep::FirmwareUpgrade, Tarnlink::ProgressStep::Write, 0xA10001, false, 256, 1024};
    EXPECT_EQ("write  [##--------] 256/1024 words, about 30 s left", renderProgress(step, 10.0, 10));
    step.wordsDone = 1024;
    EXPECT_EQ("write  [##########] 1024/1024 words, done", renderProgress(step, 40.0, 10));
    step.wordsDone = 0;
    EXPECT_EQ("write  [----------] 0/1024 words", renderProgress(step, 0.0, 10)) << "no estimate yet";
    step.phase = Tarnlink::ProgressStep::Reboot;
    step.wordsTotal = 0;
    EXPECT_EQ("reboot ...", renderProgress(step, 1.0, 10));
}

TEST(Drfn3Errors, EachNestedCauseGetsALineOfItsOwn)
{
    std::ostringstream out;
    printError(out, Poco::IOException("Error while reading Drfn calib info",
                                      Poco::IOException("Could not reach driftnode 0xA10001",
                                                        Poco::SystemException("Input/output error"))));
    EXPECT_EQ("drfn3: Error while reading Drfn calib info\n"
              "  cause: I/O error: Could not reach driftnode 0xA10001\n"
              "  cause: System exception: Input/output error\n",
              out.str());
}
