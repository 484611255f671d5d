// The host-side layer (Host, SampleReader, calibration) with the real module, against the
// simulator in virtual time.
#include "SimControllerFactory.h"
#include "OrientationScenario.h"

#include <Drfn3/Host.h>
#include <Drfn3/PodCalibration.h>
#include <Drfn3/SampleReader.h>

#include <Poco/Environment.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/RegisterMap.h>
#include <Tarnlink/Sim/ScopedVirtualSleep.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/VirtualChannel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

using namespace Drfn3;
namespace Sim = Tarnlink::Sim;

namespace {

/// The simulator as the only controller discovery finds, the library's waits on its clock,
/// and the module loaded by a Host.
struct Session
{
    explicit Session(unsigned pods, int frequency = 100) : sleep(simulator)
    {
        Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
        std::string serials;
        for (unsigned i = 0; i < pods; ++i)
        {
            simulator.addPod(0xA10001 + i);
            serials += (i ? "," : "") + hex(0xA10001 + i);
        }
        key = Tarnlink::ControllerEnum::addSource([this] {
            return std::vector<Poco::AutoPtr<Tarnlink::ControllerFactory>>{
                Poco::AutoPtr<Tarnlink::ControllerFactory>(new Tests::SimControllerFactory(simulator))};
        });
        Settings settings;
        settings.module = DRFN3_MODULE_PATH;
        settings.ephemeral = true;
        settings.pods = serials;
        settings.podsGiven = true;
        settings.frequency = frequency;
        host = std::make_unique<Host>(settings);
    }
    ~Session()
    {
        host.reset();
        Tarnlink::ControllerEnum::removeSource(key);
    }

    std::vector<Sample> stream(SampleReader& reader, int cycles)
    {
        std::vector<Sample> samples;
        for (int i = 0; i < cycles; ++i)
        {
            host->filter().process();
            reader.collect(samples);
        }
        return samples;
    }

    /// The pod's raw frames as the simulator sent them, by frame number.
    std::map<int, std::array<double, 9>> sent(std::uint32_t serial)
    {
        std::map<int, std::array<double, 9>> frames;
        for (const Sim::Record& r : simulator.recorder().of(Sim::Record::Frame))
        {
            if (r.serial != serial) continue;
            const std::string body = r.bytes.substr(5);
            std::array<double, 9> values{};
            for (std::size_t k = 0; k < 9; ++k)
                values[k] = static_cast<std::int16_t>((static_cast<std::uint8_t>(body[3 + 2 * k]) << 8) |
                                                      static_cast<std::uint8_t>(body[4 + 2 * k]));
            frames[r.value] = values;
        }
        return frames;
    }

    Sim::Simulator simulator;
    Sim::ScopedVirtualSleep sleep;
    int key = 0;
    std::unique_ptr<Host> host;
};

double value(const Sample& s, int index)
{
    const double all[9] = {s.ax, s.ay, s.az, s.mx, s.my, s.mz, s.gx, s.gy, s.gz};
    return all[index];
}

} // namespace

TEST(SampleReader, CalibratedValuesFollowThePodsEepromAndTimeGoesOnAcrossTransmissions)
{
    Session session(2);
    session.host->connect();
    SampleReader reader(session.host->filter(), Units::Calibrated);
    SampleReader raw(session.host->filter(), Units::Raw);
    reader.setPods(session.host->serials());
    raw.setPods(session.host->serials());
    session.host->set("transmission", "1");
    reader.transmissionStarted(0);

    std::vector<Sample> first;
    for (int i = 0; i < 400; ++i)
    {
        session.host->filter().process();
        // Taken a few at a time: what is left waits, in order, for the next call.
        reader.collect(first, 1);
    }
    std::vector<Sample> counts;
    raw.collect(counts);
    reader.collect(first);
    ASSERT_GT(first.size(), 300u);
    ASSERT_EQ(first.size(), counts.size());
    std::map<std::pair<unsigned, std::int64_t>, Sample> countsOf;
    for (const Sample& s : counts) countsOf[{s.serial, s.frame}] = s;

    // "8g" by default: the filter doubles the accelerometer gain the EEPROM holds.
    for (std::uint32_t serial : {0xA10001u, 0xA10002u})
    {
        const auto sent = session.sent(serial);
        Sim::Pod& pod = *session.simulator.pod(serial);
        int expectedFrame = 1;
        for (std::size_t i = 0; i < first.size(); ++i)
        {
            const Sample& s = first[i];
            if (s.serial != serial) continue;
            ASSERT_EQ(expectedFrame++, s.frame) << "every frame once, in order";
            EXPECT_DOUBLE_EQ(s.frame / 100.0, s.time);
            const std::array<double, 9>& frame = sent.at(static_cast<int>(s.frame));
            for (unsigned sensor = 0; sensor < 3; ++sensor)
            {
                const std::array<double, 9> g = pod.calibrationGain(sensor);
                const std::array<double, 3> o = pod.calibrationOffset(sensor);
                const double scale = sensor == 0 ? 2.0 : 1.0;
                for (int r = 0; r < 3; ++r)
                {
                    double expected = -o[r];
                    for (int c = 0; c < 3; ++c) expected += scale * g[3 * r + c] * frame[3 * sensor + c];
                    EXPECT_NEAR(expected, value(s, 3 * sensor + r), 1e-9 * std::abs(expected) + 1e-12);
                    EXPECT_EQ(frame[3 * sensor + r], value(countsOf.at({serial, s.frame}), 3 * sensor + r));
                }
            }
            EXPECT_NEAR(9.80665, std::sqrt(s.ax * s.ax + s.ay * s.ay + s.az * s.az), 0.2);
        }
    }

    // A second transmission: frames count from 1 again, the run's time goes on.
    session.host->set("transmission", "0");
    session.host->set("transmission", "1");
    reader.transmissionStarted(1.0);
    const double last = first.back().time;
    const std::vector<Sample> second = session.stream(reader, 100);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(1, second.front().frame);
    EXPECT_DOUBLE_EQ(std::max(1.0, last) + 0.01, second.front().time);
    for (const PodState& pod : reader.pods())
    {
        EXPECT_TRUE(pod.calibrationUsable);
        EXPECT_NEAR(100.0, pod.rate(), 0.5) << "over streaming time, the pause left out";
    }
    EXPECT_FALSE(std::isnan(reader.firstSampleUtc()));
    EXPECT_DOUBLE_EQ(0.01, reader.firstSampleTime());
}

TEST(PodCalibration, APartKeepsWhatThePodHoldsAndABadShapeTouchesNothing)
{
    Session session(2);
    session.host->connect();
    SampleReader reader(session.host->filter(), Units::Calibrated);
    Sim::Pod& pod = *session.simulator.pod(0xA10002);
    const std::array<double, 9> accGain = pod.calibrationGain(0), gyrGain = pod.calibrationGain(2);
    const std::array<double, 3> accOffset = pod.calibrationOffset(0);

    // Only the gyroscope offset of one pod, with nothing read before in this session.
    CalibrationMatrix offset;
    offset.serial = 0xA10002;
    offset.sensor = 2;
    offset.gain = false;
    offset.rows = 1;
    offset.cols = 3;
    offset.values = {0.01, -0.02, 0.03};
    writeCalibration(*session.host, reader, {offset});
    EXPECT_EQ((std::array<double, 3>{0.01, -0.02, 0.03}), pod.calibrationOffset(2));
    EXPECT_EQ(gyrGain, pod.calibrationGain(2)) << "a gain nobody gave";
    EXPECT_EQ(accGain, pod.calibrationGain(0));
    EXPECT_EQ(accOffset, pod.calibrationOffset(0));

    // Refused before a single request goes out.
    session.simulator.recorder().clear();
    CalibrationMatrix wrong = offset;
    wrong.gain = true;
    for (const auto& bad : std::vector<std::pair<CalibrationMatrix, const char*>>{{wrong, "a gain is 3x3, not 1x3"},
                                                                                  {[&] {
                                                                                       CalibrationMatrix m = offset;
                                                                                       m.values.pop_back();
                                                                                       return m;
                                                                                   }(),
                                                                                   "not 1x3"},
                                                                                  {[&] {
                                                                                       CalibrationMatrix m = offset;
                                                                                       m.values[1] = NAN;
                                                                                       return m;
                                                                                   }(),
                                                                                   "finite"},
                                                                                  {[&] {
                                                                                       CalibrationMatrix m = offset;
                                                                                       m.serial = 0xB00001;
                                                                                       return m;
                                                                                   }(),
                                                                                   "not one of the known pods"},
                                                                                  {[&] {
                                                                                       CalibrationMatrix m = offset;
                                                                                       m.sensor = 3;
                                                                                       return m;
                                                                                   }(),
                                                                                   "is not 0, 1 or 2"}})
    {
        try
        {
            writeCalibration(*session.host, reader, {bad.first});
            ADD_FAILURE() << bad.second;
        }
        catch (const UsageError& e)
        {
            EXPECT_NE(std::string::npos, std::string(e.what()).find(bad.second)) << e.what();
        }
    }
    try
    {
        writeCalibration(*session.host, reader, {offset, offset});
        ADD_FAILURE() << "twice";
    }
    catch (const UsageError& e)
    {
        EXPECT_NE(std::string::npos, std::string(e.what()).find("given twice")) << e.what();
    }
    EXPECT_TRUE(session.simulator.recorder().records().empty());
}

TEST(Host, SixteenPodsAreSetOnceTheControllerIsOpenAndAnotherControllerIsNotTaken)
{
    Session session(16);
    EXPECT_EQ(16u, session.host->serials().size()) << "waiting for the controller";
    EXPECT_EQ("", session.host->get("serial"));
    session.host->connect();
    EXPECT_EQ(16u, session.host->serials().size());
    EXPECT_EQ(16u, parseSerials(session.host->get("serial")).size());
    SampleReader reader(session.host->filter(), Units::Calibrated);
    reader.setPods(session.host->serials());
    session.host->set("transmission", "1");
    std::vector<Sample> samples = session.stream(reader, 16 * 20);
    std::map<unsigned, int> perPod;
    for (const Sample& s : samples) ++perPod[s.serial];
    EXPECT_EQ(16u, perPod.size());
    const std::string identity = session.host->controller().identity;
    EXPECT_EQ(6u, identity.size());
    session.host->disconnect();

    // Asked for another controller: refused after reads alone.
    session.simulator.recorder().clear();
    try
    {
        session.host->connect("FFFFFF");
        ADD_FAILURE() << "connected to " << identity;
    }
    catch (const Poco::IOException& e)
    {
        EXPECT_NE(std::string::npos, e.message().find("answers as " + identity + ", not FFFFFF")) << e.message();
    }
    EXPECT_FALSE(session.host->connected());
    // Its serial number is read through the address of its own EEPROM: that is all it is told.
    const std::vector<Sim::Record> requests = session.simulator.recorder().of(Sim::Record::Request);
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(Tarnlink::Opcode::READ_FPGA_REG, requests.front().opcode) << "asked before it is told anything";
    for (const Sim::Record& r : requests)
    {
        const bool eeprom = r.address == Tarnlink::CtrlReg::EEPTROM_CTRL || r.address == Tarnlink::CtrlReg::EEPROM_ADDR;
        if (r.opcode == Tarnlink::Opcode::WRITE_FPGA_REG)
        {
            EXPECT_TRUE(eeprom) << "a controller not asked for was set up";
        }
    }
}

TEST(SampleReader, OrientationOfEveryPodAgainstTheSimulatorsTruth)
{
    using namespace OrientationTests;
    Session session(3);
    // Turns, smooth random motion up to 500 deg/s, rest; each gyroscope 1 deg/s off. The first
    // pod's frame number wraps 2.56 s into each transmission.
    const char* const scripts[3] = {"turns", "random", "rest"};
    for (unsigned i = 0; i < 3; ++i)
    {
        Sim::Pod& pod = *session.simulator.pod(0xA10001 + i);
        pod.setMotion(Sim::MotionScript::named(scripts[i], pod.serial(), 7));
        pod.sensors().gyroscopeBias = {kDegree, -kDegree, kDegree};
    }
    session.simulator.pod(0xA10001)->setFrameNumberOffset(0xFF00);
    session.host->connect();
    SampleReader reader(session.host->filter(), Units::Calibrated);
    // Counts, and six-axis: the tilt still holds, the heading is the gyroscope's.
    SampleReader raw(session.host->filter(), Units::Raw);
    EXPECT_THROW(reader.enableOrientation({-1, true}), UsageError);
    EXPECT_FALSE(reader.orientation());
    reader.enableOrientation({2.5, true});
    raw.enableOrientation({0, false});
    for (SampleReader* r : {&reader, &raw}) r->setPods(session.host->serials());

    std::map<std::pair<unsigned, int>, Sim::Micros> sentAt;
    std::size_t seen = 0;
    struct Error
    {
        double time;
        Errors e;
        unsigned sensors;
    };
    // Each pod's errors by reader, the truth taken at the time its frame left the pod.
    const auto stream = [&](double seconds, double runSeconds) {
        session.simulator.recorder().clear();
        sentAt.clear();
        seen = 0;
        session.host->set("transmission", "1");
        for (SampleReader* r : {&reader, &raw}) r->transmissionStarted(runSeconds);
        std::map<unsigned, std::vector<Error>> errors[2];
        for (int cycle = 0; cycle < static_cast<int>(seconds * 300); ++cycle)
        {
            session.host->filter().process();
            const std::vector<Sim::Record>& records = session.simulator.recorder().records();
            for (; seen < records.size(); ++seen)
                if (records[seen].kind == Sim::Record::Frame)
                    sentAt[{records[seen].serial, records[seen].value}] = records[seen].time;
            for (int k = 0; k < 2; ++k)
            {
                std::vector<Sample> samples;
                (k == 0 ? reader : raw).collect(samples);
                for (const Sample& s : samples)
                {
                    EXPECT_TRUE(s.hasOrientation) << s.time;
                    const Sim::MotionTruth truth =
                        session.simulator.truth(s.serial, sentAt.at({s.serial, static_cast<int>(s.frame & 0xFFFF)}));
                    const Eigen::Quaterniond q(s.qw, s.qx, s.qy, s.qz);
                    EXPECT_NEAR(1.0, q.norm(), 1e-9);
                    errors[k][s.serial].push_back({s.time, errorsOf(q, truth.orientation), s.orientationSensors});
                }
            }
        }
        session.host->set("transmission", "0");
        return std::array<std::map<unsigned, std::vector<Error>>, 2>{errors[0], errors[1]};
    };
    const auto worst = [](const std::vector<Error>& errors, double Errors::*what, double from) {
        double w = 0;
        for (const Error& e : errors)
            if (e.time >= from) w = std::max(w, e.e.*what);
        return w;
    };
    const auto rms = [](const std::vector<Error>& errors) {
        double sum = 0;
        for (const Error& e : errors) sum += e.e.angle * e.e.angle;
        return std::sqrt(sum / static_cast<double>(errors.size()));
    };

    // 8 s, then 4 s of a new transmission with half the frames lost: the estimate starts afresh
    // from its first frame, and the real time steps bridge the gaps.
    auto first = stream(8, 0);
    session.simulator.faults().dropFrame = 0.5;
    auto lossy = stream(4, 8);
    session.simulator.faults().dropFrame = 0;
    std::printf("\n%-40s %10s %10s\n", "gain 2.5, 100 Hz, bias 1 deg/s (degrees)", "RMS", "worst");
    for (unsigned i = 0; i < 3; ++i)
    {
        const unsigned serial = 0xA10001 + i;
        const std::vector<Error>& e = first[0][serial];
        ASSERT_GT(e.size(), 700u) << scripts[i];
        std::vector<Error> all = e;
        all.insert(all.end(), lossy[0][serial].begin(), lossy[0][serial].end());
        std::printf("%-40s %10.3f %10.3f\n", (std::string(scripts[i]) + ", 8 s, then 4 s half lost").c_str(), rms(all),
                    worst(all, &Errors::angle, 0));
        EXPECT_LT(e.front().e.angle, 2.0) << scripts[i] << ": from the first sample on";
        EXPECT_LE(rms(all), 2.0) << scripts[i];
        EXPECT_LE(worst(all, &Errors::angle, 0), 6.0) << scripts[i];
        for (const Error& x : all) EXPECT_EQ(7u, x.sensors) << x.time;
        const std::vector<Error>& sixAxis = first[1][serial];
        EXPECT_EQ(e.size(), sixAxis.size());
        EXPECT_LE(worst(sixAxis, &Errors::tilt, 0), 6.0) << scripts[i];
        for (const Error& x : sixAxis) EXPECT_EQ(5u, x.sensors) << x.time;
    }
    const std::vector<Error>& still = first[0][0xA10003];
    EXPECT_LE(worst(still, &Errors::tilt, 3), 0.5);
    EXPECT_LE(worst(still, &Errors::heading, 3), 1.0);

    // The gyroscope off, in a new transmission: accelerometer and magnetometer alone, said in
    // every sample after the three frames of zeros that tell it; the run's time goes on. The
    // last pod left the network and came back meanwhile: its pins are new, and linked again.
    session.host->set("serial", "A10001;A10002");
    session.host->set("serial", "A10001;A10002;A10003");
    session.host->set("Gyro On", "0");
    const double last = reader.pods()[0].latest.time;
    auto gyroOff = stream(3, 12);
    for (unsigned i = 0; i < 3; ++i)
    {
        const std::vector<Error>& e = gyroOff[0][0xA10001 + i];
        ASSERT_GT(e.size(), 250u) << scripts[i];
        EXPECT_GT(e.front().time, last);
        for (std::size_t k = 3; k < e.size(); ++k)
        {
            EXPECT_EQ(3u, e[k].sensors) << e[k].time;
            EXPECT_LE(e[k].e.angle, 2.0) << scripts[i] << " " << e[k].time;
        }
    }
}
