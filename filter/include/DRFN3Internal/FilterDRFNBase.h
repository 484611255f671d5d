#ifndef DRFN3Internal_FilterDRFNBase_INCLUDED
#define DRFN3Internal_FilterDRFNBase_INCLUDED

#include "DRFN3Internal/FilterDrfnCommon.h"

#include "Quillmesh/Core/EnumProperty.h"
#include "Quillmesh/Core/FileNameProperty.h"
#include "Quillmesh/Core/RangeProperty.h"

namespace DRFN3Internal {

/// The controller-level properties (radio channel, frequency, LED, auto power-off, log file,
/// identification texts) and the parsing of the "serial" text into the pod lists.
class FilterDRFNBase : public FilterDrfnCommon
{
public:
    explicit FilterDRFNBase(const std::string& name);
    ~FilterDRFNBase() override;

    void onSerialsChanged(const std::string& text) override;
    void updatePropertyAccess(bool connected, bool transmitting, bool networkEmpty) override;
    void updateProperties() override;

    void onLedChanged(bool on);
    void onAutoPowerOffChanged(unsigned index);

    /// The serials of a "serial" text: hexadecimal tokens separated by ";", "," or blanks.
    /// Poco::SyntaxException for a token that is not hexadecimal, Poco::ExistsException for a repeat.
    static std::vector<unsigned> parseSerials(const std::string& text);

protected:
    /// Writes a read-only text property: writable for the store only, so users never can.
    static void writeReadOnly(Quillmesh::Core::ValueProperty<std::string>& property, const std::string& value);

    Quillmesh::Core::RangeProperty<int> channelProperty;
    Quillmesh::Core::RangeProperty<int> frequencyProperty;
    Quillmesh::Core::ValueProperty<bool> ledProperty;
    Quillmesh::Core::EnumProperty<std::string> autoPowerOffProperty;
    Quillmesh::Core::CommandProperty switchOffProperty;
    Quillmesh::Core::CommandProperty autoChannelProperty;
    Quillmesh::Core::CommandProperty readCalibProperty;
    Quillmesh::Core::CommandProperty writeCalibProperty;
    Quillmesh::Core::FileNameProperty logFileProperty;
    Quillmesh::Core::ValueProperty<std::string> driftnodeFirmwareProperty;
    Quillmesh::Core::ValueProperty<std::string> controllerFirmwareProperty;
    Quillmesh::Core::ValueProperty<std::string> controllerHardwareProperty;
    Quillmesh::Core::ValueProperty<std::string> controllerSerialProperty;

private:
    void onChannelChanged(const int& value);
    void onFrequencyChanged(const int& value);
    void onLedProperty(const bool& on);
    void onAutoPowerOffProperty(const unsigned& index);
    void onLogFileChanged(const std::string& value);
    void runReadCalibration();
    void runWriteCalibration();
};

} // namespace DRFN3Internal

#endif
