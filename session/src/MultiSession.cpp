#include "Drfn3/MultiSession.h"

#include "Drfn3/Discovery.h"

#include <Poco/Exception.h>
#include <Tarnlink/Interrupt.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <chrono>
#include <cmath>
#include <limits>

namespace Drfn3 {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

const char* const UNREACHABLE = "Could not reach driftnodes";

/// Frame reads a start waits for the controller's first frame: each waits a read time-out
/// at most, so a controller that never sends one costs a few seconds, not the run.
constexpr int FIRST_FRAME_READS = 20;

/// Extra frame reads per cycle for a controller behind the others.
constexpr int CATCH_UP_READS = 64;

double steadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string serialText(const std::vector<unsigned>& serials, const char* separator = ";")
{
    std::string text;
    for (unsigned serial : serials) text += (text.empty() ? "" : separator) + hex(serial);
    return text;
}

Settings partSettings(const Settings& common, const std::string& where, const std::vector<unsigned>& pods, bool log)
{
    Settings settings = common;
    settings.controller = where;
    settings.pods = serialText(pods);
    settings.podsGiven = true;
    // One filter's pods are another's strangers: nothing of one controller is saved for all.
    settings.ephemeral = true;
    // The traffic log is one file for the process: it follows the first controller.
    if (!log) settings.log.clear();
    return settings;
}

/// The pods of candidates that answer on the controller at where, by the filter's network
/// check (the start of a transmission, stopped again at once).
std::vector<unsigned> reachableAt(const Settings& common, const std::string& where,
                                  const std::vector<unsigned>& candidates)
{
    std::vector<unsigned> found;
    std::size_t chunk = 16;
    for (std::size_t at = 0; at < candidates.size();)
    {
        const std::vector<unsigned> asked(candidates.begin() + static_cast<std::ptrdiff_t>(at),
                                          candidates.begin() +
                                              static_cast<std::ptrdiff_t>(std::min(candidates.size(), at + chunk)));
        std::vector<unsigned> missing;
        try
        {
            Host host(partSettings(common, where, asked, false));
            host.connect();
            try
            {
                host.set("transmission", "1");
            }
            catch (const Poco::IOException& error)
            {
                const std::string& text = error.message();
                if (text.rfind(UNREACHABLE, 0) != 0) throw;
                std::vector<unsigned> listed = parseSerials(text.substr(std::string(UNREACHABLE).size()));
                missing = listed;
            }
            host.disconnect();
        }
        catch (const UsageError& error)
        {
            // More than this controller holds at once: asked in smaller groups.
            if (chunk > 1 && std::string(error.what()).find("Too many") != std::string::npos)
            {
                chunk /= 2;
                continue;
            }
            throw;
        }
        for (unsigned serial : asked)
            if (std::find(missing.begin(), missing.end(), serial) == missing.end()) found.push_back(serial);
        at += asked.size();
    }
    return found;
}

} // namespace

std::vector<ControllerPods> findPods(const Settings& common, const std::vector<unsigned>& pods)
{
    const std::vector<std::string> present = availableControllers();
    if (present.empty()) throw Poco::NotFoundException("No Motion Controller available" + describeUnusablePorts());
    std::vector<unsigned> remaining = pods;
    std::vector<ControllerPods> result;
    for (const std::string& where : present)
    {
        if (remaining.empty()) break;
        std::vector<unsigned> here = reachableAt(common, where, remaining);
        if (here.empty()) continue;
        for (unsigned serial : here) remaining.erase(std::find(remaining.begin(), remaining.end(), serial));
        result.push_back(ControllerPods{where, here});
    }
    if (!remaining.empty())
        throw UsageError("Pods " + serialText(remaining, ", ") + " answer on none of the " +
                         std::to_string(present.size()) + " controllers present");
    return result;
}

MultiSession::MultiSession(const Settings& common, const std::vector<ControllerPods>& controllers, Units units,
                           Clock clock)
    : _units(units), _clock(clock ? std::move(clock) : Clock(steadySeconds))
{
    if (controllers.empty()) throw UsageError("No controllers to stream from");
    for (const ControllerPods& entry : controllers)
    {
        if (entry.pods.empty())
            throw UsageError("No pods to stream from on " +
                             (entry.where.empty() ? std::string("the controller") : entry.where));
        for (const auto& part : _parts)
            for (unsigned serial : entry.pods)
                if (std::find(part->pods.begin(), part->pods.end(), serial) != part->pods.end())
                    throw UsageError("Pod " + hex(serial) + " is given on two controllers");
        auto part = std::make_unique<Part>();
        part->where = entry.where;
        part->pods = entry.pods;
        part->delta = NaN;
        part->host = std::make_unique<Host>(partSettings(common, entry.where, entry.pods, _parts.empty()));
        part->reader = std::make_unique<SampleReader>(part->host->filter(), units);
        _parts.push_back(std::move(part));
    }
}

MultiSession::~MultiSession()
{
    try
    {
        stop();
    }
    catch (...)
    {
    }
}

void MultiSession::enableOrientation(const OrientationSettings& settings)
{
    // The same settings everywhere: the first reader refuses them before any other takes them.
    for (auto& part : _parts) part->reader->enableOrientation(settings);
}

void MultiSession::start(const std::function<void(const std::string&)>& progress)
{
    _origin = _clock();
    try
    {
        for (auto& part : _parts)
        {
            if (progress) progress("Connecting to the controller " + part->where);
            part->host->connect();
            part->identity = part->host->controller().identity;
            part->reader->setPods(part->host->serials());
        }
        // One after the other: each search hears the networks already streaming.
        for (auto& part : _parts)
        {
            if (progress)
                progress("Starting " + std::to_string(part->pods.size()) + " pods on " + part->where +
                         ": calibration, quiet channel");
            startPart(*part);
        }
    }
    catch (...)
    {
        stop();
        throw;
    }
}

void MultiSession::startPart(Part& part)
{
    // A start takes seconds (calibration, channel search); the controllers already streaming
    // are read meanwhile, or their frames would pile up in ports that hold only so many.
    std::exception_ptr failure;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        std::unique_ptr<Tarnlink::InterruptScope> scope;
        if (interrupted) scope = std::make_unique<Tarnlink::InterruptScope>(interrupted);
        try
        {
            part.host->set("transmission", "1");
        }
        catch (...)
        {
            failure = std::current_exception();
        }
        done = true;
    });
    bool others = true;
    while (!done && others)
    {
        others = false;
        for (auto& other : _parts)
        {
            if (other.get() == &part || !other->streaming) continue;
            others = true;
            read(*other);
        }
    }
    worker.join();
    if (failure) std::rethrow_exception(failure);
    part.reader->transmissionStarted(0);
    part.delta = NaN;
    part.delivered = now();
    part.streaming = true;
    part.lost = false;
    // The controller's clock is read off its first frame, before any backlog can build up.
    for (int i = 0; i < FIRST_FRAME_READS && std::isnan(part.delta) && part.host->connected(); ++i)
    {
        part.host->filter().process();
        take(part);
    }
}

void MultiSession::stop()
{
    for (auto& part : _parts)
    {
        part->streaming = false;
        try
        {
            part->host->disconnect();
        }
        catch (const Poco::Exception&)
        {
            // The others are still put back on channel 0.
        }
    }
}

void MultiSession::take(Part& part)
{
    _batch.clear();
    part.reader->collect(_batch);
    if (_batch.empty()) return;
    part.delivered = now();
    if (std::isnan(part.delta)) part.delta = part.delivered - _batch.back().time;
    for (Sample& sample : _batch) sample.time += part.delta;
    part.latest = std::max(part.latest, _batch.back().time);
    part.held.insert(part.held.end(), _batch.begin(), _batch.end());
}

std::size_t MultiSession::cycle(std::vector<Sample>& out)
{
    double slowest = std::numeric_limits<double>::infinity();
    const double hostNow = now();
    double target = -std::numeric_limits<double>::infinity();
    for (auto& part : _parts)
        if (part->streaming) target = std::max(target, part->latest);
    for (auto& part : _parts)
    {
        if (!part->streaming) continue;
        read(*part);
        // One behind the others (its start came first, or its port was slow) reads what it
        // holds already until it has caught up, a bounded number of frames per cycle.
        for (int extra = 0; extra < CATCH_UP_READS && part->streaming && part->latest < target; ++extra) read(*part);
        if (!part->streaming) continue;
        // One that has given nothing for a while (stalled, or not yet started sending) holds
        // nobody back; one that is behind but delivering does, however far behind.
        if (hostNow - part->delivered <= holdSeconds)
            slowest =
                std::min(slowest, std::isnan(part->delta) ? -std::numeric_limits<double>::infinity() : part->latest);
    }
    return release(out, slowest);
}

void MultiSession::read(Part& part)
{
    part.host->filter().process();
    take(part);
    if (!part.host->connected())
    {
        part.streaming = false;
        part.lost = true;
    }
}

std::size_t MultiSession::flush(std::vector<Sample>& out)
{
    return release(out, std::numeric_limits<double>::infinity());
}

std::size_t MultiSession::release(std::vector<Sample>& out, double upTo)
{
    // Each controller's samples are in time order already: the earliest head goes first.
    std::size_t count = 0;
    for (;;)
    {
        Part* earliest = nullptr;
        for (auto& part : _parts)
            if (!part->held.empty() && part->held.front().time <= upTo &&
                (!earliest || part->held.front().time < earliest->held.front().time))
                earliest = part.get();
        if (!earliest) return count;
        out.push_back(earliest->held.front());
        earliest->held.pop_front();
        ++count;
    }
}

std::vector<PodState> MultiSession::pods() const
{
    std::vector<PodState> all;
    for (const auto& part : _parts)
    {
        std::vector<PodState> states = part->reader->pods();
        // Before the start the reader knows no pods yet.
        if (states.empty())
            for (unsigned serial : part->pods)
            {
                PodState state;
                state.serial = serial;
                state.latest.serial = serial;
                states.push_back(state);
            }
        for (PodState& state : states)
        {
            // The latest sample on the session's clock, as written out.
            if (!std::isnan(part->delta) && state.samples > 0) state.latest.time += part->delta;
            all.push_back(state);
        }
    }
    return all;
}

std::size_t MultiSession::controllerOf(unsigned serial) const
{
    for (std::size_t i = 0; i < _parts.size(); ++i)
        if (std::find(_parts[i]->pods.begin(), _parts[i]->pods.end(), serial) != _parts[i]->pods.end()) return i;
    return _parts.size();
}

bool MultiSession::reconnect(std::size_t index)
{
    Part& part = *_parts.at(index);
    if (part.streaming) return true;
    try
    {
        part.host->connect(part.identity);
        startPart(part);
        return part.host->connected();
    }
    catch (const Poco::Exception&)
    {
        part.streaming = false;
        try
        {
            part.host->disconnect();
        }
        catch (const Poco::Exception&)
        {
        }
        return false;
    }
}

} // namespace Drfn3
