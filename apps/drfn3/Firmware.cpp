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

int podFirmware(const Settings& settings, const FirmwareOptions& options, const std::string& file)
{
    const std::vector<unsigned> serials = parseSerials(options.pod);
    if (serials.size() != 1) throw UsageError("--pod takes one serial");
    const std::string what = "pod " + hex(serials[0]);
    OpenController open;
    Tarnlink::Driftnode3 pod(open.controller.get(), serials[0]);
    if (!pod.isReachable(true))
        throw Poco::IOException("The " + what + " does not answer: is it switched on and near the controller?");
    // Where the search for a free channel starts: --channel, else the first searched channel.
    const unsigned start = settings.channel > 0 ? static_cast<unsigned>(settings.channel) : 1;
    Tarnlink::DriftnodeEEPROM& eeprom = pod.getEEPROM();
    const bool ok = withProgress(options, what, file, [&] {
        return options.upgrade ? eeprom.upgradeFirmware(start, file) : eeprom.verifyFirmware(start, file);
    });
    return result(options, what, file, ok, " The pod is switched off: switch it on to run the new firmware.",
                  " The pod waits in its protected area on channel 0: run the upgrade again.",
                  " The pod is switched off.");
}

} // namespace

int runFirmware(const Settings& settings, const FirmwareOptions& options)
{
    if (options.pod.empty() == !options.controller) throw UsageError("Give either --pod SERIAL or --controller");
    const std::string file = Poco::Path(options.file).absolute().toString();
    // The library would name the missing path only.
    if (!Poco::File(file + ".md5").exists())
        throw Poco::FileNotFoundException(file + ".md5 is missing: a firmware file comes with its signature");
    return options.controller ? controllerFirmware(options, file) : podFirmware(settings, options, file);
}

} // namespace Drfn3
