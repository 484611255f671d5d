#include "DRFN3Internal/FilterDrfnCommon.h"

#include "DRFN3Internal/Cause.h"

#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Exception.h>
#include <Poco/NumberFormatter.h>
#include <Poco/String.h>
#include <Tarnlink/ControllerEnum.h>
#include <Tarnlink/Interrupt.h>
#include <Tarnlink/Log.h>

#include <filesystem>
#include <memory>
#include <system_error>

namespace DRFN3Internal {

using Quillmesh::Core::Synchronizer;

namespace {

/// The factory's port (by name, or as the same file: a link names it too) or identifier.
bool isController(const Tarnlink::ControllerFactory& factory, const std::string& where)
{
    if (factory.getIdentifier() == where) return true;
    const Poco::Any port = factory.getProperty("PortName");
    if (port.empty() || port.type() != typeid(std::string)) return false;
    const std::string& name = Poco::AnyCast<const std::string&>(port);
    if (name == where) return true;
    std::error_code error;
    return std::filesystem::equivalent(name, where, error) && !error;
}

} // namespace

FilterDrfnCommon::FilterDrfnCommon(const std::string& name)
    : Filter(name, true),
      connectionProperty("connection", &getPropertyBag()),
      transmissionProperty("transmission", &getPropertyBag()),
      serialProperty("serial", &getPropertyBag()),
      pairingProperty("pairing", &getPropertyBag()),
      controllerPortProperty("Ctrl Port", &getPropertyBag()),
      protocol(new Tarnlink::Protocol())
{
    connectionProperty.bind(this, &FilterDrfnCommon::onConnectionChanged);
    connectionProperty.setIsPersistent(false);
    connectionProperty.notifyAttributeChanged();

    transmissionProperty.bind(this, &FilterDrfnCommon::onTransmissionChanged);
    transmissionProperty.setIsPersistent(false);
    transmissionProperty.notifyAttributeChanged();

    {
        Synchronizer::DisablerLocker lock(&serialProperty.getSynchronizer());
        serialProperty.setUnlocked("");
    }
    serialProperty.bind(this, &FilterDrfnCommon::onSerialProperty);

    pairingProperty.bind(this, &FilterDrfnCommon::pair);

    controllerPortProperty.set("");
    controllerPortProperty.setIsPersistent(false);
    controllerPortProperty.notifyAttributeChanged();
    std::string* mirror = &controllerPort;
    controllerPortProperty.setHandler(new Quillmesh::Core::ValueProperty<std::string>::Handler(
        [mirror](const std::string& value) { *mirror = Poco::trim(value); }));
}

FilterDrfnCommon::~FilterDrfnCommon()
{
    // The derived parts are gone by now: without the hooks only the controller itself can go.
    releaseController();
}

void FilterDrfnCommon::shutdown() noexcept
{
    try
    {
        Synchronizer::DisablerLocker lock(&getSynchronizer());
        try
        {
            stopTransmission();
        }
        catch (...)
        {
        }
        try
        {
            closeController();
        }
        catch (...)
        {
        }
    }
    catch (...)
    {
    }
}

void FilterDrfnCommon::releaseController() noexcept
{
    if (!controller) return;
    try
    {
        delete controller;
    }
    catch (...)
    {
    }
    controller = nullptr;
    isolatedDriftnodes.clear();
    unconfirmedDriftnode = nullptr;
    try
    {
        protocol->setChannel(nullptr);
        protocol->setLogger(nullptr);
        Tarnlink::destroyLogger();
    }
    catch (...)
    {
    }
}

//
// Hooks with a body here
//

bool FilterDrfnCommon::hasController() const
{
    return controller != nullptr;
}

Tarnlink::Controller* FilterDrfnCommon::getController()
{
    return controller;
}

Tarnlink::Controller* FilterDrfnCommon::getController() const
{
    return controller;
}

void FilterDrfnCommon::configureDriftnode(unsigned) {}

void FilterDrfnCommon::updateProperties()
{
    const bool connected = controller != nullptr;
    const bool transmitting =
        connected && !controllerFault && controller->getState() == Tarnlink::Controller::Transmission;
    updatePropertyAccess(connected, transmitting, networkSerials.empty());
}

void FilterDrfnCommon::updatePropertyAccess(bool connected, bool transmitting, bool networkEmpty)
{
    transmissionProperty.setIsWritable(connected && !networkEmpty);
    transmissionProperty.notifyAttributeChanged();
    pairingProperty.setIsWritable(connected && !transmitting);
    serialProperty.setIsWritable(!transmitting);
    serialProperty.notifyAttributeChanged();
    controllerPortProperty.setIsWritable(!connected);
    controllerPortProperty.notifyAttributeChanged();
}

//
// Lists
//

void FilterDrfnCommon::setDriftnodeSerials(const std::vector<unsigned>& serials)
{
    driftnodeSerials = serials;
    setDriftnodes(driftnodeSerials);
}

void FilterDrfnCommon::setNetworkSerials(const std::vector<unsigned>& serials)
{
    networkSerials = serials;
    setNetwork(networkSerials);
}

unsigned FilterDrfnCommon::getMaxSensorCount()
{
    return getMaxSensorCount(frequency);
}

std::string FilterDrfnCommon::serialText(unsigned serial)
{
    return Poco::NumberFormatter::formatHex(serial);
}

std::string FilterDrfnCommon::serialEntry(unsigned serial)
{
    return " 0x" + serialText(serial);
}

//
// Property handlers
//

void FilterDrfnCommon::onConnectionChanged(const bool& value)
{
    if (value)
    {
        openController();
        return;
    }
    bool transmitting = false;
    {
        Synchronizer::DisablerLocker lock(&transmissionProperty.getSynchronizer());
        transmitting = transmissionProperty.get();
        if (transmitting) transmissionProperty.setUnlocked(false);
    }
    closeController();
}

void FilterDrfnCommon::onTransmissionChanged(const bool& value)
{
    if (value)
        startTransmission();
    else
        stopTransmission();
}

void FilterDrfnCommon::onSerialProperty(const std::string& text)
{
    onSerialsChanged(text);
}

//
// Connection
//

void FilterDrfnCommon::openController()
{
    if (controller) return;

    Tarnlink::ControllerEnum controllers(true);
    if (controllers.count() == 0) throw Poco::NotFoundException("No Motion Controller available");
    Poco::AutoPtr<Tarnlink::ControllerFactory> factory = controllers.get(0);
    if (!controllerPort.empty())
    {
        factory = nullptr;
        for (std::size_t i = 0; i < controllers.count() && factory.isNull(); ++i)
            if (isController(*controllers.get(i), controllerPort)) factory = controllers.get(i);
        if (factory.isNull()) throw Poco::NotFoundException("No Motion Controller available at " + controllerPort);
    }
    if (factory.isNull()) throw Poco::NullPointerException();

    bool loggerCreated = false;
    try
    {
        // The logger first: opening the channel may have something to say in it.
        if (!logFileName.empty())
        {
            protocol->setLogger(&Tarnlink::createLogger(logFileName));
            loggerCreated = true;
        }
        Poco::AutoPtr<Poco::DeviceIO::Channel> deviceChannel(factory->createChannel());
        protocol->setChannel(deviceChannel.get());
    }
    catch (const Poco::Exception& e)
    {
        // An opened port must not stay held by a controller that never came up.
        protocol->setChannel(nullptr);
        protocol->setLogger(nullptr);
        if (loggerCreated) Tarnlink::destroyLogger();
        throw Poco::IOException("Controller error (" + e.displayText() + ")");
    }

    controller = factory->createController(protocol.get());

    unsigned major = 0;
    unsigned minor = 0;
    try
    {
        controller->setChannel(0);
        controller->setFrameMode(getDriftnodeKind());
        controller->setSyncMode(1);
        controller->getVersion(major, minor);
    }
    catch (const Poco::Exception&)
    {
        controllerFault = true;
        updateProperties();
        return;
    }

    if (getDriftnodeKind() == 1 && factory->getGeneration() == 1 && major < 2)
    {
        releaseController();
        controllerFault = false;
        throw Poco::NotImplementedException("This driftnode type is incompatible with current controller firmware.");
    }

    controllerFirmwareText = std::to_string(major) + "." + std::to_string(minor);
    const unsigned hardware = controller->getHardwareCode();
    if (hardware == 5)
    {
        controllerSerialText = Poco::NumberFormatter::formatHex(controller->getSerialNumber(), 6);
        controllerHardwareText = "2.0 (ST)";
    }
    else if (hardware == 2)
    {
        controllerHardwareText = "1.0 (FTDI)";
    }

    setDriftnodes(driftnodeSerials);
    updateProperties();
}

void FilterDrfnCommon::closeController()
{
    if (controller)
    {
        setDriftnodes(std::vector<unsigned>());
        releaseController();
        controllerFault = false;
    }
    networkVerified = false;
    updateProperties();
}

//
// Transmission
//

bool FilterDrfnCommon::isTransmitting() const
{
    return controller && controller->getState() == Tarnlink::Controller::Transmission;
}

void FilterDrfnCommon::startTransmission()
{
    if (!controller || controller->getState() != Tarnlink::Controller::Idle) return;

    std::vector<unsigned> started;
    Tarnlink::Driftnode* starting = nullptr;
    try
    {
        controller->setFrequency(frequency);
        checkNetwork();
        readCalibration();

        unsigned found = channel;
        if (!controller->findFreeChannelBothModes(channel, &found))
            throw Poco::IOException("Could not find any available channel");
        channel = found;

        moveNetworkToChannel(channel);
        controller->setChannel(channel);

        for (const auto& entry : network)
        {
            Tarnlink::Driftnode* pod = getDriftnode(entry.first);
            pod->setFrequency(frequency);
            pod->setSlot(entry.second);
            configureDriftnode(entry.first);
            starting = pod;
            pod->setStreamingState(1);
            starting = nullptr;
            started.push_back(entry.first);
        }

        controller->setState(Tarnlink::Controller::Transmission);
        onTransmissionStarted();
        updateProperties();
        isolatedDriftnodes.clear();
    }
    catch (...)
    {
        // The way back runs whole, whatever cut the start short; a stop asked for now waits.
        const Tarnlink::InterruptShield shield;
        try
        {
            // Stopped in the middle of starting to stream, or of a channel test.
            if (controller) controller->setState(Tarnlink::Controller::Idle);
        }
        catch (...)
        {
        }
        // Pods already streaming would go on sending into a network that never started.
        for (unsigned serial : started)
        {
            try
            {
                getDriftnode(serial)->setStreamingState(0);
            }
            catch (...)
            {
            }
        }
        if (starting)
        {
            try
            {
                // Its start may have reached it before it failed.
                starting->stopStreaming();
            }
            catch (...)
            {
            }
        }
        releaseIsolatedDriftnodes();
        try
        {
            if (controller) controller->setChannel(0);
        }
        catch (...)
        {
        }
        updateProperties();
        throw;
    }
}

void FilterDrfnCommon::stopTransmission()
{
    Synchronizer::DisablerLocker lock(&getSynchronizer());
    // Cut short, it would leave pods streaming on a channel nobody listens to.
    const Tarnlink::InterruptShield shield;
    if (!isTransmitting()) return;

    bool stopped = false;
    try
    {
        controller->setState(Tarnlink::Controller::Idle);
        stopped = true;
    }
    catch (const Poco::Exception&)
    {
        controllerFault = true;
        updateProperties();
        return;
    }
    catch (...)
    {
    }

    if (stopped)
    {
        for (const auto& entry : network)
        {
            try
            {
                Tarnlink::Driftnode* pod = getDriftnode(entry.first);
                pod->setStreamingState(0);
                radioDriftnode(entry.first).setChannel(0);
            }
            catch (...)
            {
            }
        }
        try
        {
            controller->setChannel(0);
        }
        catch (...)
        {
        }
    }
    updateProperties();
}

void FilterDrfnCommon::process()
{
    if (!isTransmitting()) return;

    bool lost = false;
    try
    {
        if (controller->readDataFrame(frameBuffer))
        {
            handleFrame(frameBuffer);
            missedFrames = 0;
        }
        else if (++missedFrames >= 3)
        {
            if (!controller->probe()) lost = true;
            missedFrames = 0;
        }
    }
    catch (const Poco::FileException&)
    {
        lost = true;
    }
    catch (const Poco::IOException&)
    {
        lost = true;
    }
    catch (...)
    {
        logIgnored("PROCESS");
    }

    if (lost)
    {
        try
        {
            connectionProperty.set(false);
        }
        catch (...)
        {
            // The handler stops and closes best effort; what is left open goes now.
            shutdown();
        }
        missedFrames = 0;
    }
}

//
// Commands
//

void FilterDrfnCommon::pair()
{
    try
    {
        unsigned serial = 0;
        detectSensorSerial(serial, 5);
        Synchronizer::DisablerLocker lock(&serialProperty.getSynchronizer());
        const std::string text = Poco::trim(serialProperty.get() + " " + serialText(serial));
        serialProperty.setUnlocked(text);
    }
    catch (...)
    {
    }
}

void FilterDrfnCommon::detectSensorSerial(unsigned& serial, unsigned)
{
    Tarnlink::Controller& open = requireController();
    std::uint32_t announced = 0;
    // The controller's pairing window is fixed at 5 s whatever the caller asks.
    if (!open.waitForPairing(announced, 5)) throw Poco::RuntimeException("Could not detect sensor serial");
    if (!isSensorSerialCompatible(announced))
        throw Poco::DataException("Type of serial number is not compatible with expected type of sensor");
    serial = announced;
}

void FilterDrfnCommon::autoChannel()
{
    Tarnlink::Controller& open = requireController();
    unsigned candidate = channel;
    for (int pass = 0; pass < 22; ++pass)
    {
        unsigned a = candidate;
        const bool foundA = open.findFreeChannel(candidate, &a);
        unsigned b = a;
        const bool foundB = open.findFreeChannelBothModes(a, &b);
        if (foundA && foundB && a == b)
        {
            channel = b;
            updateProperties();
            return;
        }
        if (b != a) candidate = b;
    }
    throw Poco::IOException("Could not find any available channel");
}

void FilterDrfnCommon::switchOffDriftnodes()
{
    std::string errors;
    // The first pod of the list is the one the cause is about.
    std::unique_ptr<Poco::Exception> cause;
    for (unsigned serial : driftnodeSerials)
    {
        try
        {
            radioDriftnode(serial).switchOff();
        }
        catch (...)
        {
            errors += serialEntry(serial);
            if (!cause) cause = currentCause();
        }
    }
    if (!errors.empty()) throwWithCause<Poco::IOException>("Could not reach driftnodes" + errors, cause.get());
}

void FilterDrfnCommon::moveDriftnodeToChannel(unsigned serial, unsigned channelIndex, std::string& errors)
{
    Tarnlink::DriftnodeRF& pod = radioDriftnode(serial);
    if (pod.isReachable(true))
    {
        isolatedChannel = channelIndex;
        try
        {
            pod.setChannel(channelIndex);
        }
        catch (...)
        {
            // What failed may be its echo and not the move.
            unconfirmedDriftnode = &pod;
            throw;
        }
        isolatedDriftnodes.push_back(&pod);
    }
    else
    {
        errors += serialEntry(pod.getSerial());
    }
}

void FilterDrfnCommon::moveNetworkToChannel(unsigned channelIndex)
{
    isolatedDriftnodes.clear();
    std::string errors;
    for (const auto& entry : network) moveDriftnodeToChannel(entry.first, channelIndex, errors);
    if (!errors.empty()) throw Poco::IOException("Could not reach driftnodes" + errors);
}

void FilterDrfnCommon::isolateDriftnode(unsigned serial)
{
    Tarnlink::Controller& open = requireController();
    unsigned found = channel;
    if (!open.findFreeChannel(channel, &found)) throw Poco::IOException("Could not find any available channel");
    std::string errors;
    moveDriftnodeToChannel(serial, found, errors);
    if (!errors.empty()) throw Poco::IOException("Could not reach driftnode" + errors);
    open.setChannel(found);
}

void FilterDrfnCommon::releaseIsolatedDriftnodes()
{
    const Tarnlink::InterruptShield shield;
    if (controller && (!isolatedDriftnodes.empty() || unconfirmedDriftnode))
    {
        try
        {
            // Moved pods hear only on their new channel, and a failure may have come before the
            // controller followed them there.
            if (controller->getChannel() != isolatedChannel) controller->setChannel(isolatedChannel);
        }
        catch (...)
        {
        }
    }
    for (Tarnlink::Driftnode* pod : isolatedDriftnodes)
    {
        try
        {
            if (auto* radio = dynamic_cast<Tarnlink::DriftnodeRF*>(pod)) radio->setChannel(0);
        }
        catch (...)
        {
        }
    }
    if (unconfirmedDriftnode)
    {
        try
        {
            // It may never have left channel 0: a few attempts, not all a pod known to be there gets.
            unconfirmedDriftnode->setField(unconfirmedDriftnode->channelField(), Tarnlink::Controller::channelCode(0),
                                           3);
        }
        catch (...)
        {
        }
        unconfirmedDriftnode = nullptr;
    }
    isolatedDriftnodes.clear();
}

//
// Helpers
//

void FilterDrfnCommon::logIgnored(const char* where) noexcept
{
    Poco::Logger* log = protocol->logger();
    if (!log) return;
    try
    {
        // Ignored, but whoever reads the traffic should see why the exchange stopped there.
        const std::unique_ptr<Poco::Exception> cause = currentCause();
        log->information(std::string("ERR: [") + where + "] " + (cause ? cause->displayText() : "unknown exception"));
    }
    catch (...)
    {
    }
}

Tarnlink::DriftnodeRF& FilterDrfnCommon::radioDriftnode(unsigned serial)
{
    auto* pod = dynamic_cast<Tarnlink::DriftnodeRF*>(getDriftnode(serial));
    if (!pod) throw Poco::IOException("Error while accessing the drfn");
    return *pod;
}

Tarnlink::Controller& FilterDrfnCommon::requireController()
{
    if (!controller) throw Poco::NotFoundException("No Motion Controller available");
    return *controller;
}

} // namespace DRFN3Internal
