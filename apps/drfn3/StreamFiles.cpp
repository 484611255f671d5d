#include "StreamFiles.h"

#include "Common.h"

#include <Tarnlink/Log.h>

#include <cerrno>
#include <cstring>
#include <iomanip>
#include <iostream>

#include <unistd.h>

namespace Drfn3 {

namespace {

const std::string& checked(const StreamOptions& options)
{
    if (options.csv == "-" && options.jsonl == "-")
        throw UsageError("--csv and --jsonl cannot both go to standard output");
    return options.csv;
}

} // namespace

StreamFiles::StreamFiles(const StreamOptions& options, Units units)
    : _options(options),
      _units(units),
      _csv(checked(options)),
      _jsonl(options.jsonl),
      _samplesOnStdout(_csv.isStandardOutput() || _jsonl.isStandardOutput()),
      _screenErr(STDERR_FILENO, "standard error")
{
}

bool StreamFiles::begin()
{
    _csv.line(csvHeader(_units, _options.utc, _options.orientation));
    _csv.flush();
    _jsonl.flush();
    std::cout.flush();
    if (!std::cout) throw Poco::WriteFileException(std::string("standard output: ") + std::strerror(errno));
    return !screen().readerGone();
}

void StreamFiles::write(const std::vector<Sample>& batch, const std::function<double(double)>& utcOf)
{
    for (const Sample& s : batch)
    {
        const double utc = utcOf(s.time);
        if (_csv) _csv.line(csvRow(s, _units, utc, _options.utc, _options.orientation));
        if (_jsonl) _jsonl.line(jsonRow(s, _units, utc, _options.utc, _options.orientation));
    }
    if (_options.observer && !batch.empty()) _options.observer->samples(batch);
}

void StreamFiles::check()
{
    _csv.flush();
    _jsonl.flush();
    const std::string logFailure = Tarnlink::logFailure();
    if (!logFailure.empty()) throw Poco::WriteFileException(logFailure);
    if (screen().readerGone() || (_samplesOnStdout && _screenOut.readerGone())) throw OutputClosed(screen().name());
}

void StreamFiles::close()
{
    _csv.close();
    _jsonl.close();
}

void StreamFiles::closeQuietly()
{
    for (OutputFile* file : {&_csv, &_jsonl})
    {
        try
        {
            file->close();
        }
        catch (const Poco::Exception&)
        {
        }
    }
}

PodStatus podStatus(const PodState& pod, double rate)
{
    PodStatus status;
    status.serial = pod.serial;
    status.samples = pod.samples;
    status.rate = rate;
    status.calibrationUsable = pod.calibrationUsable;
    status.latest = pod.latest;
    return status;
}

void printSummary(const std::vector<PodStatus>& pods)
{
    for (const PodStatus& pod : pods)
        std::cout << "pod " << hex(pod.serial) << ": " << pod.samples << " samples, " << std::fixed
                  << std::setprecision(1) << pod.rate << " Hz, loss " << pod.latest.loss * 100.0 << " %, battery "
                  << pod.latest.battery << " %\n";
}

} // namespace Drfn3
