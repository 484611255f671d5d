#ifndef DRFN3Internal_FilterDRFN3_INCLUDED
#define DRFN3Internal_FilterDRFN3_INCLUDED

#include "DRFN3Internal/DataFrame.h"
#include "DRFN3Internal/DriftnodeOutputs.h"
#include "DRFN3Internal/FilterDRFNBase.h"

#include <Tarnlink/Driftnode3.h>

namespace DRFN3Internal {

/// The filter the plug-in offers: a network of third-generation pods behind one controller,
/// with per-pod sample and calibration pins, sensor modes and calibration maintenance.
class FilterDRFN3 : public FilterDRFNBase
{
public:
    static constexpr const char* TYPE_NAME = "FilterDRFN3";

    explicit FilterDRFN3(const std::string& name);
    ~FilterDRFN3() override;

    std::string getTypeName() const override;

    bool readSensorFirmwareVersion(unsigned serial, unsigned& type, unsigned& major, unsigned& minor) override;
    bool isSensorSerialCompatible(unsigned serial) override;
    using FilterDrfnCommon::getMaxSensorCount;
    unsigned getMaxSensorCount(unsigned frequency) override;
    Tarnlink::Driftnode* getDriftnode(unsigned serial) override;
    Tarnlink::Driftnode* getDriftnode(unsigned serial) const override;
    void readCalibration() override;
    void writeCalibration() override;
    void setDriftnodes(const std::vector<unsigned>& serials) override;
    void setNetwork(const std::vector<unsigned>& serials) override;
    void checkNetwork() override;
    void updatePropertyAccess(bool connected, bool transmitting, bool networkEmpty) override;
    void configureDriftnode(unsigned serial) override;
    void onTransmissionStarted() override;
    unsigned getDriftnodeKind() override;
    void handleFrame(const std::string& frame) override;

    void resetCalibrationToManufacturing();
    void copyCalibrationToManufacturing();
    void scanSensorRegistry();
    void onAccModeChanged();
    /// "Read Calib": every record reads its three sets again, whatever it read before.
    void rereadCalibration();

    /// The record of a network pod; null for a serial outside the network.
    DriftnodeOutputs* getOutputs(unsigned serial) const;
    bool isNetworkVerified() const { return networkVerified; }

private:
    Tarnlink::Driftnode3& pod(unsigned serial) const;
    /// Factor from an accelerometer gain in a pod's image to the pins ("2g" 0.5, "4g" 1.0, "8g" 2.0).
    double accelerometerGainFactor() const;
    /// Copies the three calibration sets of the pod's image into the record's matrices.
    void loadCalibration(Tarnlink::Driftnode3& pod, DriftnodeOutputs& record, bool acc, bool mag, bool gyro);
    /// Pods back on channel index 0, errors ignored: every calibration operation ends so.
    void restoreChannels() noexcept;

    Quillmesh::Core::RangeProperty<int> sensorIndexProperty;
    Quillmesh::Core::CommandProperty resetCalibProperty;
    Quillmesh::Core::CommandProperty copyCalibProperty;
    Quillmesh::Core::EnumProperty<std::string> accModeProperty;
    Quillmesh::Core::EnumProperty<std::string> magModeProperty;
    Quillmesh::Core::ValueProperty<bool> gyroOnProperty;
    Quillmesh::Core::EnumProperty<std::string> gyroModeProperty;
    Quillmesh::Core::CommandProperty scanProperty;
    Quillmesh::Core::ValueProperty<std::string> sensorTypesProperty;

    std::vector<Tarnlink::Driftnode3*> pods;
    std::vector<DriftnodeOutputs*> outputs;
    /// Worked out when transmission starts, for every frame of it: each record's frame
    /// layout (by its pod's firmware) and the controller's exact frame rate.
    std::vector<FrameLayout> streamLayouts;
    double streamFrequency = 0.0;
};

} // namespace DRFN3Internal

#endif
