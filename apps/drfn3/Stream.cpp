#include "Stream.h"

#include "Common.h"
#include "OutputFile.h"
#include "StreamFiles.h"

#include <Drfn3/Host.h>
#include <Poco/Exception.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/Log.h>

#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Drfn3 {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__MINGW32__)
// mingw's own C99 printf, which libstdc++ selects, rather than the system's.
std::string format(const char* pattern, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
#endif
std::string format(const char* pattern, ...)
{
    char buffer[512];
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

/// Unit names as they appear in column names, and in the table.
const char* const CALIBRATED_UNITS[3] = {"m_s2", "uT", "rad_s"};
const char* const TABLE_UNITS[3] = {"m/s2", "uT", "rad/s"};
const char SENSOR_LETTERS[3] = {'a', 'm', 'g'};

std::string columnName(int sensor, int axis, Units units)
{
    std::string name{SENSOR_LETTERS[sensor], static_cast<char>('x' + axis)};
    return name + "_" + (units == Units::Raw ? "counts" : CALIBRATED_UNITS[sensor]);
}

void sensorValues(const Sample& s, int sensor, double out[3])
{
    const double all[3][3] = {{s.ax, s.ay, s.az}, {s.mx, s.my, s.mz}, {s.gx, s.gy, s.gz}};
    for (int k = 0; k < 3; ++k) out[k] = all[sensor][k];
}

/// The orientation's columns after the sensors', and the letters of the sensors it used.
const char* const ORIENTATION_COLUMNS[7] = {"qw", "qx", "qy", "qz", "roll_deg", "pitch_deg", "yaw_deg"};
const char* const ORIENTATION_VALUE_FORMATS[7] = {"%.6f", "%.6f", "%.6f", "%.6f", "%.3f", "%.3f", "%.3f"};

void orientationValues(const Sample& s, double out[7])
{
    const double all[7] = {s.qw, s.qx, s.qy, s.qz, s.roll, s.pitch, s.yaw};
    for (int k = 0; k < 7; ++k) out[k] = s.hasOrientation ? all[k] : std::nan("");
}

std::string sensorLetters(const Sample& s)
{
    if (!s.hasOrientation) return std::string();
    std::string letters;
    if (s.orientationSensors & 1) letters += 'a';
    if (s.orientationSensors & 2) letters += 'm';
    if (s.orientationSensors & 4) letters += 'g';
    return letters;
}

/// Decimals that keep each sensor's noise visible without padding: counts are integers.
const char* valueFormat(int sensor, Units units)
{
    if (units == Units::Raw) return "%.0f";
    return sensor == 2 ? "%.5f" : sensor == 1 ? "%.3f" : "%.4f";
}

unsigned terminalWidth(unsigned& height)
{
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
    {
        height = static_cast<unsigned>(info.srWindow.Bottom - info.srWindow.Top + 1);
        return static_cast<unsigned>(info.srWindow.Right - info.srWindow.Left + 1);
    }
#else
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    {
        height = size.ws_row > 0 ? size.ws_row : 24;
        return size.ws_col;
    }
#endif
    height = 24;
    return 80;
}

/// Joins fields with two spaces into lines of at most width, folding between fields; a
/// field wider than a line is cut.
void fold(std::vector<std::string>& lines, const std::vector<std::string>& fields, unsigned width,
          const std::string& indent)
{
    std::string line;
    for (const std::string& field : fields)
    {
        if (!line.empty() && line.size() + 2 + field.size() <= width)
        {
            line += "  " + field;
            continue;
        }
        if (!line.empty()) lines.push_back(line);
        line = (lines.empty() || &field == &fields.front() ? std::string() : indent) + field;
        if (line.size() > width) line.resize(width);
    }
    if (!line.empty()) lines.push_back(line);
}

/// Redraws the table in place on a terminal.
class LiveTable
{
public:
    explicit LiveTable(OutputFile& screen) : _screen(screen) {}

    void draw(const std::vector<std::string>& lines)
    {
        std::string out;
        if (_drawn) out += "\x1b[" + std::to_string(_drawn) + "A";
        for (const std::string& line : lines) out += "\r" + line + "\x1b[K\n";
        // A table shorter than the last one leaves no stale rows below it.
        if (lines.size() < _drawn) out += "\x1b[J";
        _screen.write(out);
        _screen.flush();
        _drawn = lines.size();
    }

private:
    OutputFile& _screen;
    std::size_t _drawn = 0;
};

/// What the live rate needs besides the reader's state.
struct RateWindow
{
    std::uint64_t samplesAtRate = 0;
    Clock::time_point since;
    double rate = 0;
};

/// Something that changes when a device name leads elsewhere: the node it resolves to and
/// when that node was made.
std::string fingerprint(const std::string& path)
{
#if defined(_WIN32)
    // The device a COM name stands for.
    char target[1024];
    return QueryDosDeviceA(path.c_str(), target, sizeof(target)) ? std::string(target) : std::string();
#else
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return std::string();
    struct stat info
    {};
    if (::stat(resolved, &info) != 0) return std::string();
    return format("%s %llu %llu %lld.%09ld", resolved, static_cast<unsigned long long>(info.st_rdev),
                  static_cast<unsigned long long>(info.st_ino), static_cast<long long>(info.st_ctim.tv_sec),
                  info.st_ctim.tv_nsec);
#endif
}

/// The port the filter would open now, if it is a serial port.
std::string firstPort()
{
    Tarnlink::ControllerEnum controllers(true);
    if (controllers.count() == 0) return std::string();
    Poco::Any port = controllers.get(0)->getProperty("PortName");
    return port.empty() ? std::string() : Poco::AnyCast<std::string>(port);
}

/// Waits for a lost controller and starts transmission on it again.
class Reconnector
{
public:
    Reconnector(Host& host, std::string identity) : _host(host), _identity(std::move(identity)) {}

    /// One try; true once transmission runs again.
    bool attempt()
    {
        const std::string port = firstPort();
        const std::string print = port.empty() ? std::string() : fingerprint(port);
        // A name that led to something else than the controller is not asked again until it
        // leads somewhere new: another program's terminal gets one question, not one a second.
        if (!port.empty() && _refused.count(port) && _refused[port] == print) return false;
        try
        {
            _host.connect(_identity);
        }
        catch (const Poco::NotFoundException&)
        {
            return false;
        }
        catch (const Poco::Exception& error)
        {
            if (!port.empty()) _refused[port] = print;
            if (error.message() != _lastMessage) std::cerr << "drfn3: " << error.message() << '\n';
            _lastMessage = error.message();
            return false;
        }
        try
        {
            _host.set("transmission", "1");
            return true;
        }
        catch (const Poco::Exception&)
        {
            // Back but not ready: closed again, the next try starts from the beginning.
            try
            {
                _host.disconnect();
            }
            catch (const Poco::Exception&)
            {
            }
            return false;
        }
    }

private:
    Host& _host;
    std::string _identity;
    std::map<std::string, std::string> _refused;
    std::string _lastMessage;
};

/// Transmission off and the controller closed, on the way out of a failure: its own failure
/// is shown, not thrown over the first.
void stopQuietly(Host& host)
{
    Progress progress("Stopping transmission, pods and controller back on channel 0");
    try
    {
        host.disconnect();
        progress.done();
    }
    catch (const Poco::Exception&)
    {
        progress.failed();
    }
}

/// Sleeps up to the time given, waking for a stop.
void pause(std::chrono::milliseconds time)
{
    const Clock::time_point end = Clock::now() + time;
    while (!stopRequested() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

} // namespace

std::vector<std::string> renderTable(const std::vector<PodStatus>& pods, double elapsed, Units units, unsigned width,
                                     unsigned height, bool orientation)
{
    // The last column is left free: a terminal that wraps there would scroll the table.
    width = std::max(width, 40u) - 1;
    height = std::max(height, 4u);
    std::vector<std::string> lines;
    fold(lines,
         {"drfn3 stream", format("%.1f s", elapsed), format("%zu pod%s", pods.size(), pods.size() == 1 ? "" : "s"),
          "(Ctrl-C stops)"},
         width, "  ");
    std::size_t shown = 0;
    for (const PodStatus& pod : pods)
    {
        const Sample& s = pod.latest;
        std::vector<std::string> podLines;
        fold(podLines,
             {format("%-6s", hex(pod.serial).c_str()),
              format("%llu frames", static_cast<unsigned long long>(pod.samples)), format("%.1f Hz", pod.rate),
              format("loss %.1f %%", s.loss * 100.0), format("battery %.0f %%", s.battery),
              format("button %s", s.button != 0 ? "on" : "off")},
             width, "  ");
        std::vector<std::string> sensors;
        for (int sensor = 0; sensor < 3; ++sensor)
        {
            static const char* const names[3] = {"acc", "mag", "gyr"};
            double v[3];
            sensorValues(s, sensor, v);
            std::string field = names[sensor];
            if (units == Units::Calibrated) field += std::string(" ") + TABLE_UNITS[sensor];
            if (!pod.calibrationUsable && units == Units::Calibrated)
                field += " (no calibration)";
            else
                for (double value : v)
                    field +=
                        units == Units::Raw ? format("%7.0f", value) : format(sensor == 2 ? "%8.3f" : "%8.2f", value);
            sensors.push_back(field);
        }
        std::vector<std::string> angles;
        if (orientation)
        {
            if (!s.hasOrientation)
                angles.push_back(pod.calibrationUsable ? "orientation: waiting" : "orientation: no calibration");
            else
            {
                angles.push_back(format("roll %7.2f", s.roll));
                angles.push_back(format("pitch %6.2f", s.pitch));
                angles.push_back(format("yaw %7.2f deg", s.yaw));
                angles.push_back(format("q %7.4f %7.4f %7.4f %7.4f", s.qw, s.qx, s.qy, s.qz));
                // Said whenever a sensor is not in it: the gyroscope off, a push or a field rejected.
                if (s.orientationSensors != 7)
                {
                    std::string missing;
                    if (!(s.orientationSensors & 1)) missing += " acc";
                    if (!(s.orientationSensors & 2)) missing += " mag";
                    if (!(s.orientationSensors & 4)) missing += " gyr";
                    angles.push_back("without" + missing);
                }
            }
        }
        std::vector<std::string> sensorLines;
        fold(sensorLines, sensors, width - 2, "");
        // On lines of its own: the angles stay in place when the sensors' line folds.
        fold(sensorLines, angles, width - 2, "");
        for (std::string& line : sensorLines) podLines.push_back("  " + line);
        // A table taller than the screen would scroll on every redraw.
        if (lines.size() + podLines.size() + 1 > height - 1 && shown < pods.size())
        {
            lines.push_back(format("... %zu more pod%s: a larger terminal shows them", pods.size() - shown,
                                   pods.size() - shown == 1 ? "" : "s"));
            if (lines.back().size() > width) lines.back().resize(width);
            return lines;
        }
        lines.insert(lines.end(), podLines.begin(), podLines.end());
        ++shown;
    }
    return lines;
}

namespace {
// No "-0" for an angle a hair below zero.
double wholeDegrees(double degrees)
{
    return std::round(degrees) + 0.0;
}
} // namespace

std::string renderStatusLine(const std::vector<PodStatus>& pods, double elapsed)
{
    std::string line = format("%7.1f s", elapsed);
    for (const PodStatus& pod : pods)
        line += format("  %s %llu frames %.1f Hz loss %.1f %% battery %.0f %%", hex(pod.serial).c_str(),
                       static_cast<unsigned long long>(pod.samples), pod.rate, pod.latest.loss * 100.0,
                       pod.latest.battery) +
                (pod.latest.hasOrientation ? format(" rpy %.0f %.0f %.0f deg", wholeDegrees(pod.latest.roll),
                                                    wholeDegrees(pod.latest.pitch), wholeDegrees(pod.latest.yaw))
                                           : std::string());
    return line;
}

std::string csvHeader(Units units, bool utc, bool orientation)
{
    std::string header = utc ? "time_s,utc_s,pod" : "time_s,pod";
    for (int sensor = 0; sensor < 3; ++sensor)
        for (int axis = 0; axis < 3; ++axis) header += "," + columnName(sensor, axis, units);
    header += ",frame,loss,battery_pct,button";
    if (!orientation) return header;
    for (const char* column : ORIENTATION_COLUMNS) header += std::string(",") + column;
    return header + ",orientation_sensors";
}

std::string csvRow(const Sample& s, Units units, double utc, bool withUtc, bool orientation)
{
    std::string row = format("%.4f", s.time);
    if (withUtc) row += format(",%.6f", utc);
    row += "," + hex(s.serial);
    for (int sensor = 0; sensor < 3; ++sensor)
    {
        double v[3];
        sensorValues(s, sensor, v);
        for (double value : v) row += "," + format(valueFormat(sensor, units), value);
    }
    row += format(",%lld,%.4f,%.1f,%u", static_cast<long long>(s.frame), s.loss, s.battery, s.button);
    if (!orientation) return row;
    double v[7];
    orientationValues(s, v);
    for (int k = 0; k < 7; ++k) row += "," + format(ORIENTATION_VALUE_FORMATS[k], v[k]);
    return row + "," + sensorLetters(s);
}

std::string jsonRow(const Sample& s, Units units, double utc, bool withUtc, bool orientation)
{
    std::string row = format("{\"time_s\":%.4f", s.time);
    if (withUtc) row += format(",\"utc_s\":%.6f", utc);
    row += ",\"pod\":\"" + hex(s.serial) + "\"";
    for (int sensor = 0; sensor < 3; ++sensor)
    {
        double v[3];
        sensorValues(s, sensor, v);
        for (int axis = 0; axis < 3; ++axis)
        {
            // JSON has no NaN: a value that cannot be calibrated is null.
            const std::string value = std::isfinite(v[axis]) ? format(valueFormat(sensor, units), v[axis]) : "null";
            row += ",\"" + columnName(sensor, axis, units) + "\":" + value;
        }
    }
    row += format(",\"frame\":%lld,\"loss\":%.4f,\"battery_pct\":%.1f,\"button\":%u", static_cast<long long>(s.frame),
                  s.loss, s.battery, s.button);
    if (!orientation) return row + "}";
    double v[7];
    orientationValues(s, v);
    for (int k = 0; k < 7; ++k)
        row += format(",\"%s\":", ORIENTATION_COLUMNS[k]) +
               (s.hasOrientation ? format(ORIENTATION_VALUE_FORMATS[k], v[k]) : std::string("null"));
    return row + ",\"orientation_sensors\":\"" + sensorLetters(s) + "\"}";
}

void StreamObservers::add(StreamObserver* observer)
{
    if (observer) _observers.push_back(observer);
}

void StreamObservers::started(const std::vector<unsigned>& serials, Units units)
{
    for (StreamObserver* o : _observers) o->started(serials, units);
}

void StreamObservers::timeBase(double firstUtc, double firstTime)
{
    for (StreamObserver* o : _observers) o->timeBase(firstUtc, firstTime);
}

void StreamObservers::samples(const std::vector<Sample>& batch)
{
    for (StreamObserver* o : _observers) o->samples(batch);
}

void StreamObservers::status(const std::vector<PodStatus>& pods, double elapsed)
{
    for (StreamObserver* o : _observers) o->status(pods, elapsed);
}

void StreamObservers::controllerLost()
{
    for (StreamObserver* o : _observers) o->controllerLost();
}

void StreamObservers::controllerBack()
{
    for (StreamObserver* o : _observers) o->controllerBack();
}

StreamResult stream(Host& host, const StreamOptions& options)
{
    const std::vector<unsigned> serials = host.serials();
    if (serials.empty())
        throw UsageError("No pods to stream from: give them with --pods SERIAL,... or pair one with 'drfn3 pair'");
    const Units units = options.raw ? Units::Raw : Units::Calibrated;

    StreamFiles files(options, units);
    OutputFile& screen = files.screen();
    const bool terminal = files.samplesOnStdout() ? stderrIsTerminal() : stdoutIsTerminal();
    if (!files.begin()) return StreamResult{{}, true};

    {
        Progress progress("Connecting to the controller");
        host.connect();
        progress.done(
            host.get("Ctrl HW") + ", firmware " + host.get("Ctrl FW") +
            (host.get("Ctrl SerialNumber").empty() ? "" : ", serial number " + host.get("Ctrl SerialNumber")));
    }

    SampleReader reader(host.filter(), units);
    if (options.orientation) reader.enableOrientation(options.orientationSettings);
    reader.setPods(serials);
    try
    {
        Progress progress(
            format("Starting %zu pod%s: calibration, quiet channel", serials.size(), serials.size() == 1 ? "" : "s"));
        host.set("transmission", "1");
        progress.done("streaming at " + host.get("Frequency") + " Hz");
    }
    catch (...)
    {
        // An interrupted or failed start: the filter took its pods back; say that it is over.
        stopQuietly(host);
        throw;
    }
    reader.transmissionStarted(0);
    if (options.observer) options.observer->started(serials, units);

    LiveTable table(screen);
    const Clock::time_point start = Clock::now();
    Clock::time_point nextDraw = start, nextStatus = start + std::chrono::seconds(1);
    std::vector<RateWindow> windows(serials.size());
    for (RateWindow& w : windows) w.since = start;
    std::vector<bool> warned(serials.size(), false);

    auto statuses = [&](bool final) {
        std::vector<PodStatus> result;
        for (std::size_t i = 0; i < reader.pods().size(); ++i)
        {
            const PodState& pod = reader.pods()[i];
            result.push_back(podStatus(pod, final ? pod.rate() : windows[i].rate));
        }
        return result;
    };

    StreamResult result;
    bool lost = false;
    bool anchored = false;
    std::vector<Sample> batch;
    const auto utcOf = [&reader](double time) { return reader.utcOf(time); };
    try
    {
        while (!stopRequested())
        {
            const Clock::time_point now = Clock::now();
            if (options.seconds > 0 && seconds(now - start) >= options.seconds) break;
            host.filter().process();

            batch.clear();
            reader.collect(batch);
            if (options.observer && !anchored && !std::isnan(reader.firstSampleUtc()))
            {
                anchored = true;
                options.observer->timeBase(reader.firstSampleUtc(), reader.firstSampleTime());
            }
            files.write(batch, utcOf);

            const Clock::time_point after = Clock::now();
            if (after < nextDraw) continue;
            nextDraw =
                after + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.refresh));
            // What was written is on disk within a refresh, and a failure shows as soon.
            files.check();

            for (std::size_t i = 0; i < windows.size(); ++i)
            {
                const PodState& pod = reader.pods()[i];
                RateWindow& w = windows[i];
                const double span = seconds(after - w.since);
                if (span >= 1.0 || (w.rate == 0 && span >= 0.5))
                {
                    w.rate = static_cast<double>(pod.samples - w.samplesAtRate) / span;
                    w.samplesAtRate = pod.samples;
                    w.since = after;
                }
                if (!pod.calibrationUsable && units == Units::Calibrated && !warned[i])
                {
                    warned[i] = true;
                    std::cerr << "drfn3: pod " << hex(pod.serial)
                              << " has no usable calibration: its values are NaN; --raw gives its counts\n";
                }
            }
            if (!host.connected())
            {
                if (!options.reconnect)
                {
                    lost = true;
                    break;
                }
                const std::string identity = host.controller().identity;
                std::cerr << "drfn3: the controller was lost; waiting for it (Ctrl-C to stop)" << std::endl;
                if (options.observer) options.observer->controllerLost();
                Reconnector reconnector(host, identity);
                bool back = false;
                while (!stopRequested() && !back)
                {
                    pause(std::chrono::milliseconds(500));
                    if (screen.readerGone()) throw OutputClosed(screen.name());
                    if (!stopRequested()) back = reconnector.attempt();
                }
                if (!back) break;
                reader.transmissionStarted(seconds(Clock::now() - start));
                std::cerr << "drfn3: the controller is back; streaming again" << std::endl;
                if (options.observer) options.observer->controllerBack();
            }
            if (options.observer) options.observer->status(statuses(false), seconds(after - start));
            if (terminal)
            {
                unsigned height = 24;
                const unsigned width = terminalWidth(height);
                table.draw(
                    renderTable(statuses(false), seconds(after - start), units, width, height, options.orientation));
            }
            else if (after >= nextStatus)
            {
                // After a wait for the controller a second is a second again, not a burst of them.
                nextStatus += std::chrono::seconds(1);
                if (nextStatus <= after) nextStatus = after + std::chrono::seconds(1);
                screen.line(renderStatusLine(statuses(false), seconds(after - start)));
                screen.flush();
            }
        }
    }
    catch (const OutputClosed&)
    {
        result.outputClosed = true;
    }
    catch (...)
    {
        // Whatever stops the run, the pods do not stay on their streaming channel, and what
        // the other file holds is kept.
        stopQuietly(host);
        files.closeQuietly();
        throw;
    }
    if (!lost)
    {
        Progress progress("Stopping transmission, pods and controller back on channel 0");
        host.disconnect();
        progress.done();
    }
    files.close();
    if (lost) throw Poco::IOException("The controller stopped answering and was closed");
    result.pods = statuses(true);
    return result;
}

} // namespace Drfn3
