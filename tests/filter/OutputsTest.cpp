#include "DRFN3Internal/DataFrame.h"
#include "DRFN3Internal/DriftnodeOutputs.h"
#include "LossProbe.h"

#include <Poco/Timestamp.h>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

using namespace DRFN3Internal;
using FilterTests::Probe;

namespace {

std::string makeFrame(unsigned index, unsigned number, const std::vector<int>& words, unsigned status)
{
    std::string frame(DataFrame::SIZE, '\0');
    frame[0] = static_cast<char>(index);
    frame[1] = static_cast<char>(number >> 8);
    frame[2] = static_cast<char>(number);
    for (std::size_t k = 0; k < words.size(); ++k)
    {
        frame[3 + 2 * k] = static_cast<char>(words[k] >> 8);
        frame[4 + 2 * k] = static_cast<char>(words[k]);
    }
    frame[21] = static_cast<char>(status);
    return frame;
}

DataFrame decoded(unsigned number, const std::vector<int>& words = {}, unsigned status = 0)
{
    DataFrame frame;
    EXPECT_TRUE(frame.decode(makeFrame(0, number, words, status)));
    return frame;
}

double wallClockNow()
{
    return static_cast<double>(Poco::Timestamp().utcTime()) * 1e-7;
}

Matrix column(double x, double y, double z)
{
    return (Matrix(3, 1) << x, y, z).finished();
}

} // namespace

TEST(FrameCounterTest, FirstFrameIsTheBaseThenUnwrapsAndCountsLoss)
{
    FrameCounter counter;
    EXPECT_FALSE(counter.update(65534));
    for (int n : {65535, 0, 1}) EXPECT_TRUE(counter.update(n));
    EXPECT_EQ(65537, counter.getUnwrappedCount());
    EXPECT_FALSE(counter.update(1)) << "a repeated frame is dropped";
    EXPECT_EQ(0, counter.getLostFrames());

    counter.reset();
    counter.update(10);
    EXPECT_TRUE(counter.update(13));
    EXPECT_EQ(13, counter.getUnwrappedCount());
    EXPECT_EQ(0, counter.getLostFrames()) << "a jump is believed once the next frame follows";
    EXPECT_TRUE(counter.update(14));
    EXPECT_EQ(2, counter.getLostFrames());
    // The window closes once its span reaches 200 frame numbers: 4 + 195 + 1.
    for (int n = 15; n <= 209; ++n) counter.update(n);
    EXPECT_EQ(0.0, counter.getLossRatio());
    counter.update(210);
    EXPECT_DOUBLE_EQ(0.01, counter.getLossRatio());
    counter.update(215);
    counter.update(216);
    EXPECT_EQ(4, counter.getLostFrames()) << "a new window started";
    EXPECT_DOUBLE_EQ(0.01, counter.getLossRatio());

    // The first frame is the base whatever its number, and the count goes beyond an int.
    counter.reset();
    EXPECT_FALSE(counter.update(999));
    EXPECT_TRUE(counter.update(1000));
    EXPECT_EQ(1000, counter.getUnwrappedCount());
    EXPECT_EQ(0, counter.getLostFrames());
    counter.reset();
    counter.update(0);
    for (int wrap = 0; wrap < 40000; ++wrap)
        for (int n : {30000, 30001, 60000, 60001, 0, 1}) counter.update(n);
    EXPECT_EQ(65536LL * 40000 + 1, counter.getUnwrappedCount());
}

// Frame numbers carry no checksum: a damaged one must neither shift every later count by a
// false wrap nor report thousands of frames lost; a real gap or a restarted pod still counts.
TEST(FrameCounterTest, DamagedNumbersAreNotTakenForJumps)
{
    FrameCounter counter;
    counter.update(1000);
    const std::vector<int> received{1001,          1002 ^ 0x4000, 1003,          1004 ^ 0x0008, 1005, 1006,
                                    1007 ^ 0x8000, 1009,          1010 ^ 0x0100, 1011,          1012};
    for (int n : received) EXPECT_TRUE(counter.update(n)) << n;
    EXPECT_EQ(1012, counter.getUnwrappedCount()) << "no false wrap";
    EXPECT_EQ(1, counter.getLostFrames()) << "only 1008 was lost";

    // A damaged number that repeats the next good one: that frame is dropped as a repeat
    // and counted lost, nothing more.
    EXPECT_TRUE(counter.update(1014));
    EXPECT_FALSE(counter.update(1014));
    EXPECT_TRUE(counter.update(1015));
    EXPECT_EQ(1015, counter.getUnwrappedCount());
    EXPECT_EQ(2, counter.getLostFrames());

    // A real gap of 500 frames.
    EXPECT_TRUE(counter.update(1515));
    EXPECT_EQ(1515, counter.getUnwrappedCount()) << "the frame after a gap carries its own count";
    EXPECT_TRUE(counter.update(1516));
    EXPECT_EQ(1516, counter.getUnwrappedCount());
    EXPECT_DOUBLE_EQ(501.0 / 515.0, counter.getLossRatio()) << "the gap closed the window";

    // A pod whose counter starts again from 0 is a real jump forward through the wrap.
    counter.reset();
    counter.update(5000);
    EXPECT_TRUE(counter.update(0));
    EXPECT_TRUE(counter.update(1));
    EXPECT_EQ(65537, counter.getUnwrappedCount());
    EXPECT_DOUBLE_EQ((65535.0 - 5000.0) / (65536.0 - 5000.0), counter.getLossRatio());

    // Two damaged numbers in a row.
    counter.reset();
    counter.update(10);
    for (int n : {11 ^ 0x2000, 12 ^ 0x0400, 13, 14}) EXPECT_TRUE(counter.update(n));
    EXPECT_EQ(14, counter.getUnwrappedCount());
    EXPECT_EQ(0, counter.getLostFrames());
}

TEST(MovingAverageTest, AveragesTheLastWindow)
{
    MovingAverage average(2);
    EXPECT_EQ(0.0, average.mean());
    std::vector<double> means;
    for (double x : {100.0, 50.0, 25.0})
    {
        average.add(x);
        means.push_back(average.mean());
    }
    EXPECT_EQ((std::vector<double>{100.0, 75.0, 37.5}), means);

    average.resize(0);
    average.add(1.0);
    average.add(3.0);
    EXPECT_EQ(3.0, average.mean()) << "a window below 1 acts as 1";
}

TEST(DataFrameTest, DecodesFieldsForEachFirmwareAndRefusesShortFrames)
{
    DataFrame frame;
    ASSERT_TRUE(frame.decode(makeFrame(0xC8, 0xFFFE, {0x0020, -32, 0x0010, 1, 2, 3, 4, 5, 6}, 0x0F)));
    EXPECT_EQ(200u, frame.getRecordIndex());
    EXPECT_EQ(65534u, frame.getFrameNumber());
    EXPECT_TRUE(frame.getButton());
    EXPECT_EQ(100.0, frame.getBatterySample());

    ASSERT_EQ(FrameLayout::Current, frameLayoutFor(1, 15));
    const SensorValues current = frame.getSensorValues(FrameLayout::Current);
    EXPECT_EQ((Axes{32, -32, 16}), current.accelerometer);
    EXPECT_EQ((Axes{1, 2, 3}), current.magnetometer);
    EXPECT_EQ((Axes{4, 5, 6}), current.gyroscope);

    ASSERT_EQ(FrameLayout::Older, frameLayoutFor(1, 14));
    const SensorValues older = frame.getSensorValues(FrameLayout::Older);
    EXPECT_EQ((Axes{-2, -2, -1}), older.accelerometer);
    EXPECT_EQ((Axes{-2, 1, 3}), older.magnetometer);
    EXPECT_EQ((Axes{-5, 4, 6}), older.gyroscope);

    // Truncation toward zero, and the high status bits are not battery.
    ASSERT_TRUE(frame.decode(makeFrame(0, 0, {17, -17, -32768}, 0xF0)));
    EXPECT_EQ((Axes{-1, -1, 2048}), frame.getSensorValues(FrameLayout::Older).accelerometer);
    EXPECT_FALSE(frame.getButton());
    EXPECT_EQ(12.5, frame.getBatterySample());

    EXPECT_FALSE(frame.decode(makeFrame(5, 99, {}, 1).substr(0, DataFrame::SIZE - 1)));
    EXPECT_FALSE(frame.decode(""));
    EXPECT_TRUE(frame.decode(makeFrame(5, 99, {}, 1) + "xx"));
    EXPECT_EQ(99u, frame.getFrameNumber());
}

TEST(DriftnodeOutputsTest, NamedPinsInOrderAndCalibrationInputsReachTheOutputs)
{
    Quillmesh::Core::PinManager filter("filter");
    DriftnodeOutputs record(&filter, "#0xABCD");
    const char* names[] = {"3a",      "3aGain", "3aOff",   "3m",     "3mGain", "3mOff",  "3g",    "3gGain", "3gOff",
                           "FrameNb", "Button", "Battery", "3aGain", "3aOff",  "3mGain", "3mOff", "3gGain", "3gOff"};
    ASSERT_EQ(18u, filter.getPins().size());
    for (std::size_t i = 0; i < 18; ++i)
    {
        EXPECT_EQ(std::string(names[i]) + "#0xABCD", filter.getPins()[i]->getName());
        auto* input = dynamic_cast<MatrixInputPin*>(filter.getPins()[i]);
        EXPECT_EQ(i >= 12, input != nullptr);
        if (input)
        {
            EXPECT_FALSE(input->getIsBlocking());
        }
    }
    EXPECT_EQ(&record.gainInput(Sensor::Magnetometer), filter.findInputPin("3mGain#0xABCD"));
    EXPECT_EQ(&record.offsetPin(Sensor::Gyroscope), filter.findOutputPin("3gOff#0xABCD"));

    // A calibration input reaches its output.
    MatrixOutputPin source("source", nullptr);
    source.attach(record.gainInput(Sensor::Magnetometer));
    Probe magGain(record.gainPin(Sensor::Magnetometer));
    Probe accOffset(record.offsetPin(Sensor::Accelerometer));

    source.getData() = Matrix::Constant(2, 4, 1.5);
    source.push(42.0);
    const double before = wallClockNow();
    record.publishCalibration();

    EXPECT_TRUE(record.getWriteFlag(Sensor::Magnetometer));
    EXPECT_FALSE(record.getWriteFlag(Sensor::Accelerometer));
    std::vector<MatrixInputPin::Data> seen = magGain.drain();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(Matrix::Constant(2, 4, 1.5), seen[0].data);
    EXPECT_GE(seen[0].time, before);
    EXPECT_LE(seen[0].time, wallClockNow());
    EXPECT_EQ(1u, accOffset.drain().size()) << "published without new input too";

    // The input was released: nothing new comes, the matrix stays.
    record.setWriteFlag(Sensor::Magnetometer, false);
    record.publishCalibration();
    EXPECT_FALSE(record.getWriteFlag(Sensor::Magnetometer));
    seen = magGain.drain();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(Matrix::Constant(2, 4, 1.5), seen[0].data);
}

TEST(DriftnodeOutputsTest, PublishesFrameAtPodTime)
{
    Quillmesh::Core::PinManager filter("filter");
    DriftnodeOutputs record(&filter, "#0x1");
    record.batteryAverage().resize(2);
    Probe acc(record.samplePin(Sensor::Accelerometer)), gyro(record.samplePin(Sensor::Gyroscope));
    Probe info(record.frameInfoPin()), button(record.buttonPin()), battery(record.batteryPin());
    Probe gain(record.gainPin(Sensor::Gyroscope));
    const std::vector<int> words = {0x20, -32, 0x10, 1, 2, 3, 4, 5, 6};

    EXPECT_FALSE(record.publishFrame(decoded(65535, words, 0x0F), FrameLayout::Current, 200.0));
    EXPECT_TRUE(acc.drain().empty());
    EXPECT_TRUE(gain.drain().empty());

    const double before = wallClockNow();
    ASSERT_TRUE(record.publishFrame(decoded(1, words, 0x00), FrameLayout::Older, 200.0));
    const double t = 65537 / 200.0;
    const auto accSeen = acc.drain(), gyroSeen = gyro.drain(), infoSeen = info.drain();
    ASSERT_EQ(1u, accSeen.size());
    EXPECT_EQ(column(-2, -2, -1), accSeen[0].data);
    EXPECT_EQ(t, accSeen[0].time);
    EXPECT_EQ(column(-5, 4, 6), gyroSeen.at(0).data);
    EXPECT_EQ(column(65537, 0, 200), infoSeen.at(0).data);
    EXPECT_EQ(t, infoSeen[0].time);
    EXPECT_EQ(0.0, button.drain().at(0).data(0, 0));
    EXPECT_EQ(12.5, battery.drain().at(0).data(0, 0)) << "the dropped frame is not averaged";
    EXPECT_GE(gain.drain().at(0).time, before) << "calibration carries wall-clock time";

    ASSERT_TRUE(record.publishFrame(decoded(2, words, 0x0F), FrameLayout::Current, 200.0));
    EXPECT_EQ(column(32, -32, 16), acc.drain().at(0).data);
    EXPECT_EQ(1.0, button.drain().at(0).data(0, 0));
    EXPECT_EQ(56.25, battery.drain().at(0).data(0, 0));
}

TEST(DriftnodeOutputsTest, UnusableFrequencyDropsTheFrame)
{
    Quillmesh::Core::PinManager filter("filter");
    DriftnodeOutputs record(&filter, "#0x1");
    Probe info(record.frameInfoPin()), gain(record.gainPin(Sensor::Accelerometer));

    record.publishFrame(decoded(100), FrameLayout::Current, 200.0);
    unsigned number = 101;
    for (double frequency :
         {0.0, -200.0, std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()})
        EXPECT_FALSE(record.publishFrame(decoded(number++), FrameLayout::Current, frequency));
    EXPECT_TRUE(info.drain().empty());
    EXPECT_TRUE(gain.drain().empty());

    ASSERT_TRUE(record.publishFrame(decoded(number), FrameLayout::Current, 100.0));
    const auto seen = info.drain();
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(column(105, 0, 100), seen[0].data) << "dropped frames were counted, not lost";
    EXPECT_DOUBLE_EQ(1.05, seen[0].time);
}
