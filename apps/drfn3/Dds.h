#ifndef Drfn3_DdsLink_INCLUDED
#define Drfn3_DdsLink_INCLUDED

#include "Stream.h"

#include <memory>
#include <string>

namespace CLI {
class App;
}

namespace Drfn3 {

/// --dds and --dds-domain, for a command that streams.
void addDdsOptions(CLI::App& command, StreamOptions& options);

/// Refuses what --dds cannot do before anything is touched: a build without DDS
/// (Poco::NotImplementedException), --raw (UsageError: the messages carry physical units).
void checkDds(const StreamOptions& options);

/// While it lives, the run's samples are published over DDS when options.dds asks for it.
class DdsPublication
{
public:
    /// Says on standard error where it publishes.
    explicit DdsPublication(const StreamOptions& options);
    ~DdsPublication();
    DdsPublication(const DdsPublication&) = delete;
    DdsPublication& operator=(const DdsPublication&) = delete;

    /// The options to stream with: their observer and the publisher are both told.
    const StreamOptions& options() const { return _options; }
    /// Publishes what is left and the end of the session; says what had to be dropped.
    void end();

private:
    class Observer;

    StreamOptions _options;
    StreamObservers _observers;
    std::unique_ptr<Observer> _publisher;
};

struct RecordOptions
{
    bool dds = false;
    unsigned ddsDomain = 0;
    std::string csv;
    /// Seconds of samples to keep from the first one; 0: until the session ends.
    double seconds = 0;
};

/// Writes the samples a session publishes over DDS (the first session heard from) to CSV, as
/// 'stream --csv' writes them, until --seconds of them, a stop signal or the session's end.
int runRecord(const RecordOptions& options);

} // namespace Drfn3

#endif
