// Samples of simulated pods published over DDS on the loopback interface, and taken back by
// subscribers made with the C API as another program would make them.
#include "SimControllerFactory.h"
#include <Drfn3/Dds/Publisher.h>
#include <Drfn3/Dds/Subscriber.h>
#include <Drfn3/Host.h>
#include <Drfn3/SampleReader.h>

#include "DdsMessages.h"

#include <Poco/Environment.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/Sim/ScopedVirtualSleep.h>
#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/VirtualChannel.h>

#include <dds/dds.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>

#include <csignal>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

using namespace Drfn3;
namespace Sim = Tarnlink::Sim;

namespace {

/// Traffic on lo only, in a domain of this process's own so parallel runs do not meet (the
/// end-to-end tests take 101 to 200).
unsigned loopbackDomain()
{
    ::setenv("CYCLONEDDS_URI", "file://" DDS_LOOPBACK_CONFIG, 1);
    return 1 + static_cast<unsigned>(::getpid()) % 100;
}

/// Two seconds of three simulated pods at 100 Hz, read in virtual time.
struct Streamed
{
    Streamed() : sleep(simulator)
    {
        Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
        for (unsigned serial : SERIALS) simulator.addPod(serial);
        const int key = Tarnlink::ControllerEnum::addSource([this] {
            return std::vector<Poco::AutoPtr<Tarnlink::ControllerFactory>>{
                Poco::AutoPtr<Tarnlink::ControllerFactory>(new Tests::SimControllerFactory(simulator))};
        });
        {
            Settings settings;
            settings.module = DRFN3_MODULE_PATH;
            settings.ephemeral = true;
            settings.pods = "A10001,A10002,A10003";
            settings.podsGiven = true;
            settings.frequency = 100;
            Host host(settings);
            host.connect();
            SampleReader reader(host.filter(), Units::Calibrated);
            reader.setPods(host.serials());
            host.set("transmission", "1");
            reader.transmissionStarted(0);
            while (samples.size() < 600)
            {
                host.filter().process();
                reader.collect(samples);
            }
            firstUtc = reader.firstSampleUtc();
            firstTime = reader.firstSampleTime();
            host.disconnect();
        }
        Tarnlink::ControllerEnum::removeSource(key);
    }

    static constexpr unsigned SERIALS[3] = {0xA10001, 0xA10002, 0xA10003};
    Sim::Simulator simulator;
    Sim::ScopedVirtualSleep sleep;
    std::vector<Sample> samples;
    double firstUtc = 0, firstTime = 0;
};

/// A reader of one topic, as a program outside drfn3 makes it.
template <typename Message>
class TopicReader
{
public:
    /// depth 0: every message kept until taken.
    TopicReader(dds_entity_t participant, const dds_topic_descriptor_t& type, const std::string& name, int depth = 0)
    {
        const dds_entity_t topic = dds_create_topic(participant, &type, name.c_str(), nullptr, nullptr);
        dds_qos_t* qos = dds_create_qos();
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
        dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
        dds_qset_history(qos, depth ? DDS_HISTORY_KEEP_LAST : DDS_HISTORY_KEEP_ALL, depth);
        _reader = dds_create_reader(participant, topic, qos, nullptr);
        dds_delete_qos(qos);
        EXPECT_GT(_reader, 0) << name;
    }

    /// Copies of every valid message that came within the time limit, until count of them.
    std::vector<Message> take(std::size_t count, double seconds = 10)
    {
        std::vector<Message> taken;
        const dds_entity_t condition = dds_create_readcondition(_reader, DDS_ANY_STATE);
        const dds_entity_t waitset = dds_create_waitset(DDS_CYCLONEDDS_HANDLE);
        dds_waitset_attach(waitset, condition, 0);
        const dds_time_t deadline = dds_time() + static_cast<dds_duration_t>(seconds * 1e9);
        while (taken.size() < count && dds_waitset_wait_until(waitset, nullptr, 0, deadline) > 0)
        {
            void* samples[64] = {nullptr};
            dds_sample_info_t infos[64];
            const dds_return_t n = dds_take(_reader, samples, infos, 64, 64);
            for (dds_return_t i = 0; i < n; ++i)
                if (infos[i].valid_data) taken.push_back(*static_cast<const Message*>(samples[i]));
            // The strings inside stay valid only while the loan is held: read before it goes back.
            for (dds_return_t i = 0; i < n; ++i)
                if (infos[i].valid_data) remember(*static_cast<const Message*>(samples[i]));
            if (n > 0) dds_return_loan(_reader, samples, n);
        }
        dds_delete(waitset);
        dds_delete(condition);
        return taken;
    }

    std::vector<std::string> frameIds;
    std::vector<std::string> sessions;
    std::vector<std::vector<std::string>> podLists;

private:
    template <typename M>
    auto remember(const M& m) -> decltype(m.header, void())
    {
        frameIds.emplace_back(m.header.frame_id);
    }
    void remember(const drfn3_msg_dds__Status_& m)
    {
        sessions.emplace_back(m.session);
        podLists.emplace_back();
        for (std::uint32_t i = 0; i < m.pods._length; ++i) podLists.back().emplace_back(m.pods._buffer[i].serial);
    }

    dds_entity_t _reader = 0;
};

/// Publishes samples from a child process: the session is made, its samples published, and
/// it ends when released. Exit code 0: nothing dropped.
class Publishing
{
public:
    Publishing(unsigned domain, const std::vector<Sample>& samples, double firstUtc, double firstTime)
    {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        _pid = ::fork();
        if (_pid == 0)
        {
            ::close(fds[1]);
            Dds::PublisherOptions options;
            options.domain = domain;
            // All of it is written before the readers can have matched: they get it from the history.
            options.history = 1000;
            int code = 3;
            {
                Dds::Publisher publisher(options);
                publisher.started({0xA10001, 0xA10002, 0xA10003});
                publisher.timeBase(firstUtc, firstTime);
                for (std::size_t i = 0; i < samples.size(); i += 7)
                    publisher.publish(
                        std::vector<Sample>(samples.begin() + i, samples.begin() + std::min(samples.size(), i + 7)));
                publisher.report({{0xA10001, 200, 100, 0, 88, true}, {0xA10002, 200, 100, 0, 88, true}}, 2.0);
                char byte;
                // Released, or the test went away.
                while (::read(fds[0], &byte, 1) < 0 && errno == EINTR)
                {
                }
                publisher.end();
                if (publisher.dropped() == 0) code = 0;
            }
            ::_exit(code);
        }
        ::close(fds[0]);
        _release = fds[1];
    }
    ~Publishing()
    {
        release();
        if (wait() < 0) ::kill(_pid, SIGKILL);
        wait();
    }

    std::string session() const { return Poco::Environment::nodeName() + ":" + std::to_string(_pid); }
    void release()
    {
        if (_release >= 0) ::close(_release);
        _release = -1;
    }
    /// Exit code, -1 while it still runs after 10 s.
    int wait()
    {
        for (int i = 0; i < 500 && _status < 0; ++i)
        {
            int status = 0;
            if (::waitpid(_pid, &status, WNOHANG) == _pid)
                _status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return _status;
    }

private:
    pid_t _pid = -1;
    int _release = -1;
    int _status = -1;
};

double seconds(const builtin_interfaces_msg_dds__Time_& t)
{
    return t.sec + t.nanosec * 1e-9;
}

} // namespace

TEST(DdsPublisher, SubscribersGetEverySampleOfThreePodsInRosUnitsStampedInUtcAndTheSessionsEnd)
{
    const unsigned domain = loopbackDomain();
    Streamed streamed;
    // A fourth pod that no start announced, turned 90 degrees about up (x west): a quarter
    // turn more in ROS's east-north-up.
    Sample turned;
    turned.serial = 0xB00001;
    turned.time = streamed.samples.back().time;
    turned.hasOrientation = true;
    turned.qw = std::sqrt(0.5);
    turned.qz = std::sqrt(0.5);
    std::vector<Sample> all = streamed.samples;
    all.push_back(turned);

    // The publisher in a process of its own, so that everything crosses the loopback
    // interface; it keeps its session open until the readers here have had what it sent.
    Publishing publishing(domain, all, streamed.firstUtc, streamed.firstTime);

    const dds_entity_t participant = dds_create_participant(domain, nullptr, nullptr);
    ASSERT_GT(participant, 0);
    std::map<unsigned, std::unique_ptr<TopicReader<sensor_msgs_msg_dds__Imu_>>> imu;
    std::map<unsigned, std::unique_ptr<TopicReader<sensor_msgs_msg_dds__MagneticField_>>> mag;
    for (const char* serial : {"A10001", "A10002", "A10003", "B00001"})
    {
        const unsigned key = static_cast<unsigned>(std::stoul(serial, nullptr, 16));
        imu[key] = std::make_unique<TopicReader<sensor_msgs_msg_dds__Imu_>>(participant, sensor_msgs_msg_dds__Imu__desc,
                                                                            std::string("rt/drfn3/") + serial + "/imu");
        mag[key] = std::make_unique<TopicReader<sensor_msgs_msg_dds__MagneticField_>>(
            participant, sensor_msgs_msg_dds__MagneticField__desc, std::string("rt/drfn3/") + serial + "/mag");
    }
    TopicReader<drfn3_msg_dds__Status_> status(participant, drfn3_msg_dds__Status__desc, "rt/drfn3/status", 1);
    Dds::SessionSubscriber recorder(domain);

    EXPECT_STREQ("sensor_msgs::msg::dds_::Imu_", sensor_msgs_msg_dds__Imu__desc.m_typename);
    EXPECT_STREQ("sensor_msgs::msg::dds_::MagneticField_", sensor_msgs_msg_dds__MagneticField__desc.m_typename);
    std::map<unsigned, std::vector<const Sample*>> sent;
    for (const Sample& s : all) sent[s.serial].push_back(&s);
    for (const auto& [serial, samples] : sent)
    {
        const auto imus = imu[serial]->take(samples.size());
        const auto mags = mag[serial]->take(samples.size());
        ASSERT_EQ(samples.size(), imus.size()) << std::hex << serial;
        ASSERT_EQ(samples.size(), mags.size()) << std::hex << serial;
        for (std::size_t i = 0; i < samples.size(); ++i)
        {
            const Sample& s = *samples[i];
            const double utc = streamed.firstUtc + (s.time - streamed.firstTime);
            EXPECT_NEAR(utc, seconds(imus[i].header.stamp), 1e-6);
            EXPECT_NEAR(utc, seconds(mags[i].header.stamp), 1e-6);
            EXPECT_EQ(hex(serial), imu[serial]->frameIds[i]);
            EXPECT_EQ(hex(serial), mag[serial]->frameIds[i]);
            EXPECT_EQ(s.gx, imus[i].angular_velocity.x);
            EXPECT_EQ(s.gz, imus[i].angular_velocity.z);
            EXPECT_EQ(s.ay, imus[i].linear_acceleration.y);
            EXPECT_NEAR(s.mx * 1e-6, mags[i].magnetic_field.x, 1e-15);
            EXPECT_NEAR(s.mz * 1e-6, mags[i].magnetic_field.z, 1e-15);
            EXPECT_EQ(s.hasOrientation ? 0.0 : -1.0, imus[i].orientation_covariance[0]);
        }
        if (serial == 0xB00001)
        {
            EXPECT_NEAR(0.0, imus[0].orientation.w, 1e-12);
            EXPECT_NEAR(0.0, imus[0].orientation.x, 1e-12);
            EXPECT_NEAR(1.0, imus[0].orientation.z, 1e-12);
        }
        else
        {
            // Earth's field is tens of microtesla; gravity about 9.8 m/s^2.
            const auto& m = mags.front().magnetic_field;
            EXPECT_LT(std::sqrt(m.x * m.x + m.y * m.y + m.z * m.z), 1e-4);
            EXPECT_GT(std::sqrt(m.x * m.x + m.y * m.y + m.z * m.z), 1e-5);
        }
    }

    // A recorder gets every sample whole, in order; the session ends once it has them.
    std::vector<Sample> recorded;
    for (int i = 0; i < 100 && recorded.size() < all.size(); ++i)
        recorder.take(recorded, std::chrono::milliseconds(100));
    EXPECT_FALSE(recorder.ended());
    publishing.release();

    // The last status says the session ended, with what was reported.
    std::vector<drfn3_msg_dds__Status_> latest;
    for (int i = 0; i < 5 && (latest.empty() || latest.back().state != 3); ++i)
        for (const auto& m : status.take(1)) latest.push_back(m);
    ASSERT_FALSE(latest.empty());
    EXPECT_EQ(static_cast<int>(Dds::SessionState::Ended), latest.back().state);
    EXPECT_EQ(publishing.session(), status.sessions.back());
    EXPECT_EQ((std::vector<std::string>{"A10001", "A10002"}), status.podLists.back());
    EXPECT_EQ(0u, latest.back().dropped);

    for (int i = 0; i < 100 && !recorder.ended(); ++i) recorder.take(recorded, std::chrono::milliseconds(100));
    EXPECT_TRUE(recorder.ended());
    EXPECT_EQ(publishing.session(), recorder.session());
    EXPECT_EQ(0u, recorder.missedBatches());
    ASSERT_EQ(all.size(), recorded.size());
    for (std::size_t i = 0; i < all.size(); ++i)
    {
        const Sample &a = all[i], &b = recorded[i];
        EXPECT_TRUE(a.time == b.time && a.serial == b.serial && a.frame == b.frame && a.ax == b.ax && a.my == b.my &&
                    a.gz == b.gz && a.loss == b.loss && a.battery == b.battery && a.button == b.button &&
                    a.hasOrientation == b.hasOrientation && a.qz == b.qz)
            << i;
    }
    dds_delete(participant);
    EXPECT_EQ(0, publishing.wait()) << "the publisher dropped nothing and ended in time";
}
