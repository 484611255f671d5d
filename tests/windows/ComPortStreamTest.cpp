// The module and drfn3.exe streaming from a Linux drfn3 sim through a COM port, in real time.
#include "StreamCsv.h"
#include "Wine.h"

#include "Quillmesh/Core/HostedFilter.h"
#include "Quillmesh/Core/PluginLoader.h"
#include <Poco/NumberParser.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

using WineTest::LinuxSim;
using WineTest::RegisteredDevice;
using WineTest::waitFor;
using WineTest::windowsPath;

namespace {

using Accelerometer = std::array<int, 3>;

/// The accelerometer counts of every frame the simulator sent, by pod and frame number: a
/// frame is the marker, id 1, then slot, number and the x, y, z counts, big-endian.
std::map<std::pair<std::string, unsigned>, Accelerometer> sentFrames(const std::string& path)
{
    std::map<std::pair<std::string, unsigned>, Accelerometer> sent;
    std::ifstream in(windowsPath(path));
    std::string pod, hex;
    unsigned number = 0;
    while (in >> pod >> number >> hex)
    {
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes += static_cast<char>(Poco::NumberParser::parseHex(hex.substr(i, 2)));
        const auto word = [&](std::size_t at) {
            return static_cast<std::int16_t>((static_cast<unsigned char>(bytes[at]) << 8) |
                                             static_cast<unsigned char>(bytes[at + 1]));
        };
        if (bytes.size() >= 14) sent[{pod, number}] = {word(8), word(10), word(12)};
    }
    return sent;
}

/// Runs a Windows program to its end; its exit code, or -1 when it ran past the limit.
int run(std::string commandLine, std::chrono::seconds limit)
{
    STARTUPINFOA start{};
    start.cb = sizeof(start);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &process))
        return -2;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(limit.count() * 1000)) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    else
        TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(code);
}

#define SKIP_WITHOUT_SIMULATOR()                                                                                       \
    if (!LinuxSim::unavailable().empty()) GTEST_SKIP() << LinuxSim::unavailable()

} // namespace

TEST(ComPortRealtime, TheModulesFilterStreamsTheFramesTheSimulatorSent)
{
    SKIP_WITHOUT_SIMULATOR();
    const std::string frames = std::string(TEST_WORK_DIR) + "/plugin-frames.txt";
    std::remove(windowsPath(frames).c_str());
    LinuxSim sim(64, {"--sim-pods", "A10001,A10002", "--frames", frames});
    ASSERT_TRUE(sim.started());
    // A port outside SetupAPI's sight, given by name.
    Poco::Environment::set("ORLAN_TARNLINK_PORTS", sim.port());

    std::map<std::string, std::vector<std::pair<unsigned, Accelerometer>>> received;
    {
        Quillmesh::Core::PluginLoader loader;
        loader.load(windowsPath(DRFN3_MODULE_PATH));
        Quillmesh::Core::HostedFilter pods("FilterDRFN3", "pods");
        pods.setProperty("serial", "A10001;A10002");
        pods.setProperty("Frequency", "100");
        using Quillmesh::Core::RowMatrixXd;
        std::map<std::string,
                 std::pair<Quillmesh::Core::InputPin<RowMatrixXd>*, Quillmesh::Core::InputPin<RowMatrixXd>*>>
            taps;
        for (const char* pod : {"A10001", "A10002"})
            taps[pod] = {&pods.tap<RowMatrixXd>(std::string("3a#0x") + pod, 1, true, true),
                         &pods.tap<RowMatrixXd>(std::string("FrameNb#0x") + pod, 1, true, true)};
        pods.setProperty("connection", "1");
        ASSERT_EQ("1", pods.getProperty("connection"));
        pods.setProperty("transmission", "1");
        ASSERT_EQ("1", pods.getProperty("transmission"));
        // About a second and a half of two pods at 100 Hz.
        for (int i = 0; i < 300; ++i)
        {
            pods.process();
            for (auto& [pod, pins] : taps)
            {
                if (!pins.first->hasData() || !pins.second->hasData()) continue;
                const auto* acc = pins.first->getData();
                const auto* info = pins.second->getData();
                received[pod].push_back({static_cast<unsigned>(info->data(0, 0)),
                                         {static_cast<int>(acc->data(0, 0)), static_cast<int>(acc->data(1, 0)),
                                          static_cast<int>(acc->data(2, 0))}});
                pins.first->release();
                pins.second->release();
            }
        }
        pods.setProperty("transmission", "0");
        pods.setProperty("connection", "0");
    }
    Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
    ASSERT_TRUE(sim.stop());
    ASSERT_TRUE(waitFor([&] { return Poco::File(windowsPath(frames)).exists(); }, std::chrono::seconds(10)));

    const auto sent = sentFrames(frames);
    ASSERT_EQ(2u, received.size());
    for (const auto& [pod, samples] : received)
    {
        EXPECT_GE(samples.size(), 100u) << pod;
        for (std::size_t i = 0; i < samples.size(); ++i)
        {
            const auto& [number, counts] = samples[i];
            if (i > 0)
            {
                EXPECT_EQ(samples[i - 1].first + 1, number) << pod << ": no frame lost on the way";
            }
            const auto frame = sent.find({pod, number});
            ASSERT_NE(sent.end(), frame) << pod << " frame " << number << " was not sent";
            EXPECT_EQ(frame->second, counts) << pod << " frame " << number;
        }
    }
    std::remove(windowsPath(frames).c_str());
}

TEST(ComPortRealtime, Drfn3ExeFindsTheControllerInTheRegistryAndWritesEveryFrameToTheCsv)
{
    SKIP_WITHOUT_SIMULATOR();
    LinuxSim sim(65);
    ASSERT_TRUE(sim.started());
    RegisteredDevice controller("USB\\VID_0483&PID_A027\\0A1B2C", sim.port());
    ASSERT_TRUE(controller.made());
    const std::string csv = windowsPath(std::string(TEST_WORK_DIR) + "/drfn3-exe.csv");
    std::remove(csv.c_str());
    // Settings of its own, and discovery through the registry alone.
    Poco::Environment::set("XDG_CONFIG_HOME", windowsPath(std::string(TEST_WORK_DIR) + "/drfn3-exe-config"));
    Poco::Environment::set("ORLAN_TARNLINK_PORTS", "");
    const int code = run("\"" + windowsPath(DRFN3_EXE) +
                             "\" --pods A10001,A10002,A10003 --frequency 100 stream --seconds 3 --csv \"" + csv + "\"",
                         std::chrono::seconds(90));
    ASSERT_EQ(0, code);

    // 100 Hz for 3 s, with room for a loaded machine.
    checkStreamCsv(csv, 3, 150);
    std::remove(csv.c_str());
}
