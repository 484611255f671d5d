#ifndef Tarnlink_ControllerV1Factory_INCLUDED
#define Tarnlink_ControllerV1Factory_INCLUDED

#include <Tarnlink/ControllerFactory.h>

namespace Tarnlink {

/// A generation 1 controller: an FTDI device opened by its serial number.
class ControllerV1Factory : public ControllerFactory
{
public:
    static constexpr int VENDOR_ID = 0x0403;
    static constexpr int PRODUCT_ID = 0x6001;
    static constexpr int TIMEOUT = 200;

    explicit ControllerV1Factory(const std::string& serialNumber);

    unsigned getTimeout() const override;
    unsigned getGeneration() const override;
    std::string getIdentifier() const override;
    Poco::DeviceIO::Channel* createChannel() const override;
    Controller* createController(Protocol* protocol) const override;
    Poco::Any getProperty(const std::string& name) const override;

private:
    std::string _identifier;
};

} // namespace Tarnlink

#endif
