// The live view's messages: JSON built by hand, since a browser at 16 pods x 200 Hz gets
// thousands of numbers a second and they must read as the CSV's do.
#include "View.h"

#include <Drfn3/Settings.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace Drfn3 {

namespace {

void append(std::string& out, const char* format, double value)
{
    if (!std::isfinite(value))
    {
        // JSON has no NaN: a value that cannot be calibrated is null, as in the JSON lines.
        out += "null";
        return;
    }
    char buffer[48];
    const int n = std::snprintf(buffer, sizeof buffer, format, value);
    out.append(buffer, static_cast<std::size_t>(std::max(n, 0)));
}

void appendInteger(std::string& out, long long value)
{
    char buffer[24];
    const int n = std::snprintf(buffer, sizeof buffer, "%lld", value);
    out.append(buffer, static_cast<std::size_t>(std::max(n, 0)));
}

/// The CSV's decimals, so that a value on the page reads as in the file.
const char* valueFormat(int sensor, Units units)
{
    if (units == Units::Raw) return "%.0f";
    return sensor == 2 ? "%.5f" : sensor == 1 ? "%.3f" : "%.4f";
}

void appendUnits(std::string& out, Units units)
{
    if (units == Units::Raw)
        out += R"("units":"raw","unit":{"a":"counts","m":"counts","g":"counts"})";
    else
        out += R"("units":"calibrated","unit":{"a":"m/s^2","m":"uT","g":"rad/s"})";
}

void appendSerials(std::string& out, const std::vector<unsigned>& serials)
{
    out += "\"pods\":[";
    for (std::size_t i = 0; i < serials.size(); ++i) out += (i ? ",\"" : "\"") + hex(serials[i]) + "\"";
    out += "]";
}

/// One sensor's axes of every sample of a pod, flat: x, y, z, x, y, z, ...
void appendSensor(std::string& out, const char* key, int sensor, const SampleQueue& queue,
                  const std::vector<std::size_t>& rows, Units units)
{
    out += ",\"";
    out += key;
    out += "\":[";
    const char* format = valueFormat(sensor, units);
    bool first = true;
    for (std::size_t row : rows)
    {
        const Sample& s = queue[row].sample;
        const double values[3][3] = {{s.ax, s.ay, s.az}, {s.mx, s.my, s.mz}, {s.gx, s.gy, s.gz}};
        for (double value : values[sensor])
        {
            if (!first) out += ',';
            first = false;
            append(out, format, value);
        }
    }
    out += ']';
}

} // namespace

namespace ViewMessage {

std::string hello(bool started, Units units, const std::vector<unsigned>& serials, bool controllerLost,
                  unsigned intervalMs)
{
    std::string out = R"({"type":"hello","version":1,"streaming":)";
    out += started ? "true," : "false,";
    appendUnits(out, units);
    out += ',';
    appendSerials(out, started ? serials : std::vector<unsigned>());
    out += controllerLost ? R"(,"controller":"lost")" : R"(,"controller":"ok")";
    out += ",\"interval_ms\":" + std::to_string(intervalMs) + "}";
    return out;
}

std::string run(Units units, const std::vector<unsigned>& serials)
{
    std::string out = R"({"type":"run",)";
    appendUnits(out, units);
    out += ',';
    appendSerials(out, serials);
    return out + "}";
}

std::string samples(const SampleQueue& queue, const std::vector<unsigned>& order, Units units, std::uint64_t missed,
                    bool stamps, double sent)
{
    std::vector<unsigned> pods = order;
    for (std::size_t i = 0; i < queue.size(); ++i)
        if (std::find(pods.begin(), pods.end(), queue[i].sample.serial) == pods.end())
            pods.push_back(queue[i].sample.serial);

    std::string out = R"({"type":"samples","missed":)";
    appendInteger(out, static_cast<long long>(missed));
    if (stamps)
    {
        out += ",\"sent\":";
        append(out, "%.3f", sent);
    }
    out += ",\"pods\":[";
    bool firstPod = true;
    std::vector<std::size_t> rows;
    rows.reserve(queue.size());
    for (unsigned serial : pods)
    {
        rows.clear();
        for (std::size_t i = 0; i < queue.size(); ++i)
            if (queue[i].sample.serial == serial) rows.push_back(i);
        if (rows.empty()) continue;
        if (!firstPod) out += ',';
        firstPod = false;
        out += "{\"pod\":\"" + hex(serial) + "\",\"t\":[";
        for (std::size_t k = 0; k < rows.size(); ++k)
        {
            if (k) out += ',';
            append(out, "%.4f", queue[rows[k]].sample.time);
        }
        out += "],\"frame\":[";
        for (std::size_t k = 0; k < rows.size(); ++k)
        {
            if (k) out += ',';
            appendInteger(out, queue[rows[k]].sample.frame);
        }
        out += ']';
        appendSensor(out, "a", 0, queue, rows, units);
        appendSensor(out, "m", 1, queue, rows, units);
        appendSensor(out, "g", 2, queue, rows, units);
        if (stamps)
        {
            out += ",\"arrival\":[";
            for (std::size_t k = 0; k < rows.size(); ++k)
            {
                if (k) out += ',';
                append(out, "%.3f", queue[rows[k]].arrival);
            }
            out += ']';
        }
        // What changes slowly, or is only drawn as it is now, goes once: the pod's last.
        const ViewSample& last = queue[rows.back()];
        out += ",\"loss\":";
        append(out, "%.4f", last.sample.loss);
        out += ",\"battery\":";
        append(out, "%.1f", last.sample.battery);
        out += ",\"button\":";
        appendInteger(out, last.sample.button);
        if (last.sample.hasOrientation)
        {
            const Sample& o = last.sample;
            out += ",\"q\":[";
            const double q[4] = {o.qw, o.qx, o.qy, o.qz};
            for (int k = 0; k < 4; ++k)
            {
                if (k) out += ',';
                append(out, "%.6f", q[k]);
            }
            out += "],\"rpy\":[";
            const double rpy[3] = {o.roll, o.pitch, o.yaw};
            for (int k = 0; k < 3; ++k)
            {
                if (k) out += ',';
                append(out, "%.3f", rpy[k]);
            }
            out += ']';
        }
        out += '}';
    }
    return out + "]}";
}

std::string status(const std::vector<PodStatus>& pods, double elapsed, Units units, bool final)
{
    std::string out = R"({"type":"status","final":)";
    out += final ? "true" : "false";
    out += ",\"elapsed\":";
    append(out, "%.1f", elapsed);
    out += ",\"pods\":[";
    for (std::size_t i = 0; i < pods.size(); ++i)
    {
        const PodStatus& pod = pods[i];
        const Sample& s = pod.latest;
        if (i) out += ',';
        out += "{\"pod\":\"" + hex(pod.serial) + "\",\"samples\":";
        appendInteger(out, static_cast<long long>(pod.samples));
        out += ",\"rate\":";
        append(out, "%.1f", pod.rate);
        out += ",\"time\":";
        append(out, "%.4f", s.time);
        out += ",\"frame\":";
        appendInteger(out, s.frame);
        out += ",\"loss\":";
        append(out, "%.4f", s.loss);
        out += ",\"battery\":";
        append(out, "%.1f", s.battery);
        out += ",\"button\":";
        appendInteger(out, s.button);
        out += pod.calibrationUsable || units == Units::Raw ? ",\"calibrated\":true}" : ",\"calibrated\":false}";
    }
    return out + "]}";
}

std::string controller(bool lost)
{
    return lost ? R"({"type":"controller","state":"lost"})" : R"({"type":"controller","state":"back"})";
}

std::string end()
{
    return R"({"type":"end"})";
}

} // namespace ViewMessage

} // namespace Drfn3
