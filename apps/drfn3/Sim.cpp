#include "Commands.h"
#include "Dds.h"

#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/Sim/PtyServer.h>
#include <Tarnlink/Sim/Rack.h>
#include <Tarnlink/Sim/Simulator.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
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

/// Pods, faults and radio of one simulated controller as the options ask.
void setUp(Simulator& sim, const SimOptions& options, const std::vector<unsigned>& serials, bool withPairingPod)
{
    if (options.motions.size() > 1 && options.motions.size() != serials.size())
        throw UsageError(options.controllers > 0 ? "--motion takes one name, or one per pod of each controller"
                                                 : "--motion takes one name, or one per pod of --sim-pods");
    for (std::size_t i = 0; i < serials.size(); ++i)
    {
        Pod& pod = sim.addPod(serials[i]);
        if (!options.motions.empty())
            pod.setMotion(
                MotionScript::named(options.motions[options.motions.size() == 1 ? 0 : i], serials[i], options.seed));
    }
    if (withPairingPod && !options.pairingPod.empty())
    {
        const std::vector<unsigned> serials = parseSerials(options.pairingPod);
        if (serials.size() != 1) throw UsageError("--pairing-pod takes one serial");
        sim.addPod(serials[0]).setPairing(true);
    }
    auto guard = sim.lock();
    sim.faults().corruptByte = options.corrupt;
    sim.faults().dropByte = options.drop;
    sim.faults().garbage = options.garbage;
    for (unsigned channel : options.busyChannels) sim.setBusyChannel(channel);
    if (options.rate > 0) sim.setOfferedRate(options.rate);
}

void reportChannels(Simulator& sim)
{
    auto guard = sim.lock();
    std::cout << "Controller on channel " << channelText(sim.controller().channelCode());
    for (Pod* pod : sim.pods())
        std::cout << ", pod " << hex(pod->serial()) << " on channel " << channelText(pod->channelCode());
    std::cout << '\n';
}

/// Serves until the time is up or Ctrl-C; false when a controller disappeared.
bool serveUntilStopped(const std::vector<PtyServer*>& servers, double limit, const std::string& untilFile)
{
    installStopHandlers();
    const auto start = std::chrono::steady_clock::now();
    while (!stopRequested())
    {
        if (limit > 0 && std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(limit)) break;
        for (PtyServer* server : servers)
            if (!server->running()) return false;
        if (!untilFile.empty() && ::access(untilFile.c_str(), F_OK) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

int runRack(const SimOptions& options)
{
    const Generation generation = options.generation == 1 ? Generation::First : Generation::Second;
    Rack rack(options.seed);
    std::vector<std::unique_ptr<PtyServer>> servers;
    std::string paths;
    for (unsigned c = 0; c < options.controllers; ++c)
    {
        Simulator& sim = rack.add(generation);
        std::vector<unsigned> serials;
        for (unsigned i = 0; i < options.podsPerController; ++i) serials.push_back(Rack::serialOf(c, i));
        setUp(sim, options, serials, c == 0);
    }
    for (unsigned c = 0; c < options.controllers; ++c)
    {
        servers.push_back(std::make_unique<PtyServer>(rack[c]));
        servers.back()->start();
        std::cout << "Simulated generation " << options.generation << " controller " << c + 1 << " with "
                  << podList(rack[c]) << " on " << servers.back()->stablePath() << '\n';
        paths += (paths.empty() ? "" : ":") + servers.back()->stablePath();
    }
    const char* const variable = options.generation == 1 ? "ORLAN_TARNLINK_PORTS_GEN1" : "ORLAN_TARNLINK_PORTS";
    std::cout << "Use them with:  " << variable << "=" << paths << " drfn3 stream --every-controller --pods ...\n"
              << "Ctrl-C stops the simulator." << std::endl;

    std::vector<PtyServer*> running;
    for (auto& server : servers) running.push_back(server.get());
    const bool present = serveUntilStopped(running, options.seconds, options.untilFile);
    for (auto& server : servers) server->stop();
    for (unsigned c = 0; c < options.controllers; ++c) reportChannels(rack[c]);
    if (!present)
    {
        std::cerr << "drfn3: a simulated controller disappeared\n";
        return ExitFailure;
    }
    return ExitOk;
}

} // namespace

int runSim(const SimOptions& options)
{
    if (options.generation != 1 && options.generation != 2) throw UsageError("--generation must be 1 or 2");
    if (options.controllers > 0) return runRack(options);
    Simulator sim(options.generation == 1 ? Generation::First : Generation::Second, options.seed);
    setUp(sim, options, parseSerials(options.pods), true);

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

    const bool hungUp = !serveUntilStopped({&server}, options.seconds, options.untilFile);
    server.stop();
    if (!options.frames.empty())
    {
        auto guard = sim.lock();
        writeFrames(sim, options.frames);
    }
    reportChannels(sim);
    if (hungUp)
    {
        std::cerr << "drfn3: the simulated controller disappeared\n";
        return ExitFailure;
    }
    return ExitOk;
}

int runDemoSeveral(Settings settings, const StreamOptions& options, unsigned count)
{
    Rack rack;
    std::vector<std::unique_ptr<PtyServer>> servers;
    std::vector<ControllerPods> controllers;
    std::cout << "Demo: " << count << " simulated generation 2 controllers on one radio space\n";
    for (unsigned c = 0; c < count; ++c)
    {
        Simulator& sim = rack.add();
        ControllerPods entry;
        for (unsigned i = 0; i < 3; ++i) entry.pods.push_back(sim.addPod(Rack::serialOf(c, i)).serial());
        servers.push_back(std::make_unique<PtyServer>(sim));
        servers.back()->start();
        pointDiscoveryAt(servers.back()->stablePath());
        entry.where = servers.back()->stablePath();
        controllers.push_back(entry);
        std::cout << "      controller " << c + 1 << " with " << podList(sim) << " on " << entry.where << '\n';
    }
    std::cout << "      found through ORLAN_TARNLINK_PORTS\n";
    settings.ephemeral = true;
    if (settings.frequency < 0) settings.frequency = 100;
    const int result = runStreamSeveral(settings, controllers, options);
    for (auto& server : servers) server->stop();
    return result;
}

int runDemo(Settings settings, const StreamOptions& options, unsigned controllers)
{
    checkDds(options);
    if (controllers > 1) return runDemoSeveral(settings, options, controllers);
    Simulator sim(Generation::Second);
    const char* const pods = "A10001,A10002,A10003";
    // Motions whose angles a person can follow in the table: quarter turns, a steady spin, a slow roll.
    const char* const motions[3] = {"turns", "spin", "wobble"};
    std::string following;
    for (unsigned serial : parseSerials(pods))
    {
        Pod& pod = sim.addPod(serial);
        if (!options.orientation) continue;
        const char* motion = motions[sim.pods().size() - 1];
        pod.setMotion(MotionScript::named(motion, serial, sim.seed()));
        following += (following.empty() ? "" : ", ") + hex(serial) + " " + motion;
    }
    PtyServer server(sim);
    server.start();
    pointDiscoveryAt(server.stablePath());
    std::cout << "Demo: simulated generation 2 controller with " << podList(sim) << "\n"
              << "      on " << server.stablePath() << ", found through ORLAN_TARNLINK_PORTS\n";
    if (!following.empty()) std::cout << "      moving: " << following << "\n";

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
