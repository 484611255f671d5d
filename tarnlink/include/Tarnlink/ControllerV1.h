#ifndef Tarnlink_ControllerV1_INCLUDED
#define Tarnlink_ControllerV1_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Tarnlink/Controller.h>

namespace Tarnlink {

/// Generation 1 ("1.0 (FTDI)"): no sync mode, no serial number, no firmware operations.
/// Not thread-safe: used from one thread at a time, together with its pods, as every Controller.
class Tarnlink_API ControllerV1 : public Controller
{
public:
    explicit ControllerV1(Protocol* protocol);

    void setSyncMode(unsigned mode) override;
    unsigned getSyncMode() override;
    unsigned getSerialNumber() override { return 0; }
    bool verifyFirmware(const std::string& path) override;
    bool upgradeFirmware(const std::string& path) override;
    unsigned getPodTimingDivisor() const override { return 100; }
    unsigned getTickNanoseconds() override { return 32000; }

private:
    unsigned _syncMode = 0;
};

} // namespace Tarnlink

#endif
