// DDS on the loopback interface: the publish-to-receive latency of the pods' IMU messages at 16
// pods x 100 Hz, from Publisher::publish in one process to a C subscriber's take in another;
// and the CPU drfn3 stream uses while it streams 16 simulated pods with --csv, then with --csv
// and --dds: with no reader, while 'drfn3 record --dds' takes the session, and with a reader on
// every pod's topics.
// DdsBench [--quick]: shorter runs, for a smoke test.
#include <Drfn3/Dds/Publisher.h>
#include <Drfn3/Settings.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Simulator.h>

#include "DdsMessages.h"

#include <dds/dds.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Pods of the latency run (--latency-pods N, as several controllers give); the CPU run streams
// one controller's 16.
unsigned PODS = 16;
constexpr int RATE = 100;
constexpr unsigned DOMAIN_ID = 230;

double realtimeNow()
{
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::vector<unsigned> serials()
{
    std::vector<unsigned> all;
    for (unsigned i = 0; i < PODS; ++i) all.push_back(0xA10001 + i);
    return all;
}

/// The publisher's side, in a child: a second to be discovered, then one sample every 625 us,
/// the pods in turn, as a controller's frames come; each carries the real time it was handed
/// over as its time (no time base: the stamp is it).
[[noreturn]] void publishPaced(double seconds)
{
    int code = 1;
    {
        Drfn3::Dds::PublisherOptions options;
        options.domain = DOMAIN_ID;
        Drfn3::Dds::Publisher publisher(options);
        publisher.started(serials());
        timespec next{};
        clock_gettime(CLOCK_MONOTONIC, &next);
        next.tv_sec += 1;
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        std::vector<Drfn3::Sample> one(1);
        const int frames = static_cast<int>(seconds * RATE) * PODS;
        for (int frame = 0; frame < frames; ++frame)
        {
            one[0].serial = 0xA10001 + frame % PODS;
            one[0].time = realtimeNow();
            one[0].frame = frame / PODS;
            one[0].az = 9.81;
            publisher.publish(one);
            next.tv_nsec += 1000000000L / (RATE * PODS);
            if (next.tv_nsec >= 1000000000L)
            {
                next.tv_nsec -= 1000000000L;
                ++next.tv_sec;
            }
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
        }
        publisher.end();
        code = publisher.dropped() == 0 ? 0 : 2;
    }
    _exit(code);
}

void latency(double seconds)
{
    const pid_t child = fork();
    if (child == 0) publishPaced(seconds);

    // A subscriber as a ROS 2 node has it: reliable, volatile, a short keep-last history.
    const dds_entity_t participant = dds_create_participant(DOMAIN_ID, nullptr, nullptr);
    const dds_entity_t waitset = dds_create_waitset(participant);
    std::vector<dds_entity_t> readers;
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 100);
    for (unsigned serial : serials())
    {
        const std::string name = "rt/drfn3/" + Drfn3::hex(serial) + "/imu";
        const dds_entity_t topic =
            dds_create_topic(participant, &sensor_msgs_msg_dds__Imu__desc, name.c_str(), nullptr, nullptr);
        const dds_entity_t reader = dds_create_reader(participant, topic, qos, nullptr);
        dds_set_status_mask(reader, DDS_DATA_AVAILABLE_STATUS);
        dds_waitset_attach(waitset, reader, reader);
        readers.push_back(reader);
    }
    dds_delete_qos(qos);

    const std::size_t expected = static_cast<std::size_t>(seconds * RATE) * PODS;
    std::vector<double> latencies;
    latencies.reserve(expected);
    const dds_time_t deadline = dds_time() + DDS_SECS(static_cast<dds_duration_t>(seconds) + 10);
    while (latencies.size() < expected && dds_time() < deadline)
    {
        std::vector<dds_attach_t> ready(PODS);
        const dds_return_t n = dds_waitset_wait_until(waitset, ready.data(), PODS, deadline);
        for (dds_return_t r = 0; r < n; ++r)
        {
            void* samples[64] = {nullptr};
            dds_sample_info_t infos[64];
            const dds_return_t got = dds_take(static_cast<dds_entity_t>(ready[r]), samples, infos, 64, 64);
            const double now = realtimeNow();
            for (dds_return_t i = 0; i < got; ++i)
            {
                if (!infos[i].valid_data) continue;
                const auto* imu = static_cast<const sensor_msgs_msg_dds__Imu_*>(samples[i]);
                latencies.push_back(now - (imu->header.stamp.sec + imu->header.stamp.nanosec * 1e-9));
            }
            if (got > 0) dds_return_loan(static_cast<dds_entity_t>(ready[r]), samples, got);
        }
    }
    int status = 0;
    waitpid(child, &status, 0);
    dds_delete(participant);

    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
        return latencies.empty() ? 0.0 : latencies[std::min(latencies.size() - 1, std::size_t(q * latencies.size()))];
    };
    std::printf("publish-to-receive over loopback, %u pods x %d Hz for %.0f s: %zu of %zu received\n", PODS, RATE,
                seconds, latencies.size(), expected);
    std::printf("  median %.3f ms   p99 %.3f ms   max %.3f ms   (goal: p99 under 5 ms)%s\n", at(0.5) * 1e3,
                at(0.99) * 1e3, latencies.empty() ? 0.0 : latencies.back() * 1e3,
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "   the publisher dropped samples");
}

/// drfn3 with these arguments, output to /dev/null; its process id. Everything the child needs
/// is made before the fork: other threads run here (the simulator's server).
pid_t spawn(const std::vector<std::string>& args, const std::string& ports, const std::string& config)
{
    std::vector<std::string> variables{"ORLAN_TARNLINK_PORTS=" + ports, "XDG_CONFIG_HOME=" + config};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "ORLAN_TARNLINK_PORTS=", 21) != 0 && std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0)
            variables.emplace_back(*e);
    std::vector<char*> envp, argv{const_cast<char*>(DRFN3_EXE)};
    for (std::string& v : variables) envp.push_back(v.data());
    envp.push_back(nullptr);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
    {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execve(DRFN3_EXE, argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

/// CPU ticks (user and system) the process has used so far; negative once it is gone.
long cpuTicks(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* file = std::fopen(path, "r");
    if (!file) return -1;
    char text[1024] = {0};
    const std::size_t size = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    // Fields after the command's closing parenthesis: state is the 3rd, utime and stime the 14th and 15th.
    const char* p = std::strrchr(text, ')');
    if (!p || size == 0) return -1;
    unsigned long utime = 0, stime = 0;
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return -1;
    return static_cast<long>(utime + stime);
}

long fileSize(const std::string& path)
{
    struct stat info
    {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

enum class Reader
{
    None,
    Recorder,
    EveryTopic
};

/// Percent of one core drfn3 stream uses while it streams (from its CSV's first rows to its
/// last, so connecting, starting and stopping are left out); negative when it failed.
double streamCpu(double seconds, bool dds, Reader reader, const std::string& ports, const std::string& dir)
{
    std::string pods;
    for (unsigned serial : serials()) pods += (pods.empty() ? "" : ",") + Drfn3::hex(serial);
    const std::string csv = dir + "/stream.csv";
    std::remove(csv.c_str());
    std::vector<std::string> args{"stream", "--pods", pods, "--frequency", "100", "--seconds", std::to_string(seconds),
                                  "--csv",  csv};
    pid_t recorder = 0;
    dds_entity_t participant = 0;
    if (dds) args.insert(args.end(), {"--dds", "--dds-domain", std::to_string(DOMAIN_ID)});
    if (reader == Reader::Recorder)
        recorder = spawn({"record", "--dds", "--dds-domain", std::to_string(DOMAIN_ID), "--csv", dir + "/record.csv"},
                         ports, dir);
    if (reader == Reader::EveryTopic)
    {
        // As ROS 2 nodes would take each pod: reliable, volatile, keep-last 10, taken as it comes
        // by Cyclone's own delivery (a listener-free reader keeps the last 10).
        participant = dds_create_participant(DOMAIN_ID, nullptr, nullptr);
        dds_qos_t* qos = dds_create_qos();
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
        for (unsigned serial : serials())
            for (const bool imu : {true, false})
            {
                const std::string name = "rt/drfn3/" + Drfn3::hex(serial) + (imu ? "/imu" : "/mag");
                const dds_entity_t topic = dds_create_topic(
                    participant, imu ? &sensor_msgs_msg_dds__Imu__desc : &sensor_msgs_msg_dds__MagneticField__desc,
                    name.c_str(), nullptr, nullptr);
                dds_create_reader(participant, topic, qos, nullptr);
            }
        dds_delete_qos(qos);
    }
    const pid_t stream = spawn(args, ports, dir);
    long startTicks = -1, lastTicks = -1, lastSize = -1;
    double startTime = 0, lastTime = 0;
    int status = 0;
    while (waitpid(stream, &status, WNOHANG) == 0)
    {
        usleep(100000);
        const long ticks = cpuTicks(stream), size = fileSize(csv);
        if (ticks < 0) continue;
        // The header alone is written before connecting; rows come once streaming runs.
        if (size > 300 && startTicks < 0)
        {
            startTicks = ticks;
            startTime = realtimeNow();
        }
        if (startTicks >= 0 && size > lastSize && lastSize > 300)
        {
            lastTicks = ticks;
            lastTime = realtimeNow();
        }
        lastSize = size;
    }
    if (recorder > 0)
    {
        // The recorder ends with the session; a stuck one is not waited for.
        for (int i = 0; i < 100 && waitpid(recorder, nullptr, WNOHANG) == 0; ++i) usleep(50000);
        kill(recorder, SIGKILL);
        waitpid(recorder, nullptr, 0);
    }
    if (participant > 0) dds_delete(participant);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || lastTicks < 0 || lastTime <= startTime) return -1;
    return 100.0 * static_cast<double>(lastTicks - startTicks) / static_cast<double>(sysconf(_SC_CLK_TCK)) /
           (lastTime - startTime);
}

void cpu(bool quick)
{
    Tarnlink::Sim::Simulator sim(Tarnlink::Sim::Generation::Second);
    for (unsigned serial : serials()) sim.addPod(serial);
    Tarnlink::Sim::PtyServer server(sim);
    server.start();
    char dir[] = "/tmp/drfn3-dds-bench-XXXXXX";
    if (!mkdtemp(dir)) return;
    const double seconds = quick ? 6 : 30;
    std::printf("drfn3 stream, %u simulated pods x %d Hz on a pseudo-terminal, %.0f s: CPU while streaming\n", PODS,
                RATE, seconds);
    struct Case
    {
        const char* name;
        bool dds;
        Reader reader;
    };
    std::vector<Case> cases{{"--csv", false, Reader::None},
                            {"--csv --dds, no reader", true, Reader::None},
                            {"--csv --dds, drfn3 record", true, Reader::Recorder},
                            {"--csv --dds, a reader per topic", true, Reader::EveryTopic}};
    if (quick) cases = {cases[0], cases[2]};
    for (const Case& c : cases)
    {
        const double percent = streamCpu(seconds, c.dds, c.reader, server.stablePath(), dir);
        if (percent < 0)
            std::printf("  %-34s failed\n", c.name);
        else
            std::printf("  %-34s %5.1f %% of one core\n", c.name, percent);
    }
    server.stop();
    std::system((std::string("rm -rf ") + dir).c_str());
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    // Nothing leaves this computer.
    setenv("CYCLONEDDS_URI", "file://" DDS_LOOPBACK_CONFIG, 1);
    if (argc > 2 && std::strcmp(argv[argc - 2], "--latency-pods") == 0)
    {
        PODS = static_cast<unsigned>(std::atoi(argv[argc - 1]));
        if (PODS < 1 || PODS > 256) return 2;
        latency(quick ? 2 : 10);
        return 0;
    }
    latency(quick ? 2 : 10);
    cpu(quick);
    return 0;
}
