#ifndef Poco_DeviceIO_Serial_RegistryKey_INCLUDED
#define Poco_DeviceIO_Serial_RegistryKey_INCLUDED

#include <Poco/DeviceIO/DeviceIO.h>

#if defined(_WIN32)

#include <winsock2.h>
#include <windows.h>
#include <string>

namespace Poco {
namespace DeviceIO {
namespace Serial {

/// One registry value, named by a path whose last component is the value name.
/// Not thread-safe: each enumeration makes and reads its own.
class DeviceIO_API RegistryKey
{
public:
    RegistryKey(HKEY root, const std::string& path);
    virtual ~RegistryKey();

    bool query(DWORD* type, BYTE* data, DWORD* size) const;
    const std::string& valueName() const { return _valueName; }

private:
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    HKEY _key;
    std::string _valueName;
};

/// Reads a registry value as a string (REG_SZ or REG_EXPAND_SZ).
/// Not thread-safe: each enumeration makes and reads its own.
class DeviceIO_API CompatibleRegistryValue
{
public:
    explicit CompatibleRegistryValue(const RegistryKey& key) : _key(key) {}
    std::string get() const;

private:
    const RegistryKey& _key;
};

/// The system's text for GetLastError(), without its line break.
DeviceIO_API std::string lastSystemErrorText();

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco

#endif
#endif
