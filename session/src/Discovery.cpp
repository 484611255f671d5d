#include "Drfn3/Discovery.h"

#include "Drfn3/Settings.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/ControllerFactory.h>
#include <Tarnlink/Protocol.h>
#include <Tarnlink/ReadRegisterCommand.h>
#include <Tarnlink/RegisterMap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

namespace Drfn3 {

namespace fs = std::filesystem;

namespace {

const char* const PERMISSION_FIX =
    " (fix: install the udev rules shipped with drfn3 and add yourself to the plugdev group,"
    " or to dialout for a plain serial port: sudo usermod -aG plugdev $USER, then log in again)";

std::string portOf(const Tarnlink::ControllerFactory& factory)
{
    Poco::Any port = factory.getProperty("PortName");
    return port.empty() ? std::string() : Poco::AnyCast<std::string>(port);
}

std::string whereOf(const Tarnlink::ControllerFactory& factory)
{
    Poco::Any port = factory.getProperty("PortName");
    if (port.empty()) return factory.getIdentifier();
    const std::string path = Poco::AnyCast<std::string>(port);
    const std::string serial = factory.getGeneration() == 1 ? factory.getIdentifier() : std::string();
    return serial.empty() ? path : path + " (" + serial + ")";
}

/// Why a device could not be opened, in words a user can act on.
std::string openFailure(const Poco::Exception& error)
{
    const std::string text = error.message().empty() ? error.displayText() : error.message();
    if (dynamic_cast<const Poco::FileAccessDeniedException*>(&error))
        return "permission denied" + (text == std::strerror(EACCES) ? std::string() : ": " + text) + PERMISSION_FIX;
    if (text == std::strerror(EBUSY)) return "in use by another program: " + text;
    return "cannot be opened: " + text;
}

std::string identify(Tarnlink::Controller& controller, std::string& identity)
{
    unsigned major = 0, minor = 0;
    controller.getVersion(major, minor);
    const unsigned hardware = controller.getHardwareCode();
    std::string text;
    if (hardware == 5)
    {
        char serial[16];
        std::snprintf(serial, sizeof serial, "%06X", controller.getSerialNumber() & 0xFFFFFF);
        text = "hardware 2.0 (ST), firmware " + std::to_string(major) + "." + std::to_string(minor) +
               ", serial number " + serial;
        identity = serial;
    }
    else if (hardware == 2)
        text = "hardware 1.0 (FTDI), firmware " + std::to_string(major) + "." + std::to_string(minor);
    else
        text = "hardware code " + std::to_string(hardware) + ", firmware " + std::to_string(major) + "." +
               std::to_string(minor);
    return text;
}

ControllerReport survey(const Tarnlink::ControllerFactory& factory)
{
    ControllerReport report;
    report.generation = factory.getGeneration();
    report.where = whereOf(factory);
    Poco::AutoPtr<Poco::DeviceIO::Channel> channel;
    try
    {
        channel = factory.createChannel();
    }
    catch (const Poco::Exception& error)
    {
        report.details = openFailure(error);
        return report;
    }
    try
    {
        Poco::AutoPtr<Tarnlink::Protocol> protocol(new Tarnlink::Protocol(channel.get()));
        // A name may lead to something else than a controller (a reused terminal): it is
        // asked for its version, a read, before anything is written to it.
        std::uint32_t version = 0;
        bool answered = false;
        for (int attempt = 0; attempt < 3 && !answered; ++attempt)
        {
            Tarnlink::ReadRegisterCommand read(Tarnlink::Command::frameMarker(), Tarnlink::Opcode::READ_FPGA_REG,
                                               Tarnlink::CtrlReg::VERSION, &version);
            answered = protocol->execute(read);
        }
        if (!answered)
        {
            report.details = "opened, but it does not answer as a controller";
            return report;
        }
        std::unique_ptr<Tarnlink::Controller> controller(factory.createController(protocol.get()));
        report.details = identify(*controller, report.identity);
        if (report.generation == 1) report.identity = factory.getIdentifier();
        report.usable = true;
    }
    catch (const Poco::Exception& error)
    {
        report.details = "opened, but it does not answer: " + error.displayText();
    }
    return report;
}

} // namespace

std::vector<ControllerReport> surveyControllers()
{
    Tarnlink::ControllerEnum controllers(false);
    std::vector<ControllerReport> reports;
    for (std::size_t i = 0; i < controllers.count(); ++i)
    {
        Poco::AutoPtr<Tarnlink::ControllerFactory> factory = controllers.get(i);
        if (factory) reports.push_back(survey(*factory));
    }
    return reports;
}

ControllerReport probeFirstController()
{
    Tarnlink::ControllerEnum controllers(true);
    if (controllers.count() == 0) return ControllerReport();
    Poco::AutoPtr<Tarnlink::ControllerFactory> factory = controllers.get(0);
    return factory ? survey(*factory) : ControllerReport();
}

ControllerReport probeController(const std::string& where)
{
    if (where.empty()) return probeFirstController();
    Tarnlink::ControllerEnum controllers(true);
    for (std::size_t i = 0; i < controllers.count(); ++i)
    {
        Poco::AutoPtr<Tarnlink::ControllerFactory> factory = controllers.get(i);
        if (!factory || factory->getIdentifier() != where)
        {
            const std::string port = portOf(*factory);
            std::error_code error;
            if (port.empty() || (port != where && !(fs::equivalent(port, where, error) && !error))) continue;
        }
        return survey(*factory);
    }
    return ControllerReport();
}

std::vector<std::string> availableControllers()
{
    Tarnlink::ControllerEnum controllers(true);
    std::vector<std::string> found;
    for (std::size_t i = 0; i < controllers.count(); ++i)
    {
        Poco::AutoPtr<Tarnlink::ControllerFactory> factory = controllers.get(i);
        if (!factory) continue;
        const std::string port = portOf(*factory);
        found.push_back(port.empty() ? factory->getIdentifier() : port);
    }
    return found;
}

std::string describeUnusablePorts()
{
    std::string text;
    for (const ControllerReport& report : surveyControllers())
        if (!report.usable) text += "\n  " + report.where + ": " + report.details;
    return text.empty() ? text : "\nCandidate controllers that could not be used:" + text;
}

} // namespace Drfn3
