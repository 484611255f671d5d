#include "DRFN3Internal/FilterDRFNBase.h"

#include "DRFN3Internal/Cause.h"

#include "Quillmesh/Core/Synchronizer.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>
#include <Poco/Util/OptionException.h>
#include <Tarnlink/Log.h>

#include <algorithm>
#include <memory>

namespace DRFN3Internal {

using Quillmesh::Core::Synchronizer;

FilterDRFNBase::FilterDRFNBase(const std::string& name)
    : FilterDrfnCommon(name),
      channelProperty("Channel", &getPropertyBag(), 1, 21, 1),
      frequencyProperty("Frequency", &getPropertyBag(), 25, 200, 25),
      ledProperty("Led", &getPropertyBag()),
      autoPowerOffProperty("AutoPower Off", &getPropertyBag()),
      switchOffProperty("Switch Off", &getPropertyBag()),
      autoChannelProperty("AutoChannel", &getPropertyBag()),
      readCalibProperty("Read Calib", &getPropertyBag()),
      writeCalibProperty("Write Calib", &getPropertyBag()),
      logFileProperty("LogFile", &getPropertyBag(), "*"),
      driftnodeFirmwareProperty("Drfn FW", &getPropertyBag()),
      controllerFirmwareProperty("Ctrl FW", &getPropertyBag()),
      controllerHardwareProperty("Ctrl HW", &getPropertyBag()),
      controllerSerialProperty("Ctrl SerialNumber", &getPropertyBag())
{
    channelProperty.set(static_cast<int>(channel));
    channelProperty.bind(this, &FilterDRFNBase::onChannelChanged);

    frequencyProperty.bind(this, &FilterDRFNBase::onFrequencyChanged);
    frequencyProperty.set(200);

    ledProperty.set(true);
    ledProperty.bind(this, &FilterDRFNBase::onLedProperty);

    autoPowerOffProperty.addEntry("disabled");
    autoPowerOffProperty.addEntry("1 minute");
    autoPowerOffProperty.addEntry("30 minutes");
    autoPowerOffProperty.addEntry("60 minutes");
    autoPowerOffProperty.set(1);
    autoPowerOffProperty.bind(this, &FilterDRFNBase::onAutoPowerOffProperty);

    switchOffProperty.bind(this, &FilterDrfnCommon::switchOffDriftnodes);
    autoChannelProperty.bind(this, &FilterDrfnCommon::autoChannel);
    readCalibProperty.bind(this, &FilterDRFNBase::runReadCalibration);
    writeCalibProperty.bind(this, &FilterDRFNBase::runWriteCalibration);

    logFileProperty.setExpandVariables(true);
    logFileProperty.set("");
    logFileProperty.setIsPersistent(true);
    logFileProperty.notifyAttributeChanged();
    logFileProperty.bind(this, &FilterDRFNBase::onLogFileChanged);
    const std::string fromEnvironment = Tarnlink::defaultLogFileFromEnvironment();
    if (!fromEnvironment.empty()) logFileProperty.set(fromEnvironment);

    Quillmesh::Core::ValueProperty<std::string>* texts[] = {&driftnodeFirmwareProperty, &controllerFirmwareProperty,
                                                            &controllerHardwareProperty, &controllerSerialProperty};
    std::string* mirrors[] = {&driftnodeFirmwareText, &controllerFirmwareText, &controllerHardwareText,
                              &controllerSerialText};
    for (int i = 0; i < 4; ++i)
    {
        texts[i]->set("");
        texts[i]->setIsPersistent(false);
        texts[i]->setIsWritable(false);
        texts[i]->notifyAttributeChanged();
        std::string* mirror = mirrors[i];
        texts[i]->setHandler(new Quillmesh::Core::ValueProperty<std::string>::Handler(
            [mirror](const std::string& value) { *mirror = value; }));
    }
}

FilterDRFNBase::~FilterDRFNBase() = default;

//
// Handlers
//

void FilterDRFNBase::onChannelChanged(const int& value)
{
    channel = static_cast<std::uint32_t>(value);
}

void FilterDRFNBase::onFrequencyChanged(const int& value)
{
    frequency = static_cast<std::uint32_t>(value);
}

void FilterDRFNBase::onLedProperty(const bool& on)
{
    onLedChanged(on);
}

void FilterDRFNBase::onAutoPowerOffProperty(const unsigned& index)
{
    onAutoPowerOffChanged(index);
}

void FilterDRFNBase::onLogFileChanged(const std::string& value)
{
    logFileName = Quillmesh::Core::StringProperty::expandVariables(value);
}

void FilterDRFNBase::runReadCalibration()
{
    readCalibration();
}

void FilterDRFNBase::runWriteCalibration()
{
    writeCalibration();
}

namespace {

template <typename Apply>
void applyToEveryPod(FilterDRFNBase& filter, const std::vector<unsigned>& serials, Apply apply)
{
    std::string errors;
    // Of the first pod said to be unreachable: the entries do not tell why.
    std::unique_ptr<Poco::Exception> cause;
    for (unsigned serial : serials)
    {
        try
        {
            apply(*filter.getDriftnode(serial));
        }
        catch (const Poco::Util::IncompatibleOptionsException& e)
        {
            errors += FilterDrfnCommon::serialEntry(serial) + " : " + e.what();
        }
        catch (...)
        {
            errors += FilterDrfnCommon::serialEntry(serial) + " : Could not reach driftnode";
            if (!cause) cause = currentCause();
        }
    }
    if (!errors.empty()) throwWithCause<Poco::IOException>(errors, cause.get());
}

} // namespace

void FilterDRFNBase::onLedChanged(bool on)
{
    applyToEveryPod(*this, driftnodeSerials, [on](Tarnlink::Driftnode& pod) { pod.setLedEnabled(on); });
}

void FilterDRFNBase::onAutoPowerOffChanged(unsigned index)
{
    applyToEveryPod(*this, driftnodeSerials, [index](Tarnlink::Driftnode& pod) { pod.setAutoPowerOff(index); });
}

//
// Serial list
//

std::vector<unsigned> FilterDRFNBase::parseSerials(const std::string& text)
{
    Poco::StringTokenizer tokens(text, ";, ",
                                 Poco::StringTokenizer::TOK_IGNORE_EMPTY | Poco::StringTokenizer::TOK_TRIM);
    std::vector<unsigned> serials;
    for (const std::string& token : tokens)
    {
        unsigned value = 0;
        if (!Poco::NumberParser::tryParseHex(token, value))
            throw Poco::SyntaxException("Not a valid hexadecimal integer", token);
        if (std::find(serials.begin(), serials.end(), value) != serials.end())
            throw Poco::ExistsException(token + " repeted several times");
        serials.push_back(value);
    }
    return serials;
}

void FilterDRFNBase::onSerialsChanged(const std::string& text)
{
    const std::vector<unsigned> serials = parseSerials(text);
    // Both lists change or neither: a pod list without the matching network would leave
    // selected pods without their outputs.
    if (serials.size() > getMaxSensorCount()) throw Poco::RangeException("Too many drfns in the Network");
    const std::vector<unsigned> previous = driftnodeSerials;
    setDriftnodeSerials(serials);
    try
    {
        setNetworkSerials(serials);
    }
    catch (...)
    {
        setDriftnodeSerials(previous);
        throw;
    }
}

//
// Access and information
//

void FilterDRFNBase::writeReadOnly(Quillmesh::Core::ValueProperty<std::string>& property, const std::string& value)
{
    property.setIsWritable(true);
    property.notifyAttributeChanged();
    {
        Synchronizer::DisablerLocker lock(&property.getSynchronizer());
        try
        {
            property.setUnlocked(value);
        }
        catch (...)
        {
            property.setIsWritable(false);
            property.notifyAttributeChanged();
            throw;
        }
    }
    property.setIsWritable(false);
    property.notifyAttributeChanged();
}

void FilterDRFNBase::updateProperties()
{
    writeReadOnly(controllerFirmwareProperty, controllerFirmwareText);
    writeReadOnly(controllerHardwareProperty, controllerHardwareText);
    writeReadOnly(controllerSerialProperty, controllerSerialText);
    writeReadOnly(driftnodeFirmwareProperty, driftnodeFirmwareText);
    FilterDrfnCommon::updateProperties();
}

void FilterDRFNBase::updatePropertyAccess(bool connected, bool transmitting, bool networkEmpty)
{
    FilterDrfnCommon::updatePropertyAccess(connected, transmitting, networkEmpty);

    logFileProperty.setIsWritable(!connected);
    logFileProperty.notifyAttributeChanged();

    if (!connected)
    {
        writeReadOnly(controllerFirmwareProperty, "");
        writeReadOnly(driftnodeFirmwareProperty, "");
        writeReadOnly(controllerSerialProperty, "");
        writeReadOnly(controllerHardwareProperty, "");
    }

    autoChannelProperty.setIsWritable(connected && !transmitting);

    channelProperty.setIsWritable(!transmitting);
    channelProperty.notifyAttributeChanged();
    frequencyProperty.setIsWritable(!transmitting);
    frequencyProperty.notifyAttributeChanged();
    if (frequencyProperty.getIsWritable()) frequencyProperty.set(static_cast<int>(frequency));
    if (channelProperty.getIsWritable()) channelProperty.set(static_cast<int>(channel));

    const bool podCommands = connected && !transmitting && !networkEmpty;
    ledProperty.setIsWritable(podCommands);
    ledProperty.notifyAttributeChanged();
    autoPowerOffProperty.setIsWritable(podCommands);
    autoPowerOffProperty.notifyAttributeChanged();
    switchOffProperty.setIsWritable(podCommands);
    readCalibProperty.setIsWritable(podCommands);
    writeCalibProperty.setIsWritable(podCommands);
}

} // namespace DRFN3Internal
