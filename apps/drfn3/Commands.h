#ifndef Drfn3_Commands_INCLUDED
#define Drfn3_Commands_INCLUDED

#include "Common.h"
#include "Stream.h"

#include <Drfn3/MultiSession.h>

#include <string>

namespace Drfn3 {

int runStream(const Settings& settings, const StreamOptions& options);
/// Streams the pods of several controllers on one time base (see Drfn3::MultiSession). One
/// entry without a place: its pods are looked for on every controller present.
StreamResult streamSeveral(const Settings& common, std::vector<ControllerPods> controllers,
                           const StreamOptions& options);
int runStreamSeveral(const Settings& common, const std::vector<ControllerPods>& controllers,
                     const StreamOptions& options);
int runControllers();
int runPair(const Settings& settings);
int runSwitchOff(const Settings& settings);
int runAutoChannel(const Settings& settings);
/// Reads every register of the known pods and prints what they answered.
int runScan(Settings settings);
int runSettings(const Settings& settings);

/// read: prints the pods' calibration (or writes it to output). write: commits the matrices
/// of file. reset: restores one pod's from its manufacturing copy. copy: makes every pod's
/// current calibration its manufacturing copy.
int runCalibRead(const Settings& settings, const std::string& output);
int runCalibWrite(const Settings& settings, const std::string& file);
int runCalibReset(const Settings& settings, const std::string& pod);
int runCalibCopy(const Settings& settings);

struct FirmwareOptions
{
    bool upgrade = false;
    bool rescue = false;
    std::string pod;
    bool controller = false;
    std::string file;
    /// Write a pod file that covers the pod's calibration or boot flag instead of refusing it.
    bool allowCalibrationOverwrite = false;
};

/// Verifies or writes the firmware of one pod or of the (generation 2) controller, with a
/// progress bar; exit 1 when the words do not match. rescue: brings a pod that an interrupted
/// upgrade left on another radio channel back to channel 0; exit 1 when it answers nowhere.
int runFirmware(const Settings& settings, const FirmwareOptions& options);

struct SimOptions
{
    unsigned generation = 2;
    std::string pods = "A10001,A10002,A10003";
    std::string pairingPod;
    double rate = 0;
    double corrupt = 0;
    double drop = 0;
    double garbage = 0;
    std::vector<unsigned> busyChannels;
    std::uint32_t seed = 1;
    double seconds = 0;
    /// Motion scripts by name (Tarnlink::Sim::MotionScript::named): one for every pod, or one
    /// per pod of `pods` in order; none keeps the default.
    std::vector<std::string> motions;
    /// Several controllers (0: the one of `pods`), each with podsPerController pods of its own
    /// numbered as Tarnlink::Sim::Rack::serialOf, on one clock and radio space.
    unsigned controllers = 0;
    unsigned podsPerController = 3;
    /// Where the link to the pseudo-terminal goes; empty picks the server's default.
    std::string link;
    /// Stop once this file exists; empty: never.
    std::string untilFile;
    /// Where every data frame sent is written when the simulator stops; empty writes none.
    std::string frames;
};

/// The simulator on a pseudo-terminal until stopped.
int runSim(const SimOptions& options);
/// Simulator in-process, discovery pointed at its pseudo-terminal, then stream; with
/// controllers > 1, that many simulated controllers of three pods each, streamed together.
int runDemo(Settings settings, const StreamOptions& options, unsigned controllers = 1);

int runPlot(const std::string& csv, const std::string& image);

} // namespace Drfn3

#endif
