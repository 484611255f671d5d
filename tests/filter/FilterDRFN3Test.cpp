#include "LossProbe.h"
#include "SimHarness.h"

#include <Poco/Exception.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace FilterTests;
using DRFN3Internal::DriftnodeOutputs;
using DRFN3Internal::Matrix;
using DRFN3Internal::MatrixInputPin;
using DRFN3Internal::Sensor;

namespace {

/// A gain (9 values) or offset (3) as the pins carry it.
template <std::size_t N>
Matrix matrixOf(const std::array<double, N>& values)
{
    return Eigen::Map<const Matrix>(values.data(), 3, N / 3);
}

std::int16_t s16(const std::string& body, std::size_t at)
{
    return static_cast<std::int16_t>((static_cast<std::uint8_t>(body[at]) << 8) |
                                     static_cast<std::uint8_t>(body[at + 1]));
}

} // namespace

TEST(FilterNetwork, CapacityFollowsControllerAndFrequency)
{
    Harness h;
    EXPECT_EQ(5u, h.filter->getMaxSensorCount(100)) << "not connected";
    h.set("connection", "1");
    EXPECT_EQ(16u, h.filter->getMaxSensorCount(100));
    EXPECT_EQ(8u, h.filter->getMaxSensorCount(101));
    EXPECT_EQ(8u, h.filter->getMaxSensorCount(150));
    EXPECT_EQ(5u, h.filter->getMaxSensorCount(151));
    h.set("connection", "0");

    h.simulator.controller().setFirmwareVersion(0, 9);
    h.set("connection", "1");
    EXPECT_EQ(5u, h.filter->getMaxSensorCount(100));

    Harness first(Sim::Generation::First);
    first.set("connection", "1");
    EXPECT_EQ(5u, first.filter->getMaxSensorCount(25));
}

TEST(FilterNetwork, RecordsAndVerificationSurviveReorderingAndCapacityIsEnforced)
{
    Harness h(Sim::Generation::Second, {0xA10001, 0xA10002});
    h.set("connection", "1");
    h.set("serial", "A10001 A10002 A10003 A10004 A10005");
    DriftnodeOutputs* first = h.filter->getOutputs(0xA10001);
    ASSERT_NE(nullptr, first);
    EXPECT_NE(nullptr, h.filter->findOutputPin("3a#0xA10005"));
    EXPECT_NE(nullptr, h.filter->findOutputPin("Battery#0xA10003"));

    EXPECT_EQ("Too many drfns in the Network",
              messageOf<Poco::RangeException>([&] { h.set("serial", "A10001 A10002 A10003 A10004 A10005 A10006"); }));
    EXPECT_EQ(first, h.filter->getOutputs(0xA10001));
    EXPECT_EQ(nullptr, h.filter->findOutputPin("3a#0xA10006"));

    Probe probe(first->samplePin(Sensor::Accelerometer));
    h.set("serial", "A10003 A10001 A10002");
    EXPECT_EQ(first, h.filter->getOutputs(0xA10001));
    EXPECT_EQ(nullptr, h.filter->findOutputPin("3a#0xA10005")) << "a pod that leaves loses its pins";
    EXPECT_EQ(&first->samplePin(Sensor::Accelerometer), probe.pin.getSource()) << "connections stay";

    // A verified network stays verified when reordered, not when a pod joins.
    h.set("serial", "A10001 A10002");
    h.set("transmission", "1");
    h.set("transmission", "0");
    ASSERT_TRUE(h.filter->isNetworkVerified());
    EXPECT_EQ("3 3", h.get("Sensor types"));
    EXPECT_EQ("1.15", h.get("Drfn FW"));
    h.set("serial", "A10002 A10001");
    EXPECT_TRUE(h.filter->isNetworkVerified());
    h.set("serial", "A10002 A10001 A10003");
    EXPECT_FALSE(h.filter->isNetworkVerified());
}

TEST(FilterNetwork, ChecksTypesFirmwareAndReachability)
{
    {
        Harness h(Sim::Generation::Second, {0xA10001, 0xA10002, 0xA10003});
        h.simulator.pod(0xA10002)->setType(6);
        h.simulator.pod(0xA10003)->setType(4);
        h.set("serial", "A10001 A10002 A10003");
        h.set("connection", "1");
        EXPECT_EQ("Driftnode(s) are inappropriate device(s) :  0xA10003",
                  messageOf<Poco::NoPermissionException>([&] { h.set("transmission", "1"); }));
        EXPECT_FALSE(h.filter->isNetworkVerified());
        h.simulator.pod(0xA10003)->setType(3);
        h.set("serial", "A10001 A10002");
        h.set("transmission", "1");
        EXPECT_EQ("3 6", h.get("Sensor types"));
    }
    {
        Harness h(Sim::Generation::Second, {0xA10001, 0xA10002});
        h.simulator.pod(0xA10002)->setFirmwareVersion(15, 1);
        h.set("serial", "A10001 A10002");
        h.set("connection", "1");
        EXPECT_EQ("Driftnode's Firmware may be corrupted :  0xA10002, upgrade to latest firmware",
                  messageOf<Poco::IllegalStateException>([&] { h.set("transmission", "1"); }));
    }
    {
        Harness h(Sim::Generation::Second, {0xA10001, 0xA10002, 0xA10003, 0xA10004});
        for (Sim::Pod* pod : h.simulator.pods()) pod->setFirmwareVersion(1, 11);
        h.set("Frequency", "100");
        h.set("connection", "1");
        h.set("serial", "A10001 A10002 A10003 A10004");
        EXPECT_EQ("Network capacity is limited with current driftnode firmware, upgrade to latest firmware",
                  messageOf<Poco::NotImplementedException>([&] { h.set("transmission", "1"); }));
    }
}

TEST(FilterProperties, SensorIndexModesAndCalibrationCommandsFollowTheNetwork)
{
    Harness h(Sim::Generation::Second, {0xA10001, 0xA10002});
    EXPECT_EQ("2", h.get("Acc mode"));
    EXPECT_EQ("4", h.get("Mag mode"));
    EXPECT_FALSE(h.writable("Acc mode")) << "no network yet";
    EXPECT_FALSE(h.writable("Sensor Index"));
    h.set("connection", "1");
    // Calibration commands need a network.
    for (const char* command : {"Read Calib", "Write Calib"}) EXPECT_THROW(h.run(command), Poco::NoPermissionException);
    EXPECT_EQ("Could not find any sensor serial",
              messageOf<Poco::RuntimeException>([&] { h.filter->writeCalibration(); }));
    EXPECT_EQ("Could not find any sensor serial",
              messageOf<Poco::RuntimeException>([&] { h.filter->resetCalibrationToManufacturing(); }));
    h.set("serial", "A10001 A10002");
    EXPECT_TRUE(h.writable("Acc mode"));
    EXPECT_TRUE(h.writable("Sensor Index"));
    h.set("Sensor Index", "1");
    EXPECT_THROW(h.set("Sensor Index", "2"), Poco::RangeException);
    h.set("serial", "A10002");
    EXPECT_EQ("0", h.get("Sensor Index"));
    EXPECT_FALSE(h.writable("Sensor types"));

    // Modes reach the pods when transmission starts.
    h.set("Acc mode", "0");
    h.set("Mag mode", "7");
    h.set("Gyro On", "0");
    h.set("Gyro mode", "1");
    h.set("transmission", "1");
    EXPECT_FALSE(h.writable("Acc mode"));
    EXPECT_FALSE(h.writable("Sensor Index"));
    EXPECT_EQ(2048.0, h.simulator.pod(0xA10002)->accelerometerCountsPerG());
    h.simulator.recorder().clear();
    h.run("Scan Sensor Registry");
    EXPECT_EQ(0u, h.simulator.recorder().count(Sim::Record::Request)) << "no scan while streaming";
    h.set("transmission", "0");
    h.run("Scan Sensor Registry");
    EXPECT_GT(h.simulator.recorder().count(Sim::Record::Request), 10u);
}

TEST(FilterCalibration, GainsAreScaledByTheAccelerometerRange)
{
    Harness h(Sim::Generation::Second, {0xA10001});
    h.connect("A10001");
    h.set("Acc mode", "0");
    h.run("Read Calib");
    DriftnodeOutputs& record = *h.filter->getOutputs(0xA10001);
    Sim::Pod& pod = *h.simulator.pod(0xA10001);
    EXPECT_TRUE(record.gain(Sensor::Accelerometer).isApprox(0.5 * matrixOf(pod.factoryGain(0))));
    EXPECT_TRUE(record.offset(Sensor::Accelerometer).isApprox(matrixOf(pod.factoryOffset(0))));
    EXPECT_TRUE(record.gain(Sensor::Magnetometer).isApprox(matrixOf(pod.factoryGain(1))));

    // What the pin shows goes back unscaled.
    Quillmesh::Core::PinManager source("source");
    Quillmesh::Core::OutputPin<Matrix> gainOut("gain", &source);
    gainOut.attach(record.gainInput(Sensor::Accelerometer));
    gainOut.getData() = 0.5 * Matrix::Identity(3, 3);
    gainOut.push(1.0);
    h.run("Write Calib");
    EXPECT_TRUE(matrixOf(pod.calibrationGain(0)).isApprox(Matrix::Identity(3, 3)));
    EXPECT_FALSE(record.getWriteFlag(Sensor::Accelerometer));
    EXPECT_EQ(Tarnlink::Controller::channelCode(0), pod.channelCode());
    EXPECT_EQ(Tarnlink::Controller::channelCode(0), h.simulator.controller().channelCode());
}

TEST(FilterCalibration, MatricesFromInputPinsRoundTripThroughThePodUnlessTheirSizeIsWrong)
{
    Harness h(Sim::Generation::Second, {0xA10001, 0xA10002});
    h.connect("A10002 A10001");
    h.set("Acc mode", "1");
    DriftnodeOutputs& record = *h.filter->getOutputs(0xA10002);
    Sim::Pod& pod = *h.simulator.pod(0xA10002);

    Quillmesh::Core::PinManager source("source");
    Quillmesh::Core::OutputPin<Matrix> gainOut("gain", &source);
    Quillmesh::Core::OutputPin<Matrix> offsetOut("offset", &source);
    gainOut.attach(record.gainInput(Sensor::Gyroscope));
    offsetOut.attach(record.offsetInput(Sensor::Gyroscope));
    Matrix gain(3, 3);
    gain << 1.5, 0.01, -0.02, 0.03, 0.98, 0.0, -0.01, 0.02, 1.01;
    Matrix offset(3, 1);
    offset << 12.5, -3.25, 0.125;
    gainOut.getData() = gain;
    offsetOut.getData() = offset;
    gainOut.push(1.0);
    offsetOut.push(1.0);

    // The first commit meets a word that does not stick: the flag stays for a retry.
    const std::uint32_t words[] = {0xFB00, 0xFB10, 0xFB20, 0xFB30, 0xFB40};
    for (std::uint32_t word : words) pod.makeWordStuck(word);
    EXPECT_EQ("Error while writing Drfn calib info", messageOf<Poco::IOException>([&] { h.run("Write Calib"); }));
    EXPECT_TRUE(record.getWriteFlag(Sensor::Gyroscope));
    for (std::uint32_t word : words) pod.makeWordStuck(word, false);
    h.run("Write Calib");
    EXPECT_FALSE(record.getWriteFlag(Sensor::Gyroscope));
    EXPECT_TRUE(matrixOf(pod.calibrationGain(2)).isApprox(gain));
    EXPECT_TRUE(matrixOf(pod.calibrationOffset(2)).isApprox(offset));

    record.gain(Sensor::Gyroscope).setZero();
    record.offset(Sensor::Gyroscope).setZero();
    Probe published(record.gainPin(Sensor::Gyroscope));
    h.run("Read Calib");
    EXPECT_TRUE(record.gain(Sensor::Gyroscope).isApprox(gain));
    EXPECT_TRUE(record.offset(Sensor::Gyroscope).isApprox(offset));
    const auto seen = published.drain();
    ASSERT_FALSE(seen.empty());
    EXPECT_TRUE(seen.back().data.isApprox(gain));
    // Calibration pins carry wall-clock time: seconds since October 1582, some 1.4e10.
    EXPECT_GT(seen.back().time, 1.3e10);

    // Copy to the manufacturing area, spoil the working one, reset from manufacturing.
    h.run("Copy Calib to Manuf.");
    EXPECT_TRUE(matrixOf(pod.calibrationGain(2, Sim::Pod::kManufacturingArea)).isApprox(gain));
    Matrix other = Matrix::Identity(3, 3) * 3.0;
    gainOut.getData() = other;
    gainOut.push(2.0);
    h.run("Write Calib");
    EXPECT_TRUE(matrixOf(pod.calibrationGain(2)).isApprox(other));
    h.set("Sensor Index", "0");
    h.run("Reset Calib to Manuf.");
    EXPECT_TRUE(matrixOf(pod.calibrationGain(2)).isApprox(gain));
    EXPECT_TRUE(record.gain(Sensor::Gyroscope).isApprox(gain));

    // A matrix of the wrong size is never written.
    const std::array<double, 9> magnetometer = pod.calibrationGain(1);
    Quillmesh::Core::OutputPin<Matrix> wrongOut("wrong", &source);
    wrongOut.attach(record.gainInput(Sensor::Magnetometer));
    wrongOut.getData() = Matrix::Constant(2, 2, 7.0);
    wrongOut.push(3.0);
    EXPECT_EQ("Error while writing Drfn calib info", messageOf<Poco::IOException>([&] { h.run("Write Calib"); }));
    EXPECT_EQ(magnetometer, pod.calibrationGain(1));
    EXPECT_EQ(Tarnlink::Controller::channelCode(0), pod.channelCode());
}

namespace {

struct Sent
{
    std::uint16_t number;
    std::string body;
};

/// Frames the simulator sent, by sender, decoded here from the recorded bytes.
std::map<std::uint32_t, std::vector<Sent>> framesSent(Sim::Simulator& simulator, std::size_t& dropped)
{
    std::map<std::uint32_t, std::vector<Sent>> out;
    dropped = 0;
    for (const Sim::Record& r : simulator.recorder().of(Sim::Record::Frame))
    {
        if (r.bytes.empty())
        {
            ++dropped;
            continue;
        }
        // 55 AA 55 AA, id 1, then the 22-byte body.
        const std::string body = r.bytes.substr(5);
        const auto number = static_cast<std::uint16_t>(static_cast<std::uint16_t>(s16(body, 1)));
        out[r.serial].push_back(Sent{number, body});
    }
    return out;
}

} // namespace

TEST(FilterStreaming, EverySampleArrivesAsSent)
{
    const std::vector<std::uint32_t> serials{0xA10001, 0xA10002, 0xA10003};
    Harness h(Sim::Generation::Second, serials);
    h.simulator.pod(0xA10002)->setButton(true);
    h.simulator.pod(0xA10003)->setBatteryLevel(3);
    h.set("Frequency", "100");
    h.connect("A10001 A10002 A10003");

    std::map<std::uint32_t, std::unique_ptr<Probe>> acc, mag, gyr, info, battery, button;
    for (std::uint32_t serial : serials)
    {
        DriftnodeOutputs& r = *h.filter->getOutputs(serial);
        acc[serial] = std::make_unique<Probe>(r.samplePin(Sensor::Accelerometer));
        mag[serial] = std::make_unique<Probe>(r.samplePin(Sensor::Magnetometer));
        gyr[serial] = std::make_unique<Probe>(r.samplePin(Sensor::Gyroscope));
        info[serial] = std::make_unique<Probe>(r.frameInfoPin());
        battery[serial] = std::make_unique<Probe>(r.batteryPin());
        button[serial] = std::make_unique<Probe>(r.buttonPin());
    }
    h.set("transmission", "1");
    h.simulator.recorder().clear();
    const Sim::Micros start = h.simulator.clock().now();
    while (h.simulator.clock().now() - start < 10000000) h.process();
    h.set("transmission", "0");

    std::size_t dropped = 0;
    auto sent = framesSent(h.simulator, dropped);
    const double frequency = h.filter->getController()->getExactFrequency();
    EXPECT_NEAR(100.0, frequency, 0.01);
    for (std::uint32_t serial : serials)
    {
        const auto& frames = sent[serial];
        ASSERT_GE(frames.size(), 995u) << std::hex << serial;
        const auto a = acc[serial]->drain();
        const auto m = mag[serial]->drain();
        const auto g = gyr[serial]->drain();
        const auto f = info[serial]->drain();
        const auto b = battery[serial]->drain();
        const auto k = button[serial]->drain();
        // The first frame of a transmission only sets the counter's base.
        ASSERT_EQ(frames.size() - 1, a.size()) << std::hex << serial;
        ASSERT_EQ(a.size(), f.size());
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t i = 0; i < a.size(); ++i)
        {
            const std::string& body = frames[i + 1].body;
            for (int axis = 0; axis < 3; ++axis)
            {
                ASSERT_EQ(s16(body, 3 + 2 * axis), a[i].data(axis, 0)) << i;
                ASSERT_EQ(s16(body, 9 + 2 * axis), m[i].data(axis, 0)) << i;
                ASSERT_EQ(s16(body, 15 + 2 * axis), g[i].data(axis, 0)) << i;
            }
            ASSERT_EQ(frames[i + 1].number, f[i].data(0, 0));
            ASSERT_EQ(0.0, f[i].data(1, 0));
            ASSERT_DOUBLE_EQ(frequency, f[i].data(2, 0));
            ASSERT_DOUBLE_EQ(frames[i + 1].number / frequency, a[i].time);
            ASSERT_EQ(body[21] & 1, k[i].data(0, 0));
            if (i > 0)
            {
                ASSERT_NEAR(1.0 / frequency, a[i].time - a[i - 1].time, 1e-9);
            }
        }
        const double level = ((static_cast<std::uint8_t>(frames.back().body[21]) >> 1) & 7) + 1;
        EXPECT_DOUBLE_EQ(level * 12.5, b.back().data(0, 0));
    }
}

TEST(FilterStreaming, LossRatioMatchesTheFramesTheRadioLost)
{
    Harness h(Sim::Generation::Second, {0xA10001});
    h.set("Frequency", "100");
    h.connect("A10001");
    h.set("transmission", "1");
    h.simulator.recorder().clear();
    h.simulator.faults().dropFrame = 0.01;
    DriftnodeOutputs& record = *h.filter->getOutputs(0xA10001);
    Probe info(record.frameInfoPin(), 8192);
    const Sim::Micros start = h.simulator.clock().now();
    while (h.simulator.clock().now() - start < 60000000) h.process();

    std::size_t dropped = 0;
    const auto sent = framesSent(h.simulator, dropped);
    const std::size_t total = dropped + sent.at(0xA10001).size();
    ASSERT_GT(dropped, 20u);
    // Each window's ratio shows until the next window closes: weigh them by the samples that carry them.
    const auto samples = info.drain();
    ASSERT_GT(samples.size(), 5000u);
    double lossSum = 0;
    std::size_t counted = 0;
    for (std::size_t i = 400; i < samples.size(); ++i)
    {
        lossSum += samples[i].data(1, 0);
        ++counted;
    }
    const double actual = static_cast<double>(dropped) / static_cast<double>(total);
    EXPECT_NEAR(actual, lossSum / static_cast<double>(counted), 0.005);
}
