#ifndef Poco_DeviceIO_Serial_SerialChannel_WIN32_INCLUDED
#define Poco_DeviceIO_Serial_SerialChannel_WIN32_INCLUDED

#include <Poco/AutoPtr.h>
#include <Poco/DeviceIO/Serial/SerialConfig_WIN32.h>
#include <string>

namespace Poco {
namespace DeviceIO {
namespace Serial {

class SerialChannelImpl
{
protected:
    explicit SerialChannelImpl(SerialConfigImpl* config);
    ~SerialChannelImpl();

    void openImpl(const std::string& portName);
    void closeImpl(const std::string& portName);
    /// Closes an open port, swallowing errors; for destructors.
    void closeQuietlyImpl() noexcept;
    bool isOpenImpl() const { return _handle != INVALID_HANDLE_VALUE; }
    void configureImpl(const std::string& portName);
    int readImpl(char* buffer, int length, const std::string& portName);
    int readPendingImpl(char*& buffer, const std::string& portName);
    int writeImpl(const char* data, int length, const std::string& portName);

    static bool isPortInUseImpl(const std::string& portName);
    static void handleLastError(const std::string& path);
    static std::string lastErrorText();

private:
    static HANDLE openPort(const std::string& portName);
    /// One ReadFile; returns the bytes it delivered.
    DWORD readOnce(char* buffer, DWORD length, const std::string& portName);

    HANDLE _handle;
    Poco::AutoPtr<SerialConfigImpl> _config;
    std::string _kept;
};

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
