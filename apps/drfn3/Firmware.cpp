#include "Commands.h"

#include <Drfn3/Discovery.h>
#include "ProgressBar.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/NumberFormatter.h>
#include <Poco/Path.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/Driftnode3.h>
#include <Tarnlink/FirmwareImage.h>
#include <Tarnlink/Protocol.h>

#include <functional>
#include <iostream>
#include <memory>

namespace Drfn3 {

namespace {

/// The first controller discovery finds, opened through the library: firmware work needs the
/// controller and pod objects themselves, which the filter keeps to itself. No filter exists in
/// this process, and another program holding the port makes the open fail with the reason.
struct OpenController
{
    OpenController()
    {
        Tarnlink::ControllerEnum controllers(true);
        if (controllers.count() == 0)
            throw Poco::NotFoundException("No Motion Controller available" + describeUnusablePorts());
        factory = controllers.get(0);
        if (factory.isNull()) throw Poco::NullPointerException("No Motion Controller available");
        channel = factory->createChannel();
        protocol = new Tarnlink::Protocol(channel.get());
        controller.reset(factory->createController(protocol.get()));
        // Pods that are not streaming wait on channel index 0.
        controller->setChannel(0);
    }

    Poco::AutoPtr<Tarnlink::ControllerFactory> factory;
    Poco::AutoPtr<Poco::DeviceIO::Channel> channel;
    Tarnlink::Protocol::Ptr protocol;
    std::unique_ptr<Tarnlink::Controller> controller;
};

std::string reportPath()
{
    return Poco::Path(Poco::Path::current(), "check_diff_firmware.txt").toString();
}

/// Runs the operation under a progress bar; its exceptions end the bar and go on.
bool withProgress(const FirmwareOptions& options, const std::string& what, const std::string& file,
                  const std::function<bool()>& operation)
{
    ProgressBar bar(options.upgrade ? "Writing " + file + " into " + what : "Checking " + what + " against " + file);
    bool ok = false;
    try
    {
        ok = operation();
    }
    catch (...)
    {
        bar.finish("failed");
        throw;
    }
    bar.finish(ok ? (options.upgrade ? "written and checked" : "same words")
                  : (options.upgrade ? "words did not verify" : "differences found"));
    return ok;
}

/// The result line, with where the device was left.
int result(const FirmwareOptions& options, const std::string& what, const std::string& file, bool ok,
           const std::string& afterUpgrade, const std::string& afterFailure, const std::string& afterVerify)
{
    if (options.upgrade && ok)
        std::cout << "Firmware of " << what << " upgraded from " << file << "." << afterUpgrade << '\n';
    else if (options.upgrade)
        std::cout << "Firmware upgrade of " << what << " FAILED: words did not verify." << afterFailure << '\n';
    else if (ok)
        std::cout << "Firmware of " << what << " matches " << file << "." << afterVerify << '\n';
    else
        std::cout << "Firmware of " << what << " DIFFERS from " << file << ": see " << reportPath() << "."
                  << afterVerify << '\n';
    return ok ? ExitOk : ExitFailure;
}

int controllerFirmware(const FirmwareOptions& options, const std::string& file)
{
    OpenController open;
    if (open.factory->getGeneration() != 2)
        throw Poco::NotImplementedException("Only generation 2 controllers take a firmware from drfn3");
    const std::string what = "controller " + Poco::NumberFormatter::formatHex(open.controller->getSerialNumber(), 6);
    Tarnlink::Controller& controller = *open.controller;
    const bool ok = withProgress(options, what, file, [&] {
        return options.upgrade ? controller.upgradeFirmware(file) : controller.verifyFirmware(file);
    });
    return result(options, what, file, ok, "", " Keep it plugged in and run the upgrade again.", "");
}

unsigned onePod(const FirmwareOptions& options)
{
    const std::vector<unsigned> serials = parseSerials(options.pod);
    if (serials.size() != 1) throw UsageError("--pod takes one serial");
    return serials[0];
}

/// Where the search for a free channel starts: --channel, else the first searched channel.
unsigned upgradeStartChannel(const Settings& settings)
{
    return settings.channel > 0 ? static_cast<unsigned>(settings.channel) : 1;
}

std::string addressRange(std::uint32_t first, std::uint32_t last)
{
    std::string text = "0x" + Poco::NumberFormatter::formatHex(first, 4);
    if (last != first) text += "-0x" + Poco::NumberFormatter::formatHex(last, 4);
    return text;
}

/// The library writes whatever the file holds; a pod's calibration exists nowhere else, so a
/// file that reaches it is refused before anything is sent.
void refuseReservedData(const std::string& file)
{
    typedef Tarnlink::Driftnode3EEPROM EEPROM;
    const Tarnlink::FirmwareImage image(file);
    const std::vector<EEPROM::ReservedData> reserved = EEPROM::reservedData(image);
    if (reserved.empty()) return;
    std::string where;
    bool calibration = false, bootFlag = false;
    for (std::size_t i = 0; i < reserved.size(); ++i)
    {
        const EEPROM::ReservedData& data = reserved[i];
        const bool flag = data.area == EEPROM::ReservedArea::BootFlag;
        if (flag)
            bootFlag = true;
        else
            calibration = true;
        if (i > 0) where += i + 1 == reserved.size() ? ", and " : ", ";
        where += "at " + addressRange(data.first, data.last) + (flag ? ", the pod's " : ", in the pod's ") +
                 EEPROM::reservedAreaName(data.area);
    }
    const std::string harm = calibration && bootFlag ? "destroy the pod's calibration and overwrite its boot flag"
                             : calibration           ? "destroy the pod's calibration"
                                                     : "overwrite the pod's boot flag";
    throw Poco::NoPermissionException(file + " has data " + where + ": writing it would " + harm +
                                      "; --allow-calibration-overwrite writes it anyway");
}

int podFirmware(const Settings& settings, const FirmwareOptions& options, const std::string& file)
{
    const unsigned serial = onePod(options);
    const std::string what = "pod " + hex(serial);
    OpenController open;
    Tarnlink::Driftnode3 pod(open.controller.get(), serial);
    if (!pod.isReachable(true))
        throw Poco::IOException("The " + what + " does not answer: is it switched on and near the controller?");
    const unsigned start = upgradeStartChannel(settings);
    Tarnlink::DriftnodeEEPROM& eeprom = pod.getEEPROM();
    const bool ok = withProgress(options, what, file, [&] {
        return options.upgrade ? eeprom.upgradeFirmware(start, file) : eeprom.verifyFirmware(start, file);
    });
    return result(options, what, file, ok, " The pod is switched off: switch it on to run the new firmware.",
                  " The pod waits in its protected area on channel 0: run the upgrade again.",
                  " The pod is switched off.");
}

int rescuePod(const Settings& settings, const FirmwareOptions& options)
{
    const unsigned serial = onePod(options);
    const std::string what = "pod " + hex(serial);
    OpenController open;
    Tarnlink::Driftnode3 pod(open.controller.get(), serial);
    unsigned tried = 0;
    const Tarnlink::Driftnode3EEPROM::Rescue found =
        pod.getEEPROM().rescue(upgradeStartChannel(settings), [&](unsigned channel) {
            std::cerr << "Looking for " << what << " on channel " << channel << " (" << ++tried << "/"
                      << Tarnlink::Controller::CHANNEL_COUNT << ")\n";
        });
    if (!found.found)
        throw Poco::NotFoundException("The " + what +
                                      " answers on no radio channel: is it switched on and near the controller?");
    std::cout << "The " << what
              << (found.channel == 0
                      ? " answers on channel 0 already"
                      : " answered on channel " + std::to_string(found.channel) + " and is back on channel 0")
              << (found.inProtectedArea ? ", in its protected area: run the upgrade again." : ".") << '\n';
    return ExitOk;
}

} // namespace

int runFirmware(const Settings& settings, const FirmwareOptions& options)
{
    if (options.rescue) return rescuePod(settings, options);
    if (options.pod.empty() == !options.controller) throw UsageError("Give either --pod SERIAL or --controller");
    const std::string file = Poco::Path(options.file).absolute().toString();
    // The library would name the missing path only.
    if (!Poco::File(file + ".md5").exists())
        throw Poco::FileNotFoundException(file + ".md5 is missing: a firmware file comes with its signature");
    if (options.upgrade && !options.controller && !options.allowCalibrationOverwrite) refuseReservedData(file);
    return options.controller ? controllerFirmware(options, file) : podFirmware(settings, options, file);
}

} // namespace Drfn3
