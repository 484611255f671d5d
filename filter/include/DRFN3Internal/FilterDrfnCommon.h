#ifndef DRFN3Internal_FilterDrfnCommon_INCLUDED
#define DRFN3Internal_FilterDrfnCommon_INCLUDED

#include "Quillmesh/Core/CommandProperty.h"
#include "Quillmesh/Core/Filter.h"
#include "Quillmesh/Core/ValueProperty.h"

#include <Poco/AutoPtr.h>
#include <Tarnlink/Controller.h>
#include <Tarnlink/Driftnode.h>
#include <Tarnlink/DriftnodeRF.h>
#include <Tarnlink/Protocol.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace DRFN3Internal {

/// Base of the filters that drive a USB radio controller and its pods: the connection, the
/// serial lists, transmission start and stop, frame reading, pairing and channel searches.
/// Pod-kind specifics are the pure hooks below, called at fixed points of these sequences.
///
/// Every property of the filter shares the filter's synchronizer, which the host also holds
/// around process(), so handlers, commands and frame reads never overlap.
class FilterDrfnCommon : public Quillmesh::Core::Filter
{
public:
    explicit FilterDrfnCommon(const std::string& name);
    ~FilterDrfnCommon() override;

    void process() final;

    virtual bool readSensorFirmwareVersion(unsigned serial, unsigned& type, unsigned& major, unsigned& minor) = 0;
    virtual bool isSensorSerialCompatible(unsigned serial) = 0;
    virtual unsigned getMaxSensorCount(unsigned frequency) = 0;
    virtual bool hasController() const;
    virtual Tarnlink::Controller* getController();
    virtual Tarnlink::Controller* getController() const;
    /// Poco::IOException "Error while accessing the drfn" for a serial the filter does not know.
    virtual Tarnlink::Driftnode* getDriftnode(unsigned serial) = 0;
    virtual Tarnlink::Driftnode* getDriftnode(unsigned serial) const = 0;
    virtual void onSerialsChanged(const std::string& text) = 0;
    virtual void readCalibration() = 0;
    virtual void writeCalibration() = 0;
    virtual void setDriftnodes(const std::vector<unsigned>& serials) = 0;
    virtual void setNetwork(const std::vector<unsigned>& serials) = 0;
    virtual void checkNetwork() = 0;
    virtual void updatePropertyAccess(bool connected, bool transmitting, bool networkEmpty);
    virtual void updateProperties();
    virtual void configureDriftnode(unsigned serial);
    virtual void onTransmissionStarted() = 0;
    virtual unsigned getDriftnodeKind() = 0;
    virtual void handleFrame(const std::string& frame) = 0;

    void setDriftnodeSerials(const std::vector<unsigned>& serials);
    void setNetworkSerials(const std::vector<unsigned>& serials);
    unsigned getMaxSensorCount();

    void autoChannel();
    void switchOffDriftnodes();
    void isolateDriftnode(unsigned serial);
    /// Every moved pod back to channel 0, the controller first going to the channel they were
    /// moved to; failures are ignored and the controller stays where the pods were.
    void releaseIsolatedDriftnodes();
    void detectSensorSerial(unsigned& serial, unsigned seconds);
    void moveDriftnodeToChannel(unsigned serial, unsigned channel, std::string& errors);
    void moveNetworkToChannel(unsigned channel);

    void openController();
    void closeController();
    /// On any failure, the interrupt of Tarnlink/Interrupt.h included, every pod that may have
    /// left channel 0 goes back to it, then the controller, and the failure goes on.
    void startTransmission();
    void stopTransmission();
    void pair();

    bool isControllerFaulty() const { return controllerFault; }
    const std::vector<unsigned>& getDriftnodeSerials() const { return driftnodeSerials; }
    const std::vector<unsigned>& getNetworkSerials() const { return networkSerials; }
    unsigned getChannel() const { return channel; }
    unsigned getFrequency() const { return frequency; }

    /// " 0x" and the serial in upper-case hexadecimal without leading zeros: one entry of a
    /// message about several pods.
    static std::string serialEntry(unsigned serial);
    /// The serial in upper-case hexadecimal without leading zeros.
    static std::string serialText(unsigned serial);

protected:
    /// Stops transmission and closes the controller, swallowing every failure. The most derived
    /// filter calls it from its destructor, while the hooks still reach its own parts.
    void shutdown() noexcept;
    /// The pod as a radio pod (channel moves, reachability).
    Tarnlink::DriftnodeRF& radioDriftnode(unsigned serial);
    /// The open controller; Poco::NotFoundException "No Motion Controller available" without one.
    Tarnlink::Controller& requireController();
    /// Whether the controller is open and streaming.
    bool isTransmitting() const;

    Quillmesh::Core::ValueProperty<bool> connectionProperty;
    Quillmesh::Core::ValueProperty<bool> transmissionProperty;
    Quillmesh::Core::ValueProperty<std::string> serialProperty;
    Quillmesh::Core::CommandProperty pairingProperty;
    /// "Ctrl Port": the controller to open, by port name or identifier; empty takes the first
    /// one present. Not saved: which port a controller gets changes from one plug-in to the next.
    Quillmesh::Core::ValueProperty<std::string> controllerPortProperty;

    Poco::AutoPtr<Tarnlink::Protocol> protocol;
    Tarnlink::Controller* controller = nullptr;
    std::vector<Tarnlink::Driftnode*> isolatedDriftnodes;
    /// The channel the isolated pods were moved to.
    std::uint32_t isolatedChannel = 0;
    /// A pod whose move failed and that may have left anyway; the next release tries it.
    Tarnlink::DriftnodeRF* unconfirmedDriftnode = nullptr;
    std::map<unsigned, unsigned> serialIndex;
    std::map<unsigned, unsigned> network;
    std::vector<unsigned> driftnodeSerials;
    std::vector<unsigned> networkSerials;
    bool networkVerified = false;
    bool controllerFault = false;
    std::uint32_t missedFrames = 0;
    /// Kept between cycles so a frame's body does not cost an allocation.
    std::string frameBuffer;
    std::string logFileName;
    /// Mirrors "Ctrl Port".
    std::string controllerPort;
    std::string driftnodeFirmwareText;
    std::string controllerFirmwareText;
    std::string controllerHardwareText;
    std::string controllerSerialText;
    std::uint32_t channel = 1;
    std::uint32_t frequency = 200;

private:
    void onConnectionChanged(const bool& value);
    void onTransmissionChanged(const bool& value);
    void onSerialProperty(const std::string& text);
    /// Drops the controller, its channel and the traffic log without touching the pods.
    void releaseController() noexcept;
    /// Inside a handler that ignores the exception: one line "ERR: [where] " + its display text
    /// in the traffic log, when there is one.
    void logIgnored(const char* where) noexcept;
};

} // namespace DRFN3Internal

#endif
