// drfn3: the command-line host of the DRFN3Internal module.
#include "Commands.h"
#include "Common.h"
#if defined(DRFN3_WITH_VIEW)
#include "View.h"
#endif
#include "Dds.h"

#include <CLI/CLI.hpp>
#include <Poco/Exception.h>
#include <Tarnlink/Interrupt.h>
#if defined(DRFN3_WITH_SIM)
#include <Tarnlink/Sim/Motion.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>

using namespace Drfn3;

namespace {

#if defined(DRFN3_WITH_SIM)
std::string checkMotion(const std::string& name)
{
    try
    {
        Tarnlink::Sim::MotionScript::named(name, 0, 1);
        return {};
    }
    catch (const Poco::Exception& error)
    {
        return error.message();
    }
}
#endif

std::string checkSerials(const std::string& text)
{
    try
    {
        parseSerials(text);
        return {};
    }
    catch (const UsageError& error)
    {
        return error.what();
    }
}

/// A duration in seconds, said in words a person reads (CLI11's own range check prints the
/// largest double).
const CLI::Validator SECONDS(
    [](std::string& text) -> std::string {
        double value = 0;
        try
        {
            std::size_t used = 0;
            value = std::stod(text, &used);
            if (used != text.size()) return "'" + text + "' is not a number of seconds";
        }
        catch (const std::exception&)
        {
            return "'" + text + "' is not a number of seconds";
        }
        if (!(value >= 0) || !std::isfinite(value)) return "seconds must be 0 or more, not " + text;
        return std::string();
    },
    "SECONDS");

/// A gain per second: a number above 0.
const CLI::Validator GAIN(
    [](std::string& text) -> std::string {
        double value = 0;
        std::size_t used = 0;
        try
        {
            value = std::stod(text, &used);
        }
        catch (const std::exception&)
        {
        }
        if (used == 0 || used != text.size() || !(value > 0) || !std::isfinite(value))
            return "the gain is a number above 0 (per second), not " + text;
        return std::string();
    },
    "GAIN");

void addStreamOptions(CLI::App& command, StreamOptions& options, const char* secondsHelp)
{
    command.add_option("--seconds", options.seconds, secondsHelp)->check(SECONDS);
    command.add_option("--csv", options.csv, "Write every sample to this CSV file ('-': standard output)");
    command.add_option("--jsonl", options.jsonl,
                       "Write every sample to this file as one JSON object per line ('-': standard output)");
    command.add_flag("--raw", options.raw, "Sensor values in the pods' raw counts instead of m/s^2, uT and rad/s");
    command.add_flag("--utc", options.utc, "Add each sample's UTC time (utc_s, seconds since 1970) to CSV and JSON");
    CLI::Option* orientation = command.add_flag(
        "--orientation", options.orientation,
        "Each pod's orientation, worked out here from its calibrated samples (with --raw too): roll, pitch, yaw "
        "(degrees) and the quaternion in the table, CSV and JSON");
    command
        .add_option("--orientation-gain", options.orientationSettings.gain,
                    "How strongly the accelerometer and magnetometer pull the orientation, per second (default 2)")
        ->check(GAIN)
        ->needs(orientation);
    command
        .add_flag_callback(
            "--six-axis", [&options] { options.orientationSettings.magnetometer = false; },
            "Orientation without the magnetometer: the heading from the gyroscope alone, drifting (for disturbed "
            "fields)")
        ->needs(orientation);
}

/// What stream and view take beyond the stream options: the controllers to stream from.
void addControllerOptions(CLI::App& command, StreamOptions& options, std::string& controllerHelp, bool& everyController)
{
    command.add_flag("--reconnect", options.reconnect,
                     "When the controller is lost, wait for it and stream again instead of exiting");
    // Taken out of the words before parsing (takeControllerGroups): listed here for --help.
    command.add_option("--controller", controllerHelp,
                       "A controller (port or identifier) and the --pods that follow it; repeated, several "
                       "controllers stream together on one time base");
    command.add_flag("--every-controller", everyController,
                     "Look for each pod of --pods on every controller present and stream them all together");
}

#if defined(DRFN3_WITH_VIEW)
/// needs: the flag these options go with, if any.
void addViewOptions(CLI::App& command, ViewOptions& options, CLI::Option* needs = nullptr)
{
    for (CLI::Option* option :
         {command.add_option("--listen", options.listen,
                             "Address the live view listens on (default 127.0.0.1: this machine only)"),
          command.add_option("--port", options.port, "Port of the live view (default: a free one)")
              ->check(CLI::Range(0, 65535)),
          command.add_flag("--open", options.open, "Open the live view in the desktop's browser")})
        if (needs) option->needs(needs);
}
#endif

std::size_t editDistance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
    {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j)
        {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

/// Subcommands this build lacks, and why.
const std::map<std::string, std::string> ABSENT = {
#if !defined(DRFN3_WITH_PLOT)
    {"plot", "drfn3 was built without PLplot"},
#endif
#if !defined(DRFN3_WITH_VIEW)
    {"view", "drfn3 was built without POCO's Net"},
#endif
#if !defined(DRFN3_WITH_SIM)
    {"demo", "the simulator's pseudo-terminal needs Linux"},
    {"sim", "the simulator's pseudo-terminal needs Linux"},
#endif
};

/// The first word that should name a subcommand and does not, with a suggestion; empty
/// when the words are fine (CLI11 then says what else is wrong).
std::string unknownSubcommand(CLI::App& app, int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string word = argv[i];
        if (word == "--") return std::string();
        if (word.size() > 1 && word[0] == '-')
        {
            if (word.find('=') != std::string::npos) continue;
            const CLI::Option* option = app.get_option_no_throw(word);
            if (option && option->get_items_expected_min() > 0) ++i;
            continue;
        }
        const auto absent = ABSENT.find(word);
        if (absent != ABSENT.end()) return "'" + word + "' is not in this build of drfn3: " + absent->second;
        std::string best;
        std::size_t bestDistance = std::string::npos;
        std::string all;
        for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; }))
        {
            if (command->check_name(word)) return std::string();
            const std::size_t d = editDistance(word, command->get_name());
            if (d < bestDistance)
            {
                bestDistance = d;
                best = command->get_name();
            }
            all += (all.empty() ? "" : ", ") + command->get_name();
        }
        std::string text = "'" + word + "' is not a drfn3 subcommand";
        if (bestDistance <= std::max<std::size_t>(2, word.size() / 3)) text += "; did you mean '" + best + "'?";
        return text + "\nSubcommands: " + all;
    }
    return std::string();
}

/// The "--controller WHERE [--pods SERIALS]" groups given to stream or view, removed from words.
std::vector<ControllerPods> takeControllerGroups(CLI::App& app, std::vector<std::string>& words)
{
    std::size_t i = 1;
    // Up to the subcommand, skipping the values of options before it.
    for (; i < words.size(); ++i)
    {
        const std::string& word = words[i];
        if (word == "--") return {};
        if (word.size() > 1 && word[0] == '-')
        {
            if (word.find('=') != std::string::npos) continue;
            const CLI::Option* option = app.get_option_no_throw(word);
            if (option && option->get_items_expected_min() > 0) ++i;
            continue;
        }
        break;
    }
    if (i >= words.size() || (words[i] != "stream" && words[i] != "view")) return {};
    std::vector<ControllerPods> groups;
    std::vector<std::string> kept(words.begin(), words.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    auto value = [&](std::size_t& at, const std::string& name) {
        const std::string& word = words[at];
        if (word.size() > name.size() && word[name.size()] == '=') return word.substr(name.size() + 1);
        if (at + 1 >= words.size()) throw UsageError(name + " needs a value");
        return words[++at];
    };
    auto is = [](const std::string& word, const std::string& name) {
        return word == name || word.rfind(name + "=", 0) == 0;
    };
    for (++i; i < words.size(); ++i)
    {
        if (words[i] == "--")
        {
            kept.insert(kept.end(), words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
            break;
        }
        if (is(words[i], "--controller"))
        {
            groups.push_back(ControllerPods{value(i, "--controller"), {}});
            if (groups.back().where.empty()) throw UsageError("--controller needs a port or an identifier");
        }
        else if (!groups.empty() && is(words[i], "--pods"))
        {
            if (!groups.back().pods.empty())
                throw UsageError("--controller " + groups.back().where + " has two --pods");
            groups.back().pods = parseSerials(value(i, "--pods"));
        }
        else
            kept.push_back(words[i]);
    }
    for (const ControllerPods& group : groups)
        if (group.pods.empty()) throw UsageError("--controller " + group.where + " needs its --pods after it");
    words = kept;
    return groups;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"drfn3 streams and configures Driftnode3 motion pods through their USB radio controller.\n"
                 "Settings (pods, rates, modes) are saved and reused; options given override them and are saved."};
    app.require_subcommand(1);
    app.fallthrough();
    app.set_help_all_flag("--help-all", "Every subcommand's help");

    Settings settings;
    app.add_option("--pods", settings.pods, "Pod serials in hexadecimal, separated by commas: A10001,A10002")
        ->check(CLI::Validator(checkSerials, "SERIALS"));
    app.add_option("--frequency", settings.frequency, "Sampling frequency in Hz (25-200)")->check(CLI::Range(25, 200));
    app.add_option("--channel", settings.channel, "Radio channel where quiet-channel searches start (1-21)")
        ->check(CLI::Range(1, 21));
    const std::map<std::string, int> accModes{{"2g", 0}, {"4g", 1}, {"8g", 2}};
    app.add_option("--acc-mode", settings.accMode, "Accelerometer range: 2g, 4g or 8g")
        ->transform(CLI::CheckedTransformer(accModes, CLI::ignore_case))
        ->option_text("2g|4g|8g");
    const std::map<std::string, int> magModes{{"0.88Ga", 0}, {"1.30Ga", 1}, {"1.90Ga", 2}, {"2.50Ga", 3},
                                              {"4.00Ga", 4}, {"4.70Ga", 5}, {"5.60Ga", 6}, {"8.10Ga", 7}};
    app.add_option("--mag-mode", settings.magMode,
                   "Magnetometer range: 0.88Ga, 1.30Ga, 1.90Ga, 2.50Ga, 4.00Ga, 4.70Ga, 5.60Ga or 8.10Ga")
        ->transform(CLI::CheckedTransformer(magModes, CLI::ignore_case))
        ->option_text("0.88Ga|...|8.10Ga");
    app.add_flag("--gyro,!--no-gyro", settings.gyro, "Switch the gyroscope on or off");
    app.add_option("--log", settings.log, "Write the controller traffic of this run to FILE");
    app.add_option("--module", settings.module, "The DRFN3Internal module to load (default: found next to drfn3)");
    app.add_option("--config", settings.config, "Settings file (default: $XDG_CONFIG_HOME/drfn3/settings.properties)");

#if defined(DRFN3_WITH_SIM)
    StreamOptions demoOptions;
    demoOptions.seconds = 10;
    CLI::App* demo =
        app.add_subcommand("demo", "Stream from a simulated controller and three pods (100 Hz) served on a "
                                   "pseudo-terminal, through the real discovery and serial port; with --orientation "
                                   "the pods make quarter turns, spin and roll");
    addStreamOptions(*demo, demoOptions, "How long to stream (default 10)");
    unsigned demoControllers = 1;
    demo->add_option("--controllers", demoControllers,
                     "Simulated controllers of three pods each, streamed together on one time base")
        ->check(CLI::Range(1u, 8u));
#if defined(DRFN3_WITH_VIEW)
    bool demoView = false;
    ViewOptions demoViewOptions;
    addViewOptions(*demo, demoViewOptions,
                   demo->add_flag("--view", demoView, "Show the pods live in a browser page too (see 'view')"));
#endif
    addDdsOptions(*demo, demoOptions);
#endif

    StreamOptions streamOptions;
    CLI::App* streamCommand = app.add_subcommand(
        "stream", "Stream from the pods: a live table on a terminal, a status line a second otherwise");
    addStreamOptions(*streamCommand, streamOptions, "How long to stream (default: until Ctrl-C)");
    std::string controllerHelp;
    bool everyController = false;
    addControllerOptions(*streamCommand, streamOptions, controllerHelp, everyController);
    addDdsOptions(*streamCommand, streamOptions);

#if defined(DRFN3_WITH_VIEW)
    StreamOptions viewStreamOptions;
    ViewOptions viewOptions;
    CLI::App* view = app.add_subcommand(
        "view", "Stream as 'stream' does and show every pod live in a browser page that drfn3 serves: the "
                "address it prints holds a token, needed to see the stream");
    addStreamOptions(*view, viewStreamOptions, "How long to stream (default: until Ctrl-C)");
    bool viewEveryController = false;
    addControllerOptions(*view, viewStreamOptions, controllerHelp, viewEveryController);
    addViewOptions(*view, viewOptions);
    addDdsOptions(*view, viewStreamOptions);
#endif

    RecordOptions recordOptions;
    CLI::App* record = app.add_subcommand(
        "record", "Write the samples a 'drfn3 stream --dds' publishes, here or on another computer, to CSV as "
                  "'stream --csv' does; stops at the session's end");
    record->add_flag("--dds", recordOptions.dds, "Take them from DDS (needed)");
    record->add_option("--dds-domain", recordOptions.ddsDomain, "DDS domain to listen in (0-232, default 0)")
        ->check(CLI::Range(0u, 232u));
    record->add_option("--csv", recordOptions.csv, "CSV file to write ('-': standard output)");
    record->add_option("--seconds", recordOptions.seconds, "Seconds of samples to keep (default: until the end)")
        ->check(SECONDS);

    CLI::App* controllers = app.add_subcommand(
        "controllers", "List the controllers found, and the ones that cannot be opened with the reason");
    CLI::App* pair = app.add_subcommand("pair", "Add the pod that is in pairing mode to the known pods (waits 5 s)");
    CLI::App* switchOff = app.add_subcommand("switch-off", "Switch every known pod off");
    CLI::App* autoChannel = app.add_subcommand("auto-channel", "Search a quiet radio channel and keep it");
    CLI::App* scan = app.add_subcommand("scan", "Read every register of the known pods");
    CLI::App* show = app.add_subcommand("settings", "Show the settings in effect and where they are saved");

    CLI::App* calib = app.add_subcommand("calib", "Read, write, restore or back up the pods' calibration");
    calib->require_subcommand(1);
    std::string calibOutput, calibFile, calibPod;
    CLI::App* calibRead = calib->add_subcommand("read", "Print the calibration matrices of the known pods");
    calibRead->add_option("-o,--output", calibOutput, "Write them to this file instead");
    CLI::App* calibWrite =
        calib->add_subcommand("write", "Commit gain and offset matrices from FILE (the format 'calib read' prints)");
    calibWrite->add_option("FILE", calibFile, "Calibration file")->required()->check(CLI::ExistingFile);
    CLI::App* calibReset = calib->add_subcommand("reset", "Restore one pod's calibration from its manufacturing copy");
    calibReset->add_option("--pod", calibPod, "The pod (needed when several are known)");
    CLI::App* calibCopy =
        calib->add_subcommand("copy", "Make every known pod's current calibration its manufacturing copy");

    CLI::App* firmware = app.add_subcommand(
        "firmware", "Check or write the firmware of a pod or of a generation 2 controller, or rescue a pod");
    firmware->require_subcommand(1);
    FirmwareOptions firmwareOptions;
    for (const bool upgrade : {false, true})
    {
        CLI::App* command = firmware->add_subcommand(
            upgrade ? "upgrade" : "verify",
            upgrade ? "Write FILE into the device's program memory, then check it"
                    : "Compare the device's program memory with FILE (differences go to check_diff_firmware.txt)");
        command->callback([&firmwareOptions, upgrade] { firmwareOptions.upgrade = upgrade; });
        CLI::Option* pod = command->add_option("--pod", firmwareOptions.pod, "The pod, by serial")
                               ->check(CLI::Validator(checkSerials, "SERIAL"));
        CLI::Option* controller =
            command->add_flag("--controller", firmwareOptions.controller, "The controller itself")->excludes(pod);
        if (upgrade)
            command
                ->add_flag("--allow-calibration-overwrite", firmwareOptions.allowCalibrationOverwrite,
                           "Write a pod FILE even where it covers the pod's calibration or boot flag")
                ->excludes(controller);
        command->add_option("FILE", firmwareOptions.file, "Intel HEX file, signed by FILE.md5")
            ->required()
            ->check(CLI::ExistingFile);
    }
    CLI::App* firmwareRescue = firmware->add_subcommand(
        "rescue", "Bring a pod that an interrupted upgrade left on another radio channel back to channel 0");
    firmwareRescue->callback([&firmwareOptions] { firmwareOptions.rescue = true; });
    firmwareRescue->add_option("--pod", firmwareOptions.pod, "The pod, by serial")
        ->required()
        ->check(CLI::Validator(checkSerials, "SERIAL"));

#if defined(DRFN3_WITH_SIM)
    SimOptions simOptions;
    CLI::App* sim = app.add_subcommand("sim", "Run the device simulator on a pseudo-terminal until Ctrl-C");
    sim->add_option("--generation", simOptions.generation, "Controller generation, 1 or 2")
        ->check(CLI::IsMember({1u, 2u}))
        ->capture_default_str();
    sim->add_option("--sim-pods", simOptions.pods, "Simulated pods' serials")
        ->check(CLI::Validator(checkSerials, "SERIALS"))
        ->capture_default_str();
    sim->add_option("--pairing-pod", simOptions.pairingPod, "One more pod, in pairing mode")
        ->check(CLI::Validator(checkSerials, "SERIAL"));
    sim->add_option("--rate", simOptions.rate, "Frames per second per pod instead of the controller's period")
        ->check(CLI::NonNegativeNumber);
    sim->add_option("--corrupt", simOptions.corrupt, "Probability that a message has a corrupted byte")
        ->check(CLI::Range(0.0, 1.0));
    sim->add_option("--drop", simOptions.drop, "Probability that a message loses a byte")->check(CLI::Range(0.0, 1.0));
    sim->add_option("--garbage", simOptions.garbage, "Probability of garbage before a message")
        ->check(CLI::Range(0.0, 1.0));
    sim->add_option("--busy-channel", simOptions.busyChannels, "Radio channel index (0-31) with noise on it")
        ->check(CLI::Range(0u, 31u));
    sim->add_option("--motion", simOptions.motions,
                    "How the pods move: one name for all, or one per pod (wobble, rest, spin, turns, random, each "
                    "optionally with +bursts and +magnetic; default wobble)")
        ->delimiter(',')
        ->check(CLI::Validator(checkMotion, "NAME"));
    sim->add_option("--seed", simOptions.seed, "Seed of the simulated noise and motion")->capture_default_str();
    sim->add_option("--seconds", simOptions.seconds, "Stop after this long (default: at Ctrl-C)")->check(SECONDS);
    CLI::Option* simControllers =
        sim->add_option("--controllers", simOptions.controllers,
                        "Several controllers on one radio space, one pseudo-terminal each (pods A10001 up on the "
                        "first, A10101 up on the second, ...)")
            ->check(CLI::Range(1u, 16u))
            ->excludes(sim->get_option("--sim-pods"));
    sim->add_option("--pods-per-controller", simOptions.podsPerController, "Pods of each controller of --controllers")
        ->check(CLI::Range(0u, 16u))
        ->needs(simControllers)
        ->capture_default_str();
    sim->add_option("--link", simOptions.link,
                    "Path of the link to the pseudo-terminal (default: one under $XDG_RUNTIME_DIR or /tmp); "
                    "a Wine prefix's dosdevices/com5 makes it COM5 for Windows programs")
        ->type_name("PATH");
    sim->add_option("--until-file", simOptions.untilFile,
                    "Stop once FILE exists (for a parent that cannot send signals, such as a Windows program "
                    "under Wine)")
        ->type_name("FILE");
    sim->add_option("--frames", simOptions.frames,
                    "When stopping, write every data frame sent to FILE: pod, frame number, bytes in hexadecimal")
        ->type_name("FILE");
#endif

#if defined(DRFN3_WITH_PLOT)
    std::string plotCsv, plotImage;
    CLI::App* plot = app.add_subcommand("plot", "Plot a CSV of 'stream --csv': accelerometer, magnetometer, gyroscope");
    plot->add_option("CSV", plotCsv, "CSV file written by stream --csv")->required()->check(CLI::ExistingFile);
    plot->add_option("-o,--output", plotImage, "Image to write, .png or .svg")->required();
#endif
    if (!ABSENT.empty())
    {
        std::string footer = "Not in this build:";
        for (const auto& [name, reason] : ABSENT) footer += "\n  " + name + ": " + reason;
        app.footer(footer);
    }

    std::vector<std::string> words(argv, argv + argc);
    std::vector<ControllerPods> groups;
    try
    {
        groups = takeControllerGroups(app, words);
    }
    catch (const UsageError& error)
    {
        std::cerr << "drfn3: " << error.what() << "\nRun with --help for more information.\n";
        return ExitUsage;
    }
    std::vector<char*> kept;
    for (std::string& word : words) kept.push_back(&word[0]);
    argc = static_cast<int>(kept.size());
    argv = kept.data();
    const std::string unknown = unknownSubcommand(app, argc, argv);
    if (!unknown.empty())
    {
        std::cerr << "drfn3: " << unknown << "\nRun with --help for more information.\n";
        return ExitUsage;
    }
#if defined(SIGPIPE)
    // A closed pipe is an error on the write that finds it, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    try
    {
        app.parse(argc, argv);
    }
    catch (const CLI::ParseError& error)
    {
        const int code = app.exit(error);
        return code == 0 ? ExitOk : ExitUsage;
    }
    settings.podsGiven = app.count("--pods") > 0;

    // stream and view: from one controller, or from several together.
    auto streamer = [&](bool every) -> std::function<int(const StreamOptions&)> {
        if (!groups.empty())
        {
            if (settings.podsGiven) throw UsageError("--pods goes after the --controller it belongs to");
            return [&](const StreamOptions& options) { return runStreamSeveral(settings, groups, options); };
        }
        if (every)
        {
            if (!settings.podsGiven) throw UsageError("--every-controller looks for the pods of --pods: give them");
            return [&](const StreamOptions& options) {
                return runStreamSeveral(settings, {ControllerPods{"", parseSerials(settings.pods)}}, options);
            };
        }
        return [&](const StreamOptions& options) { return runStream(settings, options); };
    };

    auto run = [&]() -> int {
#if defined(DRFN3_WITH_SIM)
#if defined(DRFN3_WITH_VIEW)
        if (*demo && demoView)
            return runView(demoViewOptions, demoOptions,
                           [&](const StreamOptions& options) { return runDemo(settings, options, demoControllers); });
#endif
        if (*demo) return runDemo(settings, demoOptions, demoControllers);
#endif
        if (*streamCommand) return streamer(everyController)(streamOptions);
#if defined(DRFN3_WITH_VIEW)
        if (*view) return runView(viewOptions, viewStreamOptions, streamer(viewEveryController));
#endif
        if (*record) return runRecord(recordOptions);
        if (*controllers) return runControllers();
        if (*pair) return runPair(settings);
        if (*switchOff) return runSwitchOff(settings);
        if (*autoChannel) return runAutoChannel(settings);
        if (*scan) return runScan(settings);
        if (*show) return runSettings(settings);
        if (*calibRead) return runCalibRead(settings, calibOutput);
        if (*calibWrite) return runCalibWrite(settings, calibFile);
        if (*calibReset) return runCalibReset(settings, calibPod);
        if (*calibCopy) return runCalibCopy(settings);
        if (*firmware) return runFirmware(settings, firmwareOptions);
#if defined(DRFN3_WITH_SIM)
        if (*sim) return runSim(simOptions);
#endif
#if defined(DRFN3_WITH_PLOT)
        if (*plot) return runPlot(plotCsv, plotImage);
#endif
        return ExitUsage;
    };

    // Ctrl-C or SIGTERM stops long device work (a start, a calibration, a search) within half
    // a second; the filter's clean-up then puts pods and controller back on channel 0.
    installStopHandlers();
    Tarnlink::InterruptScope interrupt([] { return stopRequested(); });
    int code = ExitUsage;
    try
    {
        try
        {
            code = run();
        }
        catch (...)
        {
            if (!interrupt.tripped()) throw;
            std::cerr << "drfn3: interrupted\n";
            return ExitInterrupted;
        }
    }
    catch (const UsageError& error)
    {
        std::cerr << "drfn3: " << error.what() << "\nRun with --help for more information.\n";
        return ExitUsage;
    }
    catch (const Poco::Exception& error)
    {
        printError(std::cerr, error);
        return ExitFailure;
    }
    catch (const std::exception& error)
    {
        std::cerr << "drfn3: " << error.what() << '\n';
        return ExitFailure;
    }
    // What the command printed must have arrived: a full disk or a closed pipe is a failure.
    std::cout.flush();
    if (!std::cout)
    {
        std::cerr << "drfn3: standard output: " << std::strerror(errno != 0 ? errno : EIO) << '\n';
        return ExitFailure;
    }
    return code;
}
