#include "Stream.h"

#include "Common.h"
#include "Host.h"

#include <Poco/Exception.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <thread>
#include <memory>

namespace Drfn3 {

namespace {

using Clock = std::chrono::steady_clock;
using Quillmesh::Core::InputPin;
using Quillmesh::Core::RowMatrixXd;

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

/// The host's probes on one pod's output pins.
struct PodTaps
{
    unsigned serial = 0;
    InputPin<RowMatrixXd>* acc = nullptr;
    InputPin<RowMatrixXd>* mag = nullptr;
    InputPin<RowMatrixXd>* gyr = nullptr;
    InputPin<RowMatrixXd>* frame = nullptr;
    InputPin<RowMatrixXd>* button = nullptr;
    InputPin<RowMatrixXd>* battery = nullptr;
    PodStatus status;
    std::uint64_t samplesAtRate = 0;
    Clock::time_point rateSince;
    double firstTime = 0;
};

/// Takes the latest value of a probe into out; false when nothing new came.
bool take(InputPin<RowMatrixXd>& pin, double* out, int count, double* time = nullptr)
{
    const auto* data = pin.getData();
    if (!data) return false;
    for (int i = 0; i < count && i < data->data.size(); ++i) out[i] = data->data(i);
    if (time) *time = data->time;
    pin.release();
    return true;
}

class Output
{
public:
    explicit Output(const std::string& path) : _path(path)
    {
        if (path.empty()) return;
        _file.open(path, std::ios::out | std::ios::trunc);
        if (!_file) throw Poco::CreateFileException(path + ": " + std::strerror(errno));
    }
    explicit operator bool() const { return _file.is_open(); }
    void write(const std::string& line)
    {
        _file << line << '\n';
    }
    void close()
    {
        if (!_file.is_open()) return;
        _file.close();
        if (_file.fail()) throw Poco::WriteFileException(_path + ": " + std::strerror(errno));
    }

private:
    std::string _path;
    std::ofstream _file;
};

/// Redraws the table in place on a terminal.
class LiveTable
{
public:
    void draw(const std::vector<std::string>& lines)
    {
        std::string out;
        if (_drawn) out += "\x1b[" + std::to_string(_drawn) + "A";
        for (const std::string& line : lines) out += "\r" + line + "\x1b[K\n";
        std::cout << out << std::flush;
        _drawn = lines.size();
    }

private:
    std::size_t _drawn = 0;
};

} // namespace

std::vector<std::string> renderTable(const std::vector<PodStatus>& pods, double elapsed)
{
    std::vector<std::string> lines;
    lines.push_back(format("drfn3 stream  %7.1f s  %zu pod%s  (Ctrl-C stops)", elapsed, pods.size(),
                           pods.size() == 1 ? "" : "s"));
    for (const PodStatus& pod : pods)
    {
        const Sample& s = pod.latest;
        lines.push_back(format("%-6s %9llu frames %6.1f Hz  loss %5.1f %%  battery %5.1f %%  button %s",
                               hex(pod.serial).c_str(), static_cast<unsigned long long>(pod.samples), pod.rate,
                               s.loss * 100.0, s.battery, s.button != 0 ? "on" : "off"));
        lines.push_back(format("  acc%7.0f%7.0f%7.0f  mag%7.0f%7.0f%7.0f  gyr%7.0f%7.0f%7.0f", s.acc[0], s.acc[1],
                               s.acc[2], s.mag[0], s.mag[1], s.mag[2], s.gyr[0], s.gyr[1], s.gyr[2]));
    }
    for (std::string& line : lines)
        if (line.size() > 80) line.resize(80);
    return lines;
}

std::string renderStatusLine(const std::vector<PodStatus>& pods, double elapsed)
{
    std::string line = format("%7.1f s", elapsed);
    for (const PodStatus& pod : pods)
        line += format("  %s %llu frames %.1f Hz loss %.1f %% battery %.0f %%", hex(pod.serial).c_str(),
                       static_cast<unsigned long long>(pod.samples), pod.rate, pod.latest.loss * 100.0,
                       pod.latest.battery);
    return line;
}

std::string csvHeader()
{
    return "time,pod,ax,ay,az,mx,my,mz,gx,gy,gz,frame,loss,battery,button";
}

std::string csvRow(const Sample& s)
{
    return format("%.4f,%s,%.0f,%.0f,%.0f,%.0f,%.0f,%.0f,%.0f,%.0f,%.0f,%.0f,%.4f,%.1f,%.0f", s.time,
                  hex(s.serial).c_str(), s.acc[0], s.acc[1], s.acc[2], s.mag[0], s.mag[1], s.mag[2], s.gyr[0],
                  s.gyr[1], s.gyr[2], s.frame, s.loss, s.battery, s.button);
}

std::string jsonRow(const Sample& s)
{
    return format("{\"time\":%.4f,\"pod\":\"%s\",\"ax\":%.0f,\"ay\":%.0f,\"az\":%.0f,\"mx\":%.0f,\"my\":%.0f,"
                  "\"mz\":%.0f,\"gx\":%.0f,\"gy\":%.0f,\"gz\":%.0f,\"frame\":%.0f,\"loss\":%.4f,\"battery\":%.1f,"
                  "\"button\":%.0f}",
                  s.time, hex(s.serial).c_str(), s.acc[0], s.acc[1], s.acc[2], s.mag[0], s.mag[1], s.mag[2],
                  s.gyr[0], s.gyr[1], s.gyr[2], s.frame, s.loss, s.battery, s.button);
}

namespace {

/// Tries to connect and start transmission again twice a second until it works or a stop is asked.
bool waitForController(Host& host)
{
    while (!stopRequested())
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        try
        {
            host.connect();
            host.set("transmission", "1");
            return true;
        }
        catch (const Poco::Exception&)
        {
            // Not back yet, or back but not ready: the next try will tell.
        }
    }
    return false;
}

} // namespace

std::vector<PodStatus> stream(Host& host, const StreamOptions& options)
{
    const std::vector<unsigned> serials = host.serials();
    if (serials.empty())
        throw UsageError("No pods to stream from: give them with --pods SERIAL,... or pair one with 'drfn3 pair'");

    Output csv(options.csv), jsonl(options.jsonl);
    if (csv) csv.write(csvHeader());

    {
        Progress progress("Connecting to the controller");
        host.connect();
        progress.done(host.get("Ctrl HW") + ", firmware " + host.get("Ctrl FW") +
                      (host.get("Ctrl SerialNumber").empty() ? "" : ", serial number " + host.get("Ctrl SerialNumber")));
    }

    std::vector<PodTaps> pods;
    for (unsigned serial : serials)
    {
        const std::string suffix = "#0x" + hex(serial);
        PodTaps taps;
        taps.serial = serial;
        taps.status.serial = serial;
        taps.status.latest.serial = serial;
        auto& filter = host.filter();
        taps.acc = &filter.tap<RowMatrixXd>("3a" + suffix);
        taps.mag = &filter.tap<RowMatrixXd>("3m" + suffix);
        taps.gyr = &filter.tap<RowMatrixXd>("3g" + suffix);
        taps.button = &filter.tap<RowMatrixXd>("Button" + suffix);
        taps.battery = &filter.tap<RowMatrixXd>("Battery" + suffix);
        // A queue: each frame must be seen once, however the reads and the loop interleave.
        taps.frame = &filter.tap<RowMatrixXd>("FrameNb" + suffix, 64, false);
        pods.push_back(taps);
    }

    {
        Progress progress("Starting transmission: checking " + std::to_string(serials.size()) +
                          " pods, reading their calibration, finding a quiet channel");
        host.set("transmission", "1");
        progress.done("streaming at " + host.get("Frequency") + " Hz");
    }

    const bool terminal = stdoutIsTerminal();
    LiveTable table;
    const Clock::time_point start = Clock::now();
    Clock::time_point nextDraw = start, nextStatus = start + std::chrono::seconds(1);
    for (PodTaps& pod : pods) pod.rateSince = start;

    auto statuses = [&pods] {
        std::vector<PodStatus> result;
        for (const PodTaps& pod : pods) result.push_back(pod.status);
        return result;
    };

    bool lost = false;
    while (!stopRequested())
    {
        const Clock::time_point now = Clock::now();
        if (options.seconds > 0 && seconds(now - start) >= options.seconds) break;
        host.filter().process();

        const Clock::time_point after = Clock::now();
        for (PodTaps& pod : pods)
        {
            Sample& s = pod.status.latest;
            take(*pod.acc, s.acc, 3, &s.time);
            take(*pod.mag, s.mag, 3);
            take(*pod.gyr, s.gyr, 3);
            take(*pod.button, &s.button, 1);
            take(*pod.battery, &s.battery, 1);
            double frame[3];
            while (take(*pod.frame, frame, 3))
            {
                s.frame = frame[0];
                s.loss = frame[1];
                s.frequency = frame[2];
                if (pod.status.samples++ == 0) pod.firstTime = s.time;
                if (csv) csv.write(csvRow(s));
                if (jsonl) jsonl.write(jsonRow(s));
            }
        }

        if (after >= nextDraw)
        {
            nextDraw = after + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.refresh));
            for (PodTaps& pod : pods)
            {
                const double span = seconds(after - pod.rateSince);
                if (span >= 1.0 || (pod.status.rate == 0 && span >= 0.5))
                {
                    pod.status.rate = (pod.status.samples - pod.samplesAtRate) / span;
                    pod.samplesAtRate = pod.status.samples;
                    pod.rateSince = after;
                }
            }
            if (!host.connected())
            {
                if (!options.reconnect)
                {
                    lost = true;
                    break;
                }
                std::cerr << "drfn3: the controller was lost; waiting for it (Ctrl-C to stop)" << std::endl;
                if (!waitForController(host)) break;
                std::cerr << "drfn3: the controller is back; streaming again" << std::endl;
            }
            if (terminal) table.draw(renderTable(statuses(), seconds(after - start)));
        }
        if (!terminal && after >= nextStatus)
        {
            nextStatus += std::chrono::seconds(1);
            std::cout << renderStatusLine(statuses(), seconds(after - start)) << std::endl;
        }
    }
    if (lost) throw Poco::IOException("The controller stopped answering and was closed");

    {
        Progress progress("Stopping transmission, pods and controller back on channel 0");
        host.disconnect();
        progress.done();
    }
    csv.close();
    jsonl.close();

    // Samples delivered per second of the pod's own time base, first sample to last.
    for (PodTaps& pod : pods)
    {
        const double span = pod.status.latest.time - pod.firstTime;
        if (pod.status.samples > 1 && span > 0) pod.status.rate = (pod.status.samples - 1) / span;
    }
    return statuses();
}

} // namespace Drfn3
