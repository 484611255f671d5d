// drfn3 stream over several controllers: one filter each, samples merged on one time base.
#include "Commands.h"
#include "Dds.h"
#include "OutputFile.h"
#include "StreamFiles.h"

#include <Drfn3/MultiSession.h>
#include <Poco/Exception.h>
#include <Poco/Timestamp.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>

namespace Drfn3 {

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string offsetText(double seconds)
{
    char text[64];
    std::snprintf(text, sizeof text, "%+.4f s", seconds);
    return text;
}

} // namespace

StreamResult streamSeveral(const Settings& common, std::vector<ControllerPods> controllers,
                           const StreamOptions& options)
{
    const Units units = options.raw ? Units::Raw : Units::Calibrated;
    StreamFiles files(options, units);
    OutputFile& screen = files.screen();
    if (!files.begin()) return StreamResult{{}, true};

    if (controllers.size() == 1 && controllers.front().where.empty())
    {
        Progress progress("Looking for the pods on every controller present");
        controllers = findPods(common, controllers.front().pods);
        progress.done(std::to_string(controllers.size()) + " controller" + (controllers.size() == 1 ? "" : "s"));
    }
    MultiSession session(common, controllers, units);
    if (options.orientation) session.enableOrientation(options.orientationSettings);
    session.interrupted = [] { return stopRequested(); };
    {
        Progress progress("Starting " + std::to_string(controllers.size()) + " controllers");
        session.start();
        progress.done();
    }
    for (std::size_t c = 0; c < session.size(); ++c)
    {
        Host& host = session.host(c);
        std::cerr << "controller " << c + 1 << ": " << session.where(c) << ", " << host.get("Ctrl HW") << ", "
                  << controllers[c].pods.size() << " pods, time offset " << offsetText(session.offset(c)) << '\n';
    }
    std::vector<unsigned> serials;
    for (const ControllerPods& entry : controllers) serials.insert(serials.end(), entry.pods.begin(), entry.pods.end());
    if (options.observer) options.observer->started(serials, units);

    const Clock::time_point start = Clock::now();
    Clock::time_point nextStatus = start + std::chrono::seconds(1);
    Clock::time_point nextTry = start;
    std::vector<bool> reported(session.size(), false);
    std::vector<Sample> batch;
    StreamResult result;
    auto statuses = [&](bool) {
        std::vector<PodStatus> list;
        for (const PodState& pod : session.pods()) list.push_back(podStatus(pod, pod.rate()));
        return list;
    };
    // Session time 0 on the wall clock.
    const double utcOrigin = static_cast<double>(Poco::Timestamp().epochMicroseconds()) * 1e-6 - session.now();
    const auto utcOf = [utcOrigin](double time) { return utcOrigin + time; };
    if (options.observer) options.observer->timeBase(utcOrigin, 0.0);
    bool allLost = false;
    try
    {
        while (!stopRequested())
        {
            const Clock::time_point now = Clock::now();
            if (options.seconds > 0 && seconds(now - start) >= options.seconds) break;
            batch.clear();
            session.cycle(batch);
            files.write(batch, utcOf);
            std::size_t lost = 0;
            for (std::size_t c = 0; c < session.size(); ++c)
            {
                if (!session.lost(c))
                {
                    if (reported[c])
                    {
                        reported[c] = false;
                        std::cerr << "drfn3: controller " << c + 1 << " is back; its pods stream again" << std::endl;
                        if (options.observer) options.observer->controllerBack();
                    }
                    continue;
                }
                ++lost;
                if (!reported[c])
                {
                    reported[c] = true;
                    std::cerr << "drfn3: controller " << c + 1 << " (" << session.where(c)
                              << ") was lost; its pods stop" << (options.reconnect ? ", waiting for it" : "")
                              << ", the others go on" << std::endl;
                    if (options.observer) options.observer->controllerLost();
                }
                if (options.reconnect && now >= nextTry) session.reconnect(c);
            }
            if (now >= nextTry) nextTry = now + std::chrono::milliseconds(500);
            if (lost == session.size() && !options.reconnect)
            {
                allLost = true;
                break;
            }
            if (Clock::now() >= nextStatus)
            {
                nextStatus += std::chrono::seconds(1);
                files.check();
                const std::vector<PodStatus> now = statuses(false);
                if (options.observer) options.observer->status(now, seconds(Clock::now() - start));
                screen.line(renderStatusLine(now, seconds(Clock::now() - start)));
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
        session.stop();
        files.closeQuietly();
        throw;
    }
    {
        Progress progress("Stopping transmission, pods and controllers back on channel 0");
        session.stop();
        progress.done();
    }
    batch.clear();
    session.flush(batch);
    if (!result.outputClosed) files.write(batch, utcOf);
    files.close();
    if (allLost) throw Poco::IOException("Every controller stopped answering and was closed");
    result.pods = statuses(true);
    return result;
}

int runStreamSeveral(const Settings& common, const std::vector<ControllerPods>& controllers,
                     const StreamOptions& options)
{
    // A DDS that cannot start stops the run before anything is touched.
    DdsPublication dds(options);
    installStopHandlers();
    const StreamResult result = streamSeveral(common, controllers, dds.options());
    dds.end();
    if (result.outputClosed) return ExitOk;
    printSummary(result.pods);
    return ExitOk;
}

} // namespace Drfn3
