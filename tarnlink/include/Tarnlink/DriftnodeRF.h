#ifndef Tarnlink_DriftnodeRF_INCLUDED
#define Tarnlink_DriftnodeRF_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Driftnode.h>
#include <Tarnlink/DriftnodeEEPROM.h>
#include <cstdint>

namespace Tarnlink {

class Controller;

/// A pod reached by radio through a controller, which selects it by serial number before each access.
/// The controller must outlive the pod.
/// Not thread-safe: a pod, its controller and their shared protocol are used from one thread at a time.
class Tarnlink_API DriftnodeRF : public Driftnode
{
public:
    /// Poco::NullPointerException without a controller.
    DriftnodeRF(Controller* controller, unsigned serial);

    void refreshRegister(Register& reg) override;
    double getTick() override { return tickSeconds(); }
    /// 2000 / the controller's pod timing divisor.
    unsigned getDefaultAttempts() override;
    void selectForRead() override;
    void selectForWrite() override;
    void startStreaming() override;
    void stopStreaming() override;

    virtual const DriftnodeEEPROM& getEEPROM() const = 0;
    virtual DriftnodeEEPROM& getEEPROM() = 0;
    /// Whether a serial number belongs to this kind of pod.
    virtual bool isCompatibleSerial(unsigned serial) const = 0;

    virtual const FieldDescriptor& channelField() const = 0;
    virtual const FieldDescriptor& secondStreamingEnableField() const = 0;
    virtual const FieldDescriptor& switchOffField() const = 0;
    virtual const FieldDescriptor& tdmaDelayField() const = 0;
    virtual const FieldDescriptor& typeField() const = 0;
    /// TDMA delay per network position.
    virtual unsigned tdmaDelayPerPosition() const = 0;
    /// Sample period tick in seconds.
    virtual double tickSeconds() const = 0;

    /// Reads VERSION only while the image does not hold a version yet.
    void getVersion(unsigned& type, unsigned& major, unsigned& minor);
    void getFirmwareVersion(unsigned& major, unsigned& minor);
    /// getVersion that reports any failure as false.
    bool tryGetVersion(unsigned& type, unsigned& major, unsigned& minor);
    /// Whether the pod answers; with searchChannels, a pod found on another channel is moved to
    /// the controller's channel, and the controller always ends on the channel it was on.
    bool isReachable(bool searchChannels);
    /// Radio channel index 0-31 (Poco::InvalidArgumentException otherwise).
    void setChannel(unsigned index);
    void switchOff();

    unsigned getSerial() const { return _serial; }
    Controller* getController() const { return _controller; }

protected:
    unsigned _serial;
    Controller* _controller;
};

} // namespace Tarnlink

#endif
