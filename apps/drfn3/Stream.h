#ifndef Drfn3_Stream_INCLUDED
#define Drfn3_Stream_INCLUDED

#include "Quillmesh/Core/InputPin.h"
#include "Quillmesh/Core/TimeStampedData.h"

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace Drfn3 {

class Host;

struct StreamOptions
{
    /// 0: until stopped.
    double seconds = 0;
    std::string csv;
    std::string jsonl;
    /// Seconds between redraws of the live table.
    double refresh = 0.25;
    /// A lost controller is waited for instead of ending the run.
    bool reconnect = false;
};

/// One decoded sample of one pod, as the filter's pins gave it.
struct Sample
{
    double time = 0;
    unsigned serial = 0;
    double acc[3] = {0, 0, 0};
    double mag[3] = {0, 0, 0};
    double gyr[3] = {0, 0, 0};
    double frame = 0;
    double loss = 0;
    double frequency = 0;
    double battery = 0;
    double button = 0;
};

/// What the live view shows of one pod.
struct PodStatus
{
    unsigned serial = 0;
    std::uint64_t samples = 0;
    double rate = 0;
    Sample latest;
};

/// The live table, at most 80 columns wide: a heading, then two lines per pod.
std::vector<std::string> renderTable(const std::vector<PodStatus>& pods, double elapsed);
/// One line for logs and pipes.
std::string renderStatusLine(const std::vector<PodStatus>& pods, double elapsed);

std::string csvHeader();
std::string csvRow(const Sample& sample);
std::string jsonRow(const Sample& sample);

/// Connects, starts transmission, reads samples until the time is up or a stop signal
/// comes, then stops transmission and disconnects. Returns the pods' statistics.
std::vector<PodStatus> stream(Host& host, const StreamOptions& options);

} // namespace Drfn3

#endif
