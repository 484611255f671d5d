// drfn3 as a separate process, against the simulator served on a pseudo-terminal.

#include "StreamCsv.h"
#include <Poco/File.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>
#include <Poco/TemporaryFile.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/FirmwareImage.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Simulator.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <termios.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Tarnlink::Sim;

namespace {

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// SVG text with its character references (&#x41; and the like) resolved.
std::string svgText(const std::string& svg)
{
    std::string text;
    for (std::size_t i = 0; i < svg.size(); ++i)
    {
        if (svg.compare(i, 3, "&#x") == 0)
        {
            const std::size_t end = svg.find(';', i);
            unsigned code = 0;
            if (end != std::string::npos && Poco::NumberParser::tryParseHex(svg.substr(i + 3, end - i - 3), code) &&
                code < 128)
            {
                text += static_cast<char>(code);
                i = end;
                continue;
            }
        }
        text += svg[i];
    }
    return text;
}

/// drfn3 in a child process, its output in files.
class Drfn3
{
public:
    /// prefix comes before drfn3 on the command line (for example a privilege drop).
    Drfn3(std::vector<std::string> args, const std::string& ports = "", std::vector<std::string> prefix = {})
    {
        std::vector<std::string> argv = prefix;
        argv.push_back(DRFN3_EXE);
        argv.insert(argv.end(), args.begin(), args.end());
        _pid = ::fork();
        if (_pid == 0)
        {
            const int out = ::open(_out.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open(_err.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(err, 2);
            // A pty master inherited from the test would keep the port alive after its server hung up.
            for (int fd = 3; fd < 1024; ++fd) ::close(fd);
            ::setenv("ORLAN_TARNLINK_PORTS", ports.c_str(), 1);
            ::setenv("XDG_CONFIG_HOME", _config.path().c_str(), 1);
            std::vector<char*> raw;
            for (std::string& arg : argv) raw.push_back(arg.data());
            raw.push_back(nullptr);
            ::execvp(raw[0], raw.data());
            ::_exit(127);
        }
    }
    ~Drfn3()
    {
        if (_pid > 0 && _status < 0)
        {
            ::kill(_pid, SIGKILL);
            wait(std::chrono::seconds(5));
        }
    }

    void signal(int number) { ::kill(_pid, number); }
    pid_t pid() const { return _pid; }
    /// Exit code, or -1 when still running at the deadline, or 128 + signal.
    int wait(std::chrono::seconds limit = std::chrono::seconds(60))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (_status < 0 && std::chrono::steady_clock::now() < deadline)
        {
            int status = 0;
            if (::waitpid(_pid, &status, WNOHANG) == _pid)
                _status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return _status;
    }
    std::string out() const { return readFile(_out.path()); }
    std::string err() const { return readFile(_err.path()); }

private:
    Poco::TemporaryFile _out, _err, _config;
    pid_t _pid = -1;
    int _status = -1;
};

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

} // namespace

TEST(Drfn3Cli, SettingsSavedByOneRunAreUsedByTheNext)
{
    Poco::TemporaryFile config;
    Drfn3 first({"--config", config.path(), "--pods", "a10001,A10002", "--frequency", "50", "--acc-mode", "2g",
                 "--no-gyro", "--log", "traffic.log", "settings"});
    ASSERT_EQ(0, first.wait()) << first.err();
    Drfn3 second({"--config", config.path(), "settings"});
    ASSERT_EQ(0, second.wait()) << second.err();
    EXPECT_EQ("", second.err()) << "a setting the file leaves out, or one a closed controller holds, is no refusal";
    const std::string shown = second.out();
    EXPECT_NE(std::string::npos, shown.find("A10001;A10002")) << shown;
    EXPECT_NE(std::string::npos, shown.find("Frequency            50 ")) << shown;
    EXPECT_NE(std::string::npos, shown.find("Acc mode             0 ")) << shown;
    EXPECT_NE(std::string::npos, shown.find("Gyro On              0 ")) << shown;
    EXPECT_EQ(std::string::npos, readFile(config.path()).find("traffic.log")) << "the log is asked for per run";

    Drfn3 third({"--config", config.path(), "--frequency", "100", "settings"});
    ASSERT_EQ(0, third.wait());
    EXPECT_NE(std::string::npos, third.out().find("A10001;A10002")) << "an option overrides one setting only";
    EXPECT_NE(std::string::npos, third.out().find("Frequency            100 "));
}

TEST(Drfn3Cli, PlotDrawsAPanelPerSensorAndTheOrientationWhenTheCsvHasIt)
{
    Poco::TemporaryFile csv, svg, png;
    {
        std::ofstream out(csv.path());
        out << "time,pod,ax,ay,az,mx,my,mz,gx,gy,gz,frame,loss,battery,button\n";
        for (int i = 0; i < 50; ++i)
            for (const char* pod : {"A10001", "B2"})
                out << i * 0.01 << ',' << pod << ',' << i << ",-1,1000,200,-" << i << ",3,0,1,-1," << i
                    << ",0.0000,87.5,0\n";
    }
    const std::string image = svg.path() + ".svg";
    Drfn3 plot({"plot", csv.path(), "-o", image});
    ASSERT_EQ(0, plot.wait()) << plot.err();
    const std::string drawing = svgText(readFile(image));
    ::unlink(image.c_str());
    for (const char* text : {"Accelerometer", "Magnetometer", "Gyroscope", "time since the first sample"})
        EXPECT_NE(std::string::npos, drawing.find(text)) << text;
    EXPECT_EQ(std::string::npos, drawing.find("Orientation")) << "a file without it";

    // Today's file with the orientation: two more panels, roll/pitch/yaw and the quaternion.
    {
        std::ofstream out(csv.path());
        out << "time_s,pod,ax_m_s2,ay_m_s2,az_m_s2,mx_uT,my_uT,mz_uT,gx_rad_s,gy_rad_s,gz_rad_s,frame,loss,battery_pct,"
               "button,qw,qx,qy,qz,roll_deg,pitch_deg,yaw_deg,orientation_sensors\n";
        for (int i = 0; i < 50; ++i)
            out << i * 0.01 << ",A10001,0,0,9.8,20,0,-40,0,0,0.1," << i << ",0.0000,87.5,0,1,0,0,0,0,0," << i * 0.1
                << ",amg\n";
    }
    Drfn3 oriented({"plot", csv.path(), "-o", image});
    ASSERT_EQ(0, oriented.wait()) << oriented.err();
    const std::string panels = svgText(readFile(image));
    ::unlink(image.c_str());
    for (const char* text : {"Gyroscope", "Orientation", "angle (degrees)", "A10001 yaw", "A10001 w"})
        EXPECT_NE(std::string::npos, panels.find(text)) << text;

    Drfn3 wrongType({"plot", csv.path(), "-o", png.path() + ".jpg"});
    EXPECT_EQ(2, wrongType.wait());
    std::ofstream(csv.path()) << "not,a,stream\n";
    Drfn3 notStream({"plot", csv.path(), "-o", image});
    EXPECT_EQ(1, notStream.wait());
    EXPECT_NE(std::string::npos, notStream.err().find("not a drfn3 CSV")) << notStream.err();
}

TEST(Drfn3Realtime, DemoStreamsThreePodsIntoAParsableCsv)
{
    Poco::TemporaryFile csv;
    Drfn3 demo({"demo", "--seconds", "2", "--csv", csv.path(), "--orientation"});
    ASSERT_EQ(0, demo.wait(std::chrono::seconds(80))) << demo.out() << demo.err();
    for (const char* pod : {"A10001", "A10002", "A10003"}) EXPECT_NE(std::string::npos, demo.out().find(pod)) << pod;

    // 100 Hz for 2 s, with room for a loaded machine.
    checkStreamCsv(csv.path(), 3, 100, true, [](const Poco::StringTokenizer& cells, const double* values) {
        const std::string& pod = cells[1];
        EXPECT_EQ("amg", cells[22]) << pod;
        // The pods only turn: their orientation takes what they measure to the simulated world,
        // gravity straight up and the field north, dipping 60 degrees.
        const Tarnlink::Sim::Quaternion q{values[15], values[16], values[17], values[18]};
        EXPECT_NEAR(1.0, std::sqrt(q.w * q.w + q.x * q.x + q.y * q.y + q.z * q.z), 1e-5) << pod;
        const Tarnlink::Sim::Vector3 up = q.rotate({values[2], values[3], values[4]}),
                                     field = q.rotate({values[5], values[6], values[7]});
        EXPECT_NEAR(9.80665, up[2], 0.3) << pod;
        EXPECT_NEAR(0.0, std::hypot(up[0], up[1]), 0.5) << pod;
        EXPECT_NEAR(-60.0, std::atan2(field[2], field[0]) * 180 / M_PI, 2.0) << pod;
        EXPECT_NEAR(0.0, field[1], 1.5) << pod;
    });
}

TEST(Drfn3Realtime, InterruptStopsCleanlyWithPodsBackOnChannelZero)
{
    Simulator sim;
    const std::vector<std::uint32_t> serials{0xA10001, 0xA10002};
    for (std::uint32_t serial : serials) sim.addPod(serial);
    PtyServer server(sim);
    server.start();
    Poco::TemporaryFile config, csv;
    Drfn3 stream(
        {"--config", config.path(), "--pods", "A10001,A10002", "--frequency", "100", "stream", "--csv", csv.path()},
        server.slavePath());

    const bool streaming = waitFor(
        [&] {
            auto guard = sim.lock();
            return sim.pod(0xA10002)->framesSent() > 50;
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(streaming) << stream.out() << stream.err();
    stream.signal(SIGINT);
    ASSERT_EQ(0, stream.wait()) << stream.err();

    {
        auto guard = sim.lock();
        EXPECT_EQ(0u, sim.controller().channelCode());
        EXPECT_EQ(ControllerState::Idle, sim.controller().state());
        for (std::uint32_t serial : serials)
        {
            EXPECT_EQ(0u, sim.pod(serial)->channelCode()) << std::hex << serial;
            EXPECT_FALSE(sim.pod(serial)->streamingEnabled()) << std::hex << serial;
        }
        EXPECT_GT(readFile(csv.path()).size(), 1000u) << "rows were flushed";
    }

    // Ctrl-C while the start reads calibrations and searches a channel: stopped at once.
    Drfn3 starting({"--config", config.path(), "stream"}, server.slavePath());
    ASSERT_TRUE(
        waitFor([&] { return starting.err().find("Starting 2 pods") != std::string::npos; }, std::chrono::seconds(30)))
        << starting.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto signalled = std::chrono::steady_clock::now();
    starting.signal(SIGINT);
    EXPECT_EQ(130, starting.wait()) << starting.err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(1500)) << starting.err();
    EXPECT_NE(std::string::npos, starting.err().find("interrupted")) << starting.err();
    auto guard = sim.lock();
    EXPECT_EQ(0u, sim.controller().channelCode());
    for (std::uint32_t serial : serials)
    {
        EXPECT_EQ(0u, sim.pod(serial)->channelCode()) << std::hex << serial;
        EXPECT_FALSE(sim.pod(serial)->streamingEnabled()) << std::hex << serial;
    }
}

TEST(Drfn3Realtime, ControllersListsTheSimulatorAndTellsWhyAPortCannotBeOpened)
{
    Simulator sim;
    PtyServer server(sim);
    server.start();
    Drfn3 list({"controllers"}, server.slavePath());
    ASSERT_EQ(0, list.wait()) << list.err();
    EXPECT_NE(std::string::npos, list.out().find("generation 2  " + server.slavePath() + "  hardware 2.0 (ST)"))
        << list.out();

    // Root opens anything: drop to nobody for the refusal.
    Poco::TemporaryFile locked;
    std::ofstream(locked.path()) << "";
    ::chmod(locked.path().c_str(), 0);
    std::vector<std::string> prefix;
    if (::geteuid() == 0) prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    Drfn3 denied({"controllers"}, locked.path(), prefix);
    const int code = denied.wait();
    if (code == 126 || code == 127) GTEST_SKIP() << "cannot run drfn3 as another user here";
    EXPECT_EQ(1, code) << "nothing usable";
    EXPECT_NE(std::string::npos, denied.out().find(locked.path() + "  NOT USABLE: permission denied")) << denied.out();
    EXPECT_NE(std::string::npos, denied.out().find("plugdev")) << "the fix is named";
    EXPECT_EQ(std::string::npos, denied.out().find("denied: Permission denied")) << "said twice";
}

TEST(Drfn3Realtime, CalibrationPrintedByReadIsCommittedByWrite)
{
    Simulator sim;
    sim.addPod(0xA10001);
    PtyServer server(sim);
    server.start();
    Poco::TemporaryFile config, file;
    const std::vector<std::string> base{"--config", config.path(), "--pods", "A10001", "calib"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> args(base);
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    Drfn3 read(with({"read", "-o", file.path()}), server.slavePath());
    ASSERT_EQ(0, read.wait()) << read.err();
    std::string text = readFile(file.path());
    const std::size_t at = text.find("3mOff = ");
    ASSERT_NE(std::string::npos, at) << text;
    text.replace(at, text.find('\n', at) - at, "3mOff = 0.5, -1.5, 2");
    std::ofstream(file.path()) << text;

    Drfn3 write(with({"write", file.path()}), server.slavePath());
    ASSERT_EQ(0, write.wait()) << write.err();
    {
        auto guard = sim.lock();
        const std::array<double, 3> offset = sim.pod(0xA10001)->calibrationOffset(1);
        EXPECT_EQ((std::array<double, 3>{0.5, -1.5, 2}), offset) << "in the pod's EEPROM";
    }
    Drfn3 again(with({"read"}), server.slavePath());
    ASSERT_EQ(0, again.wait());
    EXPECT_NE(std::string::npos, again.out().find("3mOff = 0.5, -1.5, 2")) << again.out();

    // A file with one matrix, in a run that read nothing before: the rest stays as it is.
    std::array<double, 9> gyrGain{};
    {
        auto guard = sim.lock();
        gyrGain = sim.pod(0xA10001)->calibrationGain(2);
    }
    std::ofstream(file.path()) << "[A10001]\n3gOff = 0.01, 0.02, -0.03\n";
    Drfn3 part(with({"write", file.path()}), server.slavePath());
    ASSERT_EQ(0, part.wait()) << part.err();
    {
        auto guard = sim.lock();
        EXPECT_EQ((std::array<double, 3>{0.01, 0.02, -0.03}), sim.pod(0xA10001)->calibrationOffset(2));
        EXPECT_EQ(gyrGain, sim.pod(0xA10001)->calibrationGain(2)) << "a gain nobody gave was written";
        EXPECT_EQ((std::array<double, 3>{0.5, -1.5, 2}), sim.pod(0xA10001)->calibrationOffset(1));
    }

    // The registers a scan read are shown, not only logged.
    Drfn3 scan({"--config", config.path(), "--pods", "A10001", "scan"}, server.slavePath());
    ASSERT_EQ(0, scan.wait()) << scan.err();
    unsigned accCtrl = 0;
    {
        auto guard = sim.lock();
        accCtrl = sim.pod(0xA10001)->registerValue(141);
    }
    char expected[64];
    std::snprintf(expected, sizeof expected, "  ACC_CTRL       0x%04X", accCtrl);
    EXPECT_NE(std::string::npos, scan.out().find(std::string("pod A10001\n  VERSION"))) << scan.out();
    EXPECT_NE(std::string::npos, scan.out().find(expected)) << scan.out();
}

TEST(Drfn3Realtime, FirmwareUpgradeShowsProgressAndAMismatchedVerifyNamesItsReport)
{
    Simulator sim;
    sim.addPod(0xA10001);
    PtyServer server(sim);
    server.start();
    // Version word (0xD3, then 2.4) and 30 more words: a signed Intel HEX file.
    Poco::TemporaryFile hex;
    {
        std::ofstream out(hex.path());
        out << ":02000000D32407\n";
        for (unsigned address = 0x02; address < 0x40; address += 0x10)
        {
            const unsigned count = address + 0x10 <= 0x40 ? 0x10 : 0x40 - address;
            unsigned sum = count + (address >> 8) + (address & 0xFF);
            char text[16];
            std::snprintf(text, sizeof text, ":%02X%04X00", count, address);
            out << text;
            for (unsigned k = 0; k < count; ++k)
            {
                std::snprintf(text, sizeof text, "%02X", (address + k) & 0xFF);
                out << text;
                sum += (address + k) & 0xFF;
            }
            std::snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
            out << text;
        }
        out << ":00000001FF\n";
    }
    std::ofstream(hex.path() + ".md5") << Tarnlink::FirmwareImage::signature(hex.path());

    Drfn3 upgrade({"firmware", "upgrade", "--pod", "A10001", hex.path()}, server.slavePath());
    const int code = upgrade.wait(std::chrono::seconds(80));
    if (code != 0) ::unlink((hex.path() + ".md5").c_str());
    ASSERT_EQ(0, code) << upgrade.out() << upgrade.err();
    // Piped, each phase is one line.
    const std::string err = upgrade.err();
    EXPECT_NE(std::string::npos, err.find("  pod A10001 write (32 words)\n  pod A10001 read (32 words)\n")) << err;
    EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 8) << err;
    EXPECT_NE(std::string::npos, upgrade.out().find("Firmware of pod A10001 upgraded")) << upgrade.out();

    {
        auto guard = sim.lock();
        Pod& pod = *sim.pod(0xA10001);
        EXPECT_FALSE(pod.inProtectedArea());
        EXPECT_FALSE(pod.powered()) << "switched off";
        EXPECT_EQ(2u, pod.config().firmwareMajor);
        EXPECT_EQ(4u, pod.config().firmwareMinor);
        EXPECT_EQ(0x0203u, pod.eepromWord(0x0002));
        EXPECT_EQ(0x3E3Fu, pod.eepromWord(0x003E));
        pod.setPowered(true);
        pod.pokeEepromWord(0x0004, 0x0000);
    }

    // The report goes to the current folder, which the child inherits.
    Poco::TemporaryFile folder;
    Poco::File(folder.path()).createDirectories();
    char previous[4096];
    ASSERT_NE(nullptr, ::getcwd(previous, sizeof previous));
    ASSERT_EQ(0, ::chdir(folder.path().c_str()));
    Drfn3 verify({"firmware", "verify", "--pod", "A10001", hex.path()}, server.slavePath());
    const int verifyCode = verify.wait(std::chrono::seconds(80));
    ASSERT_EQ(0, ::chdir(previous));
    ::unlink((hex.path() + ".md5").c_str());
    EXPECT_EQ(1, verifyCode) << verify.out() << verify.err();
    const std::string report = folder.path() + "/check_diff_firmware.txt";
    EXPECT_NE(std::string::npos, verify.out().find("DIFFERS from " + hex.path() + ": see " + report)) << verify.out();
    EXPECT_NE(std::string::npos, readFile(report).find("eeprom @4\t0\nfile @4\t405\n")) << readFile(report);
}

TEST(Drfn3Realtime, Generation1OnASerialPortIsListedAndStreamsWithoutD2xx)
{
    Simulator sim(Generation::First);
    sim.addPod(0xA10001);
    PtyServer server(sim);
    server.start();
    struct Environment
    {
        Environment(const std::string& port)
        {
            ::setenv("ORLAN_TARNLINK_PORTS_GEN1", port.c_str(), 1);
            ::setenv("ORLAN_FTD2XX_LIBRARY", "/nonexistent/libftd2xx.so", 1);
        }
        ~Environment()
        {
            ::unsetenv("ORLAN_TARNLINK_PORTS_GEN1");
            ::unsetenv("ORLAN_FTD2XX_LIBRARY");
        }
    } environment(server.stablePath());

    Drfn3 list({"controllers"});
    ASSERT_EQ(0, list.wait()) << list.out() << list.err();
    EXPECT_NE(std::string::npos, list.out().find("generation 1  " + server.stablePath() + "  hardware 1.0 (FTDI)"))
        << list.out();

    Poco::TemporaryFile config, csv;
    Drfn3 stream({"--config", config.path(), "--pods", "A10001", "--frequency", "100", "stream", "--seconds", "2",
                  "--csv", csv.path()});
    ASSERT_EQ(0, stream.wait(std::chrono::seconds(80))) << stream.out() << stream.err();
    EXPECT_NE(std::string::npos, (stream.out() + stream.err()).find("1.0 (FTDI)")) << stream.out() << stream.err();
    std::ifstream in(csv.path());
    std::string line;
    int rows = 0;
    while (std::getline(in, line))
        if (line.find(",A10001,") != std::string::npos) ++rows;
    EXPECT_GE(rows, 100) << "100 Hz for 2 s: " << stream.out();
}

// Every option and file a user can get wrong: each exits with its code and a message that
// names the problem, while the settings file, the calibration file and the device (served on
// a pseudo-terminal, its traffic recorded) stay as they were.
TEST(Drfn3Realtime, BadOptionsAndFilesChangeNothing)
{
    Simulator sim;
    sim.addPod(0xA10001);
    sim.addPod(0xA10002);
    PtyServer server(sim);
    server.start();
    Poco::TemporaryFile config, calib, notNumbers, unknownPod, empty, wrongSize, badSettings;
    // The settings file as drfn3 itself writes it, so that a rewrite would show.
    Drfn3 save({"--config", config.path(), "--pods", "A10001,A10002", "--frequency", "100", "settings"});
    ASSERT_EQ(0, save.wait()) << save.err();
    const std::string settings = readFile(config.path());
    ASSERT_NE(std::string::npos, settings.find("A10001;A10002"));
    std::ofstream(notNumbers.path()) << "[A10001]\n3aGain = 1 0 0, 0 x 0, 0 0 1\n";
    std::ofstream(unknownPod.path()) << "[B00001]\n3aGain = 1 0 0, 0 1 0, 0 0 1\n";
    std::ofstream(empty.path()) << "; nothing\n";
    std::ofstream(wrongSize.path()) << "[A10001]\n3aGain = 1 0, 0 1\n";
    const std::string mangled = "serial = zz;A10001\nFrequency = 9999\nAcc mode = 7\n\\\n=\n";
    std::ofstream(badSettings.path()) << mangled;

    struct Case
    {
        std::vector<std::string> args;
        int code;
        const char* message;
    };
    const std::string missing = calib.path() + ".missing";
    const std::vector<Case> table = {
        {{"--frequency", "300", "settings"}, 2, "--frequency"},
        {{"--frequency", "abc", "settings"}, 2, "--frequency"},
        {{"--frequency", "24", "settings"}, 2, "--frequency"},
        {{"--channel", "0", "settings"}, 2, "--channel"},
        {{"--channel", "22", "settings"}, 2, "--channel"},
        {{"--channel", "x", "settings"}, 2, "--channel"},
        {{"--acc-mode", "3g", "settings"}, 2, "--acc-mode"},
        {{"--mag-mode", "9Ga", "settings"}, 2, "--mag-mode"},
        {{"--pods", "A10001,zz", "settings"}, 2, "Not a valid hexadecimal integer"},
        {{"--pods", "A10001,A10001", "settings"}, 2, "A10001"},
        {{"--pods", "123456789", "settings"}, 2, "Not a valid hexadecimal integer"},
        {{"--bogus", "settings"}, 2, "--bogus"},
        {{"settings", "extra"}, 2, "extra"},
        {{"stream", "--seconds", "-1"}, 2, "--seconds"},
        {{"stream", "--seconds", "soon"}, 2, "--seconds"},
        {{"stream", "--orientation", "--orientation-gain", "0"}, 2, "--orientation-gain"},
        {{"demo", "--six-axis"}, 2, "--six-axis requires --orientation"},
        {{"demo", "--port", "8080"}, 2, "--port requires --view"},
        {{"view", "--every-controller"}, 2, "--every-controller looks for the pods of --pods"},
        {{"view", "--controller", "x"}, 2, "--controller x needs its --pods after it"},
        {{"sim", "--generation", "3"}, 2, "--generation"},
        {{"sim", "--corrupt", "1.5"}, 2, "--corrupt"},
        {{"sim", "--busy-channel", "40"}, 2, "--busy-channel"},
        {{"sim", "--sim-pods", "q"}, 2, "Not a valid hexadecimal integer"},
        {{"calib", "write", missing}, 2, "File does not exist"},
        {{"calib", "write", notNumbers.path()}, 1, "'x' is not a number"},
        {{"calib", "write", unknownPod.path()}, 2, "is not one of the known pods"},
        {{"calib", "write", empty.path()}, 2, "no calibration matrices"},
        {{"calib", "write", wrongSize.path()}, 2, "3aGain"},
        {{"calib", "reset", "--pod", "zz"}, 2, "Not a valid hexadecimal integer"},
        {{"strem"}, 2, "did you mean 'stream'"},
        {{}, 2, "A subcommand is required"},
        {{"--pods", "A10001", "bogus"}, 2, "'bogus' is not a drfn3 subcommand"},
        {{"stream", "--csv", missing + "/x.csv"}, 1, "x.csv: No such file or directory"},
        {{"--log", missing + "/x.log", "stream"}, 1, "Cannot write the traffic log"},
        {{"calib", "reset", "--pod", "B00001"}, 2, "B00001"},
        {{"plot", missing}, 2, "File does not exist"},
    };
    sim.recorder().clear();
    for (const Case& c : table)
    {
        std::vector<std::string> args = {"--config", config.path()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        Drfn3 run(args, server.slavePath());
        const int code = run.wait();
        EXPECT_EQ(c.code, code) << run.err();
        EXPECT_NE(std::string::npos, run.err().find(c.message)) << run.err();
        EXPECT_EQ(settings, readFile(config.path()));
        auto guard = sim.lock();
        EXPECT_TRUE(sim.recorder().records().empty()) << "the device was spoken to";
        sim.recorder().clear();
    }
    // A mangled settings file: every refused value is named, the rest comes from defaults,
    // and the file is left for the user to mend.
    Drfn3 show({"--config", badSettings.path(), "settings"}, server.slavePath());
    EXPECT_EQ(0, show.wait()) << show.err();
    for (const char* property : {"serial", "Frequency", "Acc mode"})
        EXPECT_NE(std::string::npos, show.err().find(std::string("saved setting ") + property)) << show.err();
    EXPECT_EQ(mangled, readFile(badSettings.path()));
    std::printf("bad options and files: %zu cases\n", table.size() + 1);
}

TEST(Drfn3Realtime, StreamSaysTheControllerWasLostAndExitsOne)
{
    Simulator sim;
    sim.addPod(0xA10001);
    PtyServer server(sim);
    server.start();
    Poco::TemporaryFile config;
    Drfn3 stream({"--config", config.path(), "--pods", "A10001", "--frequency", "100", "stream"}, server.stablePath());
    const bool streaming = waitFor(
        [&] {
            auto guard = sim.lock();
            return sim.pod(0xA10001)->framesSent() > 50;
        },
        std::chrono::seconds(60));
    ASSERT_TRUE(streaming) << stream.out() << stream.err();
    {
        auto guard = sim.lock();
        sim.disappearAt(sim.clock().now());
    }
    EXPECT_EQ(1, stream.wait(std::chrono::seconds(20))) << stream.err();
    EXPECT_NE(std::string::npos, stream.err().find("The controller stopped answering")) << stream.err();
}

// A pod file over the calibration or the boot flag is refused before the device is spoken to,
// unless allowed; a pod an interrupted upgrade left in its protected area on another channel
// is found by the rescue, which only fails for a pod that answers nowhere, and then upgraded.
TEST(Drfn3Realtime, FirmwareOverTheCalibrationIsRefusedAndAStrandedPodIsRescued)
{
    Simulator sim;
    {
        Pod& pod = sim.addPod(0xA10001);
        pod.pokeEepromWord(0xFFFE, 0xFFFE); // boot flag set: the next power-on runs the protected area
        pod.setPowered(false);
        pod.setPowered(true);
        pod.setChannelCode(0x50); // channel index 5
    }
    PtyServer server(sim);
    server.start();
    Poco::TemporaryFile folder;
    Poco::File(folder.path()).createDirectories();
    // A version record (0xD3, then major and minor) and one data record, signed.
    auto signedHex = [&](const std::string& name, unsigned version, unsigned address,
                         const std::vector<unsigned>& data) {
        const std::string path = folder.path() + "/" + name;
        std::ofstream out(path);
        char text[32];
        std::snprintf(text, sizeof text, ":02000000D3%02X%02X\n", version, (0x100 - ((0xD5 + version) & 0xFF)) & 0xFF);
        out << text;
        unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF);
        std::snprintf(text, sizeof text, ":%02X%04X00", static_cast<unsigned>(data.size()), address);
        out << text;
        for (unsigned b : data)
        {
            std::snprintf(text, sizeof text, "%02X", b);
            out << text;
            sum += b;
        }
        std::snprintf(text, sizeof text, "%02X\n:00000001FF\n", (0x100 - (sum & 0xFF)) & 0xFF);
        out << text;
        out.close();
        std::ofstream(path + ".md5") << Tarnlink::FirmwareImage::signature(path);
        return path;
    };
    const std::string calibration = signedHex("calibration.hex", 0x26, 0xFA00, std::vector<unsigned>(16, 0));
    const std::string flag = signedHex("flag.hex", 0x26, 0xFFFE, {0x12, 0x34});
    const std::string program = signedHex("program.hex", 0x26, 0x0002, std::vector<unsigned>(16, 0x5A));

    const std::vector<std::pair<std::string, std::string>> refused = {
        {calibration, " has data at 0xFA00-0xFA0F, in the pod's working calibration: writing it would destroy the "
                      "pod's calibration; --allow-calibration-overwrite writes it anyway"},
        {flag, " has data at 0xFFFE-0xFFFF, the pod's boot flag: writing it would overwrite the pod's boot flag; "
               "--allow-calibration-overwrite writes it anyway"}};
    sim.recorder().clear();
    for (const auto& file : refused)
    {
        Drfn3 upgrade({"firmware", "upgrade", "--pod", "A10001", file.first}, server.slavePath());
        EXPECT_EQ(1, upgrade.wait()) << upgrade.err();
        EXPECT_NE(std::string::npos, upgrade.err().find(file.first + file.second)) << upgrade.err();
        auto guard = sim.lock();
        EXPECT_TRUE(sim.recorder().records().empty()) << "the device was spoken to";
    }

    Drfn3 absent({"firmware", "rescue", "--pod", "B00001"}, server.slavePath());
    EXPECT_EQ(1, absent.wait()) << absent.err();
    EXPECT_NE(std::string::npos, absent.err().find("(32/32)")) << "every channel tried: " << absent.err();
    EXPECT_NE(std::string::npos, absent.err().find("The pod B00001 answers on no radio channel")) << absent.err();

    // The search starts on channel 1, where an upgrade starts its own: the fifth channel tried.
    Drfn3 rescue({"firmware", "rescue", "--pod", "A10001"}, server.slavePath());
    ASSERT_EQ(0, rescue.wait()) << rescue.out() << rescue.err();
    EXPECT_NE(std::string::npos, rescue.err().find("on channel 5 (5/32)")) << rescue.err();
    EXPECT_EQ(std::string::npos, rescue.err().find("(6/32)")) << rescue.err();
    EXPECT_NE(std::string::npos, rescue.out().find("The pod A10001 answered on channel 5 and is back on channel 0, in "
                                                   "its protected area: run the upgrade again."))
        << rescue.out();
    {
        auto guard = sim.lock();
        EXPECT_EQ(0u, sim.pod(0xA10001)->channelCode());
        EXPECT_TRUE(sim.pod(0xA10001)->inProtectedArea());
    }

    Drfn3 upgrade({"firmware", "upgrade", "--pod", "A10001", program}, server.slavePath());
    ASSERT_EQ(0, upgrade.wait(std::chrono::seconds(80))) << upgrade.out() << upgrade.err();
    {
        auto guard = sim.lock();
        Pod& pod = *sim.pod(0xA10001);
        EXPECT_EQ(0u, pod.rebootCount()) << "it was in its protected area already";
        EXPECT_EQ(2u, pod.config().firmwareMajor);
        EXPECT_EQ(6u, pod.config().firmwareMinor);
        EXPECT_EQ(0x5A5Au, pod.eepromWord(0x0010));
        EXPECT_NE(0u, pod.eepromWord(0xFA00)) << "the calibration's identity word";
        pod.setPowered(true);
    }

    Drfn3 allowed({"firmware", "upgrade", "--allow-calibration-overwrite", "--pod", "A10001", calibration},
                  server.slavePath());
    ASSERT_EQ(0, allowed.wait(std::chrono::seconds(80))) << allowed.out() << allowed.err();
    auto guard = sim.lock();
    EXPECT_EQ(0u, sim.pod(0xA10001)->eepromWord(0xFA00));
    EXPECT_EQ(0u, sim.pod(0xA10001)->eepromWord(0xFA0E));
}

namespace {

/// Every pod and the controller idle on channel 0, as a stopped run leaves them.
void expectAllOnChannelZero(Simulator& sim)
{
    auto guard = sim.lock();
    EXPECT_EQ(0u, sim.controller().channelCode());
    EXPECT_EQ(ControllerState::Idle, sim.controller().state());
    for (Pod* pod : sim.pods())
    {
        EXPECT_EQ(0u, pod->channelCode()) << std::hex << pod->serial();
        EXPECT_FALSE(pod->streamingEnabled()) << std::hex << pod->serial();
    }
}

/// Whether the process holds a descriptor on the device node.
bool holds(pid_t pid, const std::string& device)
{
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    for (int fd = 0; fd < 256; ++fd)
    {
        char target[256] = {};
        const ssize_t n = ::readlink((folder + "/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
        if (n > 0 && device == target) return true;
    }
    return false;
}

} // namespace

TEST(Drfn3Realtime, OutputThatCannotBeWrittenStopsTheRunWithPodsBackOnChannelZero)
{
    Simulator sim;
    sim.addPod(0xA10001);
    PtyServer server(sim);
    server.start();
    Poco::TemporaryFile config, csv;
    const std::vector<std::string> common = {"--config", config.path(), "--pods", "A10001", "--frequency", "100"};
    auto with = [&common](std::vector<std::string> args) {
        args.insert(args.begin(), common.begin(), common.end());
        return args;
    };

    // A full disk, found at the first flush of a running stream and in the traffic log.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"stream", "--jsonl", "/dev/full"}, {"--log", "/dev/full", "stream"}})
    {
        Drfn3 full(with(args), server.slavePath());
        const auto began = std::chrono::steady_clock::now();
        EXPECT_EQ(1, full.wait(std::chrono::seconds(60))) << full.err();
        EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30)) << "not at the end of the run";
        EXPECT_NE(std::string::npos, full.err().find("/dev/full: No space left on device")) << full.err();
        EXPECT_NE(std::string::npos, full.err().find("back on channel 0 ... done")) << full.err();
        expectAllOnChannelZero(sim);
    }

    // A reader that goes: the run ends as on SIGTERM, the samples written so far complete.
    Drfn3 piped(with({"stream", "--csv", csv.path()}), server.slavePath(),
                {"/bin/bash", "-c", "set -o pipefail; \"$0\" \"$@\" | head -1"});
    EXPECT_EQ(0, piped.wait(std::chrono::seconds(60))) << piped.err();
    const std::string shown = piped.out();
    EXPECT_EQ(1, std::count(shown.begin(), shown.end(), '\n')) << shown;
    EXPECT_NE(std::string::npos, piped.err().find("back on channel 0 ... done")) << piped.err();
    expectAllOnChannelZero(sim);
    const std::string rows = readFile(csv.path());
    EXPECT_GT(std::count(rows.begin(), rows.end(), '\n'), 50);
    EXPECT_EQ('\n', rows.back()) << "the last row is whole";

    // An image that cannot be written is not reported as plotted.
    const std::string image = csv.path() + ".png";
    ASSERT_EQ(0, ::symlink("/dev/full", image.c_str()));
    Drfn3 plot({"plot", csv.path(), "-o", image});
    EXPECT_EQ(1, plot.wait()) << plot.err();
    ::unlink(image.c_str());
    EXPECT_NE(std::string::npos, plot.err().find(image + ": No space left on device")) << plot.err();
    EXPECT_EQ(std::string::npos, plot.out().find("Plotted")) << plot.out();
}

TEST(Drfn3Realtime, ReconnectAsksAForeignTerminalOnceAndTakesTheControllerBack)
{
    // Without a controller behind it, a terminal is named as one that does not answer.
    {
        const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ::grantpt(master);
        ::unlockpt(master);
        Poco::TemporaryFile config;
        Drfn3 silent({"--config", config.path(), "--pods", "A10001", "stream"}, ::ptsname(master));
        EXPECT_EQ(1, silent.wait(std::chrono::seconds(30))) << silent.err();
        EXPECT_NE(std::string::npos,
                  silent.err().find(std::string(::ptsname(master)) + " cannot be used: opened, but it does not answer"))
            << silent.err();
        EXPECT_EQ(std::string::npos, silent.err().find("interrupted")) << silent.err();
        ::close(master);
    }

    Simulator sim;
    sim.addPod(0xA10001);
    PtyServer server(sim);
    server.start();
    Poco::TemporaryFile config, csv;
    Drfn3 stream({"--config", config.path(), "--pods", "A10001", "--frequency", "100", "stream", "--reconnect", "--csv",
                  csv.path()},
                 server.stablePath());
    auto sentMoreThan = [&](std::uint64_t n) {
        return waitFor(
            [&] {
                auto guard = sim.lock();
                return sim.pod(0xA10001)->framesSent() > n;
            },
            std::chrono::seconds(60));
    };
    ASSERT_TRUE(sentMoreThan(50)) << stream.err();
    {
        auto guard = sim.lock();
        sim.disappearAt(sim.clock().now());
    }
    ASSERT_TRUE(waitFor([&] { return stream.err().find("controller was lost") != std::string::npos; },
                        std::chrono::seconds(20)))
        << stream.err();

    // The controller's name now leads to another program's terminal.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, ::grantpt(master));
    ASSERT_EQ(0, ::unlockpt(master));
    const std::string foreign = ::ptsname(master);
    const int other = ::open(foreign.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    termios before{};
    ASSERT_EQ(0, ::tcgetattr(other, &before));
    ::unlink(server.stablePath().c_str());
    ASSERT_EQ(0, ::symlink(foreign.c_str(), server.stablePath().c_str()));

    // One question, then nothing: the bytes that reach the other program stop growing, and
    // it is left as it was.
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    std::string written;
    auto drain = [&] {
        char buffer[256];
        ssize_t n = 0;
        while ((n = ::read(master, buffer, sizeof buffer)) > 0) written.append(buffer, static_cast<std::size_t>(n));
    };
    ASSERT_TRUE(waitFor(
        [&] {
            drain();
            return !written.empty() && !holds(stream.pid(), foreign);
        },
        std::chrono::seconds(30)))
        << stream.err();
    const std::size_t asked = written.size();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    drain();
    EXPECT_EQ(asked, written.size()) << "asked again";
    EXPECT_FALSE(holds(stream.pid(), foreign)) << "kept open";
    termios after{};
    ASSERT_EQ(0, ::tcgetattr(other, &after));
    EXPECT_EQ(before.c_lflag, after.c_lflag) << "the terminal was left in raw mode";
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    ::close(other);
    ::close(master);

    // The controller comes back at the same name.
    ::unlink(server.stablePath().c_str());
    std::uint64_t sent = 0;
    {
        auto guard = sim.lock();
        sim.replug();
        sent = sim.pod(0xA10001)->framesSent();
    }
    server.start();
    ASSERT_TRUE(sentMoreThan(sent + 100)) << stream.err();
    EXPECT_NE(std::string::npos, stream.err().find("streaming again")) << stream.err();
    stream.signal(SIGINT);
    EXPECT_EQ(0, stream.wait()) << stream.err();
    expectAllOnChannelZero(sim);

    // One time base for the run: frames count from 1 again, the time goes on.
    std::ifstream in(csv.path());
    std::string line;
    std::getline(in, line);
    double lastTime = -1, lastFrame = 0;
    int restarts = 0;
    while (std::getline(in, line))
    {
        Poco::StringTokenizer cells(line, ",");
        const double time = Poco::NumberParser::parseFloat(cells[0]);
        const double frame = Poco::NumberParser::parseFloat(cells[11]);
        EXPECT_GT(time, lastTime) << line;
        if (frame < lastFrame) ++restarts;
        lastTime = time;
        lastFrame = frame;
    }
    EXPECT_EQ(1, restarts);
    const std::string out = stream.out();
    const std::string summary = out.substr(std::min(out.size(), out.find("pod A10001: ")));
    ASSERT_NE(std::string::npos, summary.find(" Hz")) << out;
    const double rate = std::atof(summary.substr(summary.find("samples, ") + 9).c_str());
    EXPECT_NEAR(100.0, rate, 2.0) << summary << " (over streaming time, the gap left out)";
}

#if DRFN3_WITH_DDS
TEST(Drfn3Dds, RecordInASecondProcessWritesTheCsvTheStreamWrote)
{
    // On lo only, in a domain of this run's own (the library's tests take 1 to 100).
    ::setenv("CYCLONEDDS_URI", "file://" DDS_LOOPBACK_CONFIG, 1);
    const std::string domain = std::to_string(101 + ::getpid() % 100);
    Poco::TemporaryFile own, recorded;
    Drfn3 record({"record", "--dds", "--dds-domain", domain, "--csv", recorded.path()});
    Drfn3 demo({"demo", "--dds", "--dds-domain", domain, "--seconds", "2", "--csv", own.path()});
    ASSERT_EQ(0, demo.wait(std::chrono::seconds(80))) << demo.err();
    // It stops by itself: the session said it ended.
    ASSERT_EQ(0, record.wait(std::chrono::seconds(30))) << record.err();
    const std::string csv = readFile(own.path());
    EXPECT_EQ(csv, readFile(recorded.path()));
    EXPECT_GT(std::count(csv.begin(), csv.end(), '\n'), 300);
    for (const char* pod : {"A10001", "A10002", "A10003"})
        EXPECT_NE(std::string::npos, record.out().find(std::string("pod ") + pod + ": ")) << record.out();

    // Counts are not what the messages carry: refused before anything is touched.
    Drfn3 raw({"stream", "--dds", "--raw", "--pods", "A10001"});
    EXPECT_EQ(2, raw.wait());
    EXPECT_NE(std::string::npos, raw.err().find("cannot go with --raw")) << raw.err();
}
#endif
