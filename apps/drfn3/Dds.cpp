#include "Dds.h"

#include "Common.h"
#include "OutputFile.h"

#include <CLI/CLI.hpp>
#include <Poco/Exception.h>

#if DRFN3_WITH_DDS
#include <Drfn3/Dds/Publisher.h>
#include <Drfn3/Dds/Subscriber.h>
#endif

#include <chrono>
#include <cmath>
#include <iostream>
#include <map>

namespace Drfn3 {

#if !DRFN3_WITH_DDS
namespace {

[[noreturn]] void notAvailable()
{
    throw Poco::NotImplementedException(
        "DDS is not available in this build of drfn3 (it is built with Cyclone DDS when cyclonedds-dev and "
        "cyclonedds-tools are installed)");
}

} // namespace
#endif

void addDdsOptions(CLI::App& command, StreamOptions& options)
{
    command.add_flag("--dds", options.dds,
                     "Publish every sample over DDS: per pod rt/drfn3/<SERIAL>/imu and .../mag as ROS 2 "
                     "sensor_msgs, and the session's status");
    command.add_option("--dds-domain", options.ddsDomain, "DDS domain to publish in (0-232, default 0)")
        ->check(CLI::Range(0u, 232u));
}

void checkDds(const StreamOptions& options)
{
    if (!options.dds) return;
#if !DRFN3_WITH_DDS
    notAvailable();
#endif
    if (options.raw) throw UsageError("--dds publishes physical units (m/s^2, T, rad/s): it cannot go with --raw");
}

#if DRFN3_WITH_DDS

/// The stream's observer that hands everything to the publisher.
class DdsPublication::Observer : public StreamObserver
{
public:
    explicit Observer(unsigned domain) : publisher(optionsFor(domain)) {}

    void started(const std::vector<unsigned>& serials, Units) override { publisher.started(serials); }
    void timeBase(double firstUtc, double firstTime) override { publisher.timeBase(firstUtc, firstTime); }
    void samples(const std::vector<Sample>& batch) override { publisher.publish(batch); }
    void status(const std::vector<PodStatus>& pods, double elapsed) override
    {
        _reports.clear();
        for (const PodStatus& pod : pods)
        {
            Dds::PodReport r;
            r.serial = pod.serial;
            r.samples = pod.samples;
            r.rate = pod.rate;
            r.loss = pod.latest.loss;
            r.battery = pod.latest.battery;
            _reports.push_back(r);
        }
        _elapsed = elapsed;
        publisher.report(_reports, elapsed);
    }
    void controllerLost() override
    {
        for (Dds::PodReport& r : _reports) r.streaming = false;
        publisher.report(_reports, _elapsed);
        publisher.setState(Dds::SessionState::ControllerLost);
    }
    void controllerBack() override { publisher.setState(Dds::SessionState::Streaming); }

    Dds::Publisher publisher;

private:
    static Dds::PublisherOptions optionsFor(unsigned domain)
    {
        Dds::PublisherOptions options;
        options.domain = domain;
        return options;
    }

    std::vector<Dds::PodReport> _reports;
    double _elapsed = 0;
};

DdsPublication::DdsPublication(const StreamOptions& options) : _options(options)
{
    if (!options.dds) return;
    checkDds(options);
    _publisher = std::make_unique<Observer>(options.ddsDomain);
    std::cerr << "Publishing over DDS in domain " << options.ddsDomain << " as session "
              << _publisher->publisher.session() << std::endl;
    _observers.add(options.observer);
    _observers.add(_publisher.get());
    _options.observer = &_observers;
}

void DdsPublication::end()
{
    if (!_publisher) return;
    _publisher->publisher.end();
    const std::uint64_t dropped = _publisher->publisher.dropped();
    if (dropped > 0)
        std::cerr << "drfn3: DDS: " << dropped << " samples were dropped: their readers or this computer were too slow"
                  << std::endl;
    _publisher.reset();
}

int runRecord(const RecordOptions& options)
{
    if (!options.dds) throw UsageError("record takes what 'drfn3 stream --dds' publishes: give --dds");
    if (options.csv.empty()) throw UsageError("record needs --csv FILE ('-': standard output)");
    OutputFile csv(options.csv);
    Dds::SessionSubscriber subscriber(options.ddsDomain);
    std::cerr << "Waiting for a drfn3 session in DDS domain " << options.ddsDomain << " (Ctrl-C stops)" << std::endl;

    using Clock = std::chrono::steady_clock;
    Clock::time_point nextFlush = Clock::now();
    std::map<unsigned, std::uint64_t> counts;
    std::size_t ignoredTold = 0;
    bool announced = false, done = false;
    double until = std::nan("");
    std::vector<Sample> batch;
    try
    {
        // A full disk or a closed pipe shows before anything is waited for.
        csv.line(csvHeader(Units::Calibrated));
        csv.flush();
        while (!done && !stopRequested())
        {
            batch.clear();
            subscriber.take(batch, std::chrono::milliseconds(200));
            if (!announced && !subscriber.session().empty())
            {
                announced = true;
                std::cerr << "Recording session " << subscriber.session() << std::endl;
            }
            for (; ignoredTold < subscriber.ignored().size(); ++ignoredTold)
                std::cerr << "drfn3: session " << subscriber.ignored()[ignoredTold] << " publishes too; recording only "
                          << subscriber.session() << std::endl;
            for (const Sample& s : batch)
            {
                if (options.seconds > 0)
                {
                    if (std::isnan(until)) until = s.time + options.seconds;
                    if (s.time >= until)
                    {
                        done = true;
                        break;
                    }
                }
                csv.line(csvRow(s, Units::Calibrated));
                ++counts[s.serial];
            }
            if (subscriber.ended()) done = true;
            if (Clock::now() >= nextFlush)
            {
                csv.flush();
                if (csv.readerGone()) throw OutputClosed(csv.name());
                nextFlush = Clock::now() + std::chrono::milliseconds(250);
            }
        }
        csv.close();
    }
    catch (const OutputClosed&)
    {
        // Whoever read the samples went away: a stop, not a failure.
        return ExitOk;
    }
    if (!announced)
    {
        std::cerr << "drfn3: no drfn3 session was heard in DDS domain " << options.ddsDomain << '\n';
        return ExitFailure;
    }
    std::ostream& out = csv.isStandardOutput() ? std::cerr : std::cout;
    for (const auto& [serial, count] : counts) out << "pod " << hex(serial) << ": " << count << " samples\n";
    if (subscriber.missedBatches() > 0)
        std::cerr << "drfn3: " << subscriber.missedBatches()
                  << " batches of samples never arrived: this recorder fell behind or the network lost them\n";
    if (subscriber.publisherDropped() > 0)
        std::cerr << "drfn3: the session dropped " << subscriber.publisherDropped() << " samples before publishing\n";
    return ExitOk;
}

#else

class DdsPublication::Observer : public StreamObserver
{};

DdsPublication::DdsPublication(const StreamOptions& options) : _options(options)
{
    checkDds(options);
}

void DdsPublication::end() {}

int runRecord(const RecordOptions&)
{
    notAvailable();
}

#endif

DdsPublication::~DdsPublication()
{
    try
    {
        end();
    }
    catch (...)
    {
    }
}

} // namespace Drfn3
