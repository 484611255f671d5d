#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/Exception.h>

namespace Poco {
namespace DeviceIO {
namespace Serial {

SerialChannel::SerialChannel(SerialConfig* cfg) : Channel(cfg, ""), SerialChannelImpl(cfg)
{
    open();
}

SerialChannel::~SerialChannel()
{
    closeQuietlyImpl();
}

void SerialChannel::open()
{
    if (!config) throw Poco::NullPointerException("Serial channel has no configuration");
    if (isOpenImpl()) closeImpl(portName());
    openImpl(portName());
    try
    {
        configure();
    }
    catch (...)
    {
        // A port we cannot configure is of no use, and holding it would lock others out.
        closeQuietlyImpl();
        throw;
    }
}

void SerialChannel::close()
{
    if (isOpenImpl()) closeImpl(config ? portName() : std::string());
}

void SerialChannel::configure()
{
    if (!config) throw Poco::NullPointerException("Serial channel has no configuration");
    if (!isOpenImpl()) throw Poco::IOException("Port is not open", portName());
    configureImpl(portName());
}

int SerialChannel::read(char*& buffer)
{
    if (!isOpenImpl()) throw Poco::IOException("Port is not open", portName());
    return readPendingImpl(buffer, portName());
}

int SerialChannel::read(char* buffer, int length)
{
    if (!isOpenImpl()) throw Poco::IOException("Port is not open", portName());
    return readImpl(buffer, length, portName());
}

int SerialChannel::write(const char* data, int length)
{
    if (!isOpenImpl()) throw Poco::IOException("Port is not open", portName());
    return writeImpl(data, length, portName());
}

bool SerialChannel::isPortInUse(const std::string& name)
{
    return isPortInUseImpl(name);
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
