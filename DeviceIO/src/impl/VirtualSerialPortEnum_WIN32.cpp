#include <Poco/DeviceIO/Serial/DeviceInstance.h>
#include <Poco/DeviceIO/Serial/RegistryKey.h>
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/Exception.h>
#include <cstdio>
#include <vector>

namespace Poco {
namespace DeviceIO {
namespace Serial {

namespace {

std::string systemErrorText(DWORD code)
{
    char text[512] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof(text), nullptr);
    std::string result(text, n);
    if (result.size() >= 2) result.resize(result.size() - 2);
    return result;
}

} // namespace

std::string lastSystemErrorText()
{
    return systemErrorText(GetLastError());
}

//
// DeviceInstance
//

DeviceInstance::DeviceInstance(HDEVINFO deviceInfoSet, DWORD index) : _set(deviceInfoSet), _index(index)
{
    ZeroMemory(&_data, sizeof(_data));
    _data.cbSize = sizeof(SP_DEVINFO_DATA);
    _valid = SetupDiEnumDeviceInfo(_set, _index, &_data) == TRUE;
}

DeviceInstance::~DeviceInstance() = default;

Poco::AutoPtr<DeviceInstance> DeviceInstance::next() const
{
    return new DeviceInstance(_set, _index + 1);
}

std::string DeviceInstance::getId() const
{
    if (!_valid) throw Poco::SystemException("Invalid device instance");
    SP_DEVINFO_DATA data = _data;
    DWORD required = 0;
    SetupDiGetDeviceInstanceIdA(_set, &data, nullptr, 0, &required);
    if (required == 0) return std::string();
    std::vector<char> id(required, '\0');
    if (!SetupDiGetDeviceInstanceIdA(_set, &data, id.data(), required, &required))
        throw Poco::SystemException("Unable to retrieve Device ID (" + lastSystemErrorText() + ")");
    return std::string(id.data());
}

//
// RegistryKey
//

RegistryKey::RegistryKey(HKEY root, const std::string& path) : _key(nullptr)
{
    std::string::size_type slash = path.rfind('\\');
    if (slash == std::string::npos) throw Poco::InvalidArgumentException("Invalid key name");
    std::string keyPath = path.substr(0, slash);
    _valueName = path.substr(slash + 1);
    LONG rc = RegOpenKeyExA(root, keyPath.c_str(), 0, KEY_QUERY_VALUE, &_key);
    if (rc != ERROR_SUCCESS)
    {
        _key = nullptr;
        // The registry functions return their error instead of setting the thread's last error.
        throw Poco::SystemException("Unable to open the key (" + systemErrorText(static_cast<DWORD>(rc)) + ")");
    }
    if (RegQueryValueExA(_key, _valueName.c_str(), nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    {
        RegCloseKey(_key);
        _key = nullptr;
        throw Poco::SystemException("Unexisting registry key value");
    }
}

RegistryKey::~RegistryKey()
{
    if (_key) RegCloseKey(_key);
}

bool RegistryKey::query(DWORD* type, BYTE* data, DWORD* size) const
{
    LONG rc = RegQueryValueExA(_key, _valueName.c_str(), nullptr, type, data, size);
    // The registry returns its error instead of setting the last error the messages quote.
    if (rc != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(rc));
    return rc == ERROR_SUCCESS;
}

std::string CompatibleRegistryValue::get() const
{
    DWORD type = 0;
    DWORD size = 0;
    if (!_key.query(&type, nullptr, &size))
        throw Poco::SystemException("Unable to retrieve value (" + lastSystemErrorText() + ")");
    if (type != REG_SZ && type != REG_EXPAND_SZ) throw Poco::DataFormatException("Value is not a string");
    if (size == 0) return std::string();
    std::vector<char> data(size + 1, '\0');
    if (!_key.query(&type, reinterpret_cast<BYTE*>(data.data()), &size))
        throw Poco::SystemException("Unable to retrieve value (" + lastSystemErrorText() + ")");
    return std::string(data.data());
}

//
// VirtualSerialPortEnum
//

VirtualSerialPortEnum::VirtualSerialPortEnum(unsigned short vendorId, unsigned short productId)
{
    char enumerator[64];
    std::snprintf(enumerator, sizeof(enumerator), "USB\\VID_%04x&PID_%x", vendorId, productId);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, enumerator, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE);
    if (set == INVALID_HANDLE_VALUE)
        throw Poco::SystemException("Unable to enumerate devices (" + lastSystemErrorText() + ")");
    try
    {
        for (Poco::AutoPtr<DeviceInstance> device(new DeviceInstance(set, 0)); device->isValid();
             device = device->next())
        {
            std::string id = device->getId();
            RegistryKey key(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Enum\\" + id + "\\Device Parameters\\PortName");
            std::string portName = CompatibleRegistryValue(key).get();
            _devices.emplace_back(portName, std::string(), SerialChannel::isPortInUse(portName));
        }
    }
    catch (...)
    {
        SetupDiDestroyDeviceInfoList(set);
        throw;
    }
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
