#ifndef Drfn3_StreamFiles_INCLUDED
#define Drfn3_StreamFiles_INCLUDED

#include "OutputFile.h"
#include "Stream.h"

#include <Drfn3/SampleReader.h>

#include <functional>
#include <string>
#include <vector>

namespace Drfn3 {

/// The files a run writes and the screen its table or status goes to: samples on standard
/// output leave it to them, the status goes to standard error then.
class StreamFiles
{
public:
    /// UsageError when the CSV and the JSON lines both go to standard output.
    StreamFiles(const StreamOptions& options, Units units);
    StreamFiles(const StreamFiles&) = delete;
    StreamFiles& operator=(const StreamFiles&) = delete;

    /// The CSV heading written, and what was printed before let out ahead of the table: a
    /// full disk or a closed pipe shows now, before any pod is touched. False when the
    /// screen's reader has gone already.
    bool begin();
    /// One cycle's samples to the files, then to the observer; utcOf gives a sample's UTC
    /// seconds from its time.
    void write(const std::vector<Sample>& batch, const std::function<double(double)>& utcOf);
    /// What was written goes to disk, and a failure to write it or the traffic log shows;
    /// OutputClosed when a reader of the screen went away.
    void check();
    void close();
    /// Both closed on the way out of a failure: their own failures are not thrown over it.
    void closeQuietly();

    OutputFile& screen() { return _samplesOnStdout ? _screenErr : _screenOut; }
    bool samplesOnStdout() const { return _samplesOnStdout; }

private:
    const StreamOptions& _options;
    Units _units;
    OutputFile _csv, _jsonl;
    bool _samplesOnStdout;
    OutputFile _screenOut;
    OutputFile _screenErr;
};

/// A pod's state as the table and the summary show it, at this rate.
PodStatus podStatus(const PodState& pod, double rate);

/// The closing lines of a run on standard output, one per pod.
void printSummary(const std::vector<PodStatus>& pods);

} // namespace Drfn3

#endif
