#include "Commands.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Simulator.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <thread>

#include <unistd.h>

namespace Drfn3 {

namespace {

using namespace Tarnlink::Sim;

std::string channelText(unsigned code)
{
    const unsigned index = Tarnlink::Controller::channelIndex(code);
    return index == Tarnlink::Controller::UNKNOWN_CHANNEL ? "code " + std::to_string(code) : std::to_string(index);
}

std::string podList(Simulator& sim)
{
    std::string text;
    for (Pod* pod : sim.pods()) text += (text.empty() ? "" : ", ") + hex(pod->serial());
    return text.empty() ? "no pods" : "pods " + text;
}

/// Discovery lists the extra ports after those it finds on USB.
void pointDiscoveryAt(const std::string& path)
{
    const std::string current = Poco::Environment::get("ORLAN_TARNLINK_PORTS", "");
    Poco::Environment::set("ORLAN_TARNLINK_PORTS", current.empty() ? path : path + ":" + current);
}

/// Every data frame the controller sent: pod, frame number and the bytes in hexadecimal, one
/// per line; the file appears complete or not at all.
void writeFrames(Simulator& sim, const std::string& path)
{
    const std::string part = path + ".part";
    {
        std::ofstream out(part);
        static const char digits[] = "0123456789abcdef";
        for (const Record& frame : sim.recorder().of(Record::Frame))
        {
            std::string text;
            for (unsigned char c : frame.bytes) text += {digits[c >> 4], digits[c & 15]};
            out << hex(frame.serial) << ' ' << frame.value << ' ' << text << '\n';
        }
        if (!out.flush()) throw Poco::WriteFileException("Cannot write " + part);
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) throw Poco::WriteFileException("Cannot write " + path);
}

} // namespace

int runSim(const SimOptions& options)
{
    if (options.generation != 1 && options.generation != 2) throw UsageError("--generation must be 1 or 2");
    Simulator sim(options.generation == 1 ? Generation::First : Generation::Second, options.seed);
    const std::vector<unsigned> serials = parseSerials(options.pods);
    if (options.motions.size() > 1 && options.motions.size() != serials.size())
        throw UsageError("--motion takes one name, or one per pod of --sim-pods");
    for (std::size_t i = 0; i < serials.size(); ++i)
    {
        Pod& pod = sim.addPod(serials[i]);
        if (!options.motions.empty())
            pod.setMotion(
                MotionScript::named(options.motions[options.motions.size() == 1 ? 0 : i], serials[i], options.seed));
    }
    if (!options.pairingPod.empty())
    {
        const std::vector<unsigned> serials = parseSerials(options.pairingPod);
        if (serials.size() != 1) throw UsageError("--pairing-pod takes one serial");
        sim.addPod(serials[0]).setPairing(true);
    }
    {
        auto guard = sim.lock();
        sim.faults().corruptByte = options.corrupt;
        sim.faults().dropByte = options.drop;
        sim.faults().garbage = options.garbage;
        for (unsigned channel : options.busyChannels) sim.setBusyChannel(channel);
        if (options.rate > 0) sim.setOfferedRate(options.rate);
    }

    PtyServerOptions serverOptions;
    serverOptions.linkPath = options.link;
    PtyServer server(sim, serverOptions);
    server.start();
    std::cout << "Simulated generation " << options.generation << " controller with " << podList(sim) << " on "
              << server.stablePath() << '\n';
    // Each generation has its own list of extra ports: the channel settings differ.
    const char* const variable = options.generation == 1 ? "ORLAN_TARNLINK_PORTS_GEN1" : "ORLAN_TARNLINK_PORTS";
    std::cout << "Use it with:  " << variable << "=" << server.stablePath() << " drfn3 stream\n"
              << "Ctrl-C stops the simulator." << std::endl;

    installStopHandlers();
    const auto start = std::chrono::steady_clock::now();
    bool hungUp = false;
    while (!stopRequested())
    {
        if (options.seconds > 0 &&
            std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(options.seconds))
            break;
        if (!server.running())
        {
            hungUp = true;
            break;
        }
        if (!options.untilFile.empty() && ::access(options.untilFile.c_str(), F_OK) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    server.stop();

    auto guard = sim.lock();
    if (!options.frames.empty()) writeFrames(sim, options.frames);
    std::cout << "Controller on channel " << channelText(sim.controller().channelCode());
    for (Pod* pod : sim.pods())
        std::cout << ", pod " << hex(pod->serial()) << " on channel " << channelText(pod->channelCode());
    std::cout << '\n';
    if (hungUp)
    {
        std::cerr << "drfn3: the simulated controller disappeared\n";
        return ExitFailure;
    }
    return ExitOk;
}

int runDemo(Settings settings, const StreamOptions& options)
{
    Simulator sim(Generation::Second);
    const char* const pods = "A10001,A10002,A10003";
    for (unsigned serial : parseSerials(pods)) sim.addPod(serial);
    PtyServer server(sim);
    server.start();
    pointDiscoveryAt(server.stablePath());
    std::cout << "Demo: simulated generation 2 controller with " << podList(sim) << "\n"
              << "      on " << server.stablePath() << ", found through ORLAN_TARNLINK_PORTS\n";

    // The demo neither uses nor changes the saved settings of real pods.
    settings.ephemeral = true;
    if (!settings.podsGiven)
    {
        settings.pods = pods;
        settings.podsGiven = true;
    }
    if (settings.frequency < 0) settings.frequency = 100;
    const int result = runStream(settings, options);
    server.stop();
    return result;
}

} // namespace Drfn3
