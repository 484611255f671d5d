#include <Poco/DeviceIO/Serial/SerialChannel_WIN32.h>
#include <Poco/Exception.h>
#include <cstring>

namespace Poco {
namespace DeviceIO {
namespace Serial {

//
// SerialConfigImpl
//

SerialConfigImpl::SerialConfigImpl(DWORD baudRate, unsigned char dataBits, char parity, unsigned char stopBits,
                                   DWORD flowControl, unsigned char xonChar, unsigned char xoffChar, bool useEOF,
                                   char eofChar, DWORD bufferSize, int timeout)
    : _flowControl(flowControl), _useEOF(useEOF), _bufferSize(bufferSize), _eofChar(eofChar)
{
    std::memset(&_dcb, 0, sizeof(_dcb));
    std::memset(&_timeouts, 0, sizeof(_timeouts));
    _dcb.DCBlength = sizeof(DCB);
    _dcb.BaudRate = baudRate;
    _dcb.ByteSize = dataBits;
    _dcb.StopBits = stopBits;
    setParityCharImpl(parity);
    setFlowControlImpl(flowControl, xonChar, xoffChar);
    if (useEOF) _dcb.EofChar = eofChar;
    setCommTimeoutsImpl(timeout);
}

SerialConfigImpl::~SerialConfigImpl() = default;

void SerialConfigImpl::setParityCharImpl(char parity)
{
    switch (parity)
    {
    case 'N':
    case 'n':
        _dcb.Parity = NOPARITY;
        break;
    case 'O':
    case 'o':
        _dcb.Parity = ODDPARITY;
        break;
    case 'E':
    case 'e':
        _dcb.Parity = EVENPARITY;
        break;
    case 'M':
    case 'm':
        _dcb.Parity = MARKPARITY;
        break;
    case 'S':
    case 's':
        _dcb.Parity = SPACEPARITY;
        break;
    default:
        throw Poco::InvalidArgumentException(std::string("SerialConfigImpl::setParityCharImpl(") + parity + ")");
    }
    _dcb.fParity = _dcb.Parity != NOPARITY ? 1 : 0;
}

void SerialConfigImpl::setFlowControlImpl(DWORD flowControl, unsigned char xonChar, unsigned char xoffChar)
{
    if (flowControl == 0)
    {
        _dcb.fOutxCtsFlow = 1;
        _dcb.fOutxDsrFlow = 1;
        _dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        _dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        _dcb.fOutX = 0;
        _dcb.fInX = 0;
        _dcb.XonChar = 0;
        _dcb.XoffChar = 0;
    }
    else if (flowControl == 1)
    {
        if (xonChar == xoffChar) throw Poco::InvalidAccessException("XON == XOFF - not set.");
        _dcb.fOutxCtsFlow = 0;
        _dcb.fOutxDsrFlow = 0;
        _dcb.fDtrControl = DTR_CONTROL_DISABLE;
        _dcb.fRtsControl = RTS_CONTROL_DISABLE;
        _dcb.fOutX = 0;
        _dcb.fInX = 0;
        _dcb.XonChar = static_cast<char>(xonChar);
        _dcb.XoffChar = static_cast<char>(xoffChar);
    }
    else
    {
        throw Poco::InvalidArgumentException("Invalid argument supplied. Flow control not set.");
    }
    _flowControl = flowControl;
}

void SerialConfigImpl::setCommTimeoutsImpl(int milliseconds)
{
    std::memset(&_timeouts, 0, sizeof(_timeouts));
    if (milliseconds >= 1)
    {
        // Return at once with what is waiting, else wait this long for the first byte.
        _timeouts.ReadIntervalTimeout = MAXDWORD;
        _timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        _timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(milliseconds);
    }
}

//
// SerialChannelImpl
//

SerialChannelImpl::SerialChannelImpl(SerialConfigImpl* config) : _handle(INVALID_HANDLE_VALUE), _config(config, true)
{
    std::memset(&_appliedTimeouts, 0, sizeof(_appliedTimeouts));
}

SerialChannelImpl::~SerialChannelImpl()
{
    closeQuietlyImpl();
}

std::string SerialChannelImpl::lastErrorText()
{
    DWORD code = GetLastError();
    char text[512] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof(text), nullptr);
    std::string result(text, n);
    if (result.size() >= 2) result.resize(result.size() - 2);
    return result;
}

void SerialChannelImpl::handleLastError(const std::string& /*path*/)
{
    DWORD code = GetLastError();
    std::string text = lastErrorText();
    switch (code)
    {
    case ERROR_FILE_NOT_FOUND:
        throw Poco::FileNotFoundException(text);
    case ERROR_ACCESS_DENIED:
        throw Poco::FileAccessDeniedException(text);
    case ERROR_NOT_ENOUGH_MEMORY:
        throw Poco::OutOfMemoryException(text);
    case ERROR_HANDLE_EOF:
        return;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        throw Poco::FileExistsException(text);
    case ERROR_CANNOT_MAKE:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
        throw Poco::CreateFileException(text);
    case ERROR_BROKEN_PIPE:
    case ERROR_INSUFFICIENT_BUFFER:
    case 1784: // ERROR_INVALID_USER_BUFFER
        throw Poco::IOException(text);
    case 6009: // ERROR_FILE_READ_ONLY
        throw Poco::FileReadOnlyException(text);
    default:
        throw Poco::FileException(text);
    }
}

bool SerialChannelImpl::underWine()
{
    static const bool wine = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll && GetProcAddress(ntdll, "wine_get_version");
    }();
    return wine;
}

HANDLE SerialChannelImpl::openPort(const std::string& portName)
{
    std::string path = "\\\\.\\" + portName;
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

void SerialChannelImpl::openImpl(const std::string& portName)
{
    _handle = openPort(portName);
    if (_handle == INVALID_HANDLE_VALUE) handleLastError(portName);
}

void SerialChannelImpl::closeImpl(const std::string& portName)
{
    HANDLE handle = _handle;
    _handle = INVALID_HANDLE_VALUE; // a failed CloseHandle still releases it
    if (handle != INVALID_HANDLE_VALUE && !CloseHandle(handle)) handleLastError(portName);
}

void SerialChannelImpl::closeQuietlyImpl() noexcept
{
    if (_handle != INVALID_HANDLE_VALUE) CloseHandle(_handle);
    _handle = INVALID_HANDLE_VALUE;
}

void SerialChannelImpl::configureImpl(const std::string& portName)
{
    COMMTIMEOUTS timeouts = _config->commTimeouts();
    DCB dcb = _config->dcb();
    if (!SetupComm(_handle, _config->getBufferSize(), _config->getBufferSize())) handleLastError(portName);
    if (!SetCommMask(_handle, 0)) handleLastError(portName);
    if (!SetCommTimeouts(_handle, &timeouts)) handleLastError(portName);
    _appliedTimeouts = timeouts;
    if (!SetCommState(_handle, &dcb)) handleLastError(portName);
    if (!PurgeComm(_handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) handleLastError(portName);
}

int SerialChannelImpl::readOnceImpl(char* buffer, int length, const std::string& portName)
{
    DWORD got = 0;
    if (!ReadFile(_handle, buffer, static_cast<DWORD>(length), &got, nullptr)) handleLastError(portName);
    return static_cast<int>(got);
}

void SerialChannelImpl::purgeInputImpl() noexcept
{
    PurgeComm(_handle, PURGE_RXCLEAR);
}

int SerialChannelImpl::writeImpl(const char* data, int length, const std::string& portName)
{
    DWORD written = 0;
    if (!WriteFile(_handle, data, static_cast<DWORD>(length), &written, nullptr)) handleLastError(portName);
    if (written == static_cast<DWORD>(length) && written != 0) return static_cast<int>(written);
    if (written == 0) throw Poco::IOException("Error writing to " + portName);
    handleLastError(portName);
    return static_cast<int>(written);
}

bool SerialChannelImpl::isPortInUseImpl(const std::string& portName)
{
    HANDLE handle = openPort(portName);
    if (handle == INVALID_HANDLE_VALUE) return true;
    CloseHandle(handle);
    return false;
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
