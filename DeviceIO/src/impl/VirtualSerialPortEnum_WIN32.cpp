#include <Poco/DeviceIO/Serial/DeviceInstance.h>
#include <Poco/DeviceIO/Serial/RegistryKey.h>
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/Environment.h>
#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/String.h>
#include <Poco/StringTokenizer.h>
#include <cstdio>
#include <set>
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

/// The USB part of a device instance id such as USB\VID_0483&PID_A027\0A1B2C, or of one
/// interface of a composite device (USB\VID_0483&PID_A027&MI_00\6&2F3E4A5B&0&0000).
struct UsbInstance
{
    unsigned vendor = 0;
    unsigned product = 0;
    /// The device's serial number; empty when Windows made the last part up (it holds '&').
    std::string serial;
};

bool parseHexField(const std::string& field, const char* name, unsigned& value)
{
    return Poco::icompare(field.substr(0, 4), name) == 0 && field.size() == 8 &&
           Poco::NumberParser::tryParseHex(field.substr(4), value);
}

bool parseInstanceId(const std::string& id, UsbInstance& out)
{
    Poco::StringTokenizer parts(id, "\\");
    if (parts.count() != 3 || Poco::icompare(parts[0], "USB") != 0) return false;
    Poco::StringTokenizer ids(parts[1], "&");
    if (ids.count() < 2 || !parseHexField(ids[0], "VID_", out.vendor) || !parseHexField(ids[1], "PID_", out.product))
        return false;
    out.serial = parts[2].find('&') == std::string::npos ? parts[2] : std::string();
    return true;
}

} // namespace

SetupApi SetupApi::system()
{
    return SetupApi{SetupDiGetClassDevsA, SetupDiEnumDeviceInfo, SetupDiGetDeviceInstanceIdA,
                    SetupDiDestroyDeviceInfoList};
}

SetupApi& SetupApi::current()
{
    static SetupApi functions = system();
    return functions;
}

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
    _valid = SetupApi::current().enumDeviceInfo(_set, _index, &_data) == TRUE;
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
    const SetupApi& api = SetupApi::current();
    api.getDeviceInstanceId(_set, &data, nullptr, 0, &required);
    if (required == 0) return std::string();
    std::vector<char> id(required, '\0');
    if (!api.getDeviceInstanceId(_set, &data, id.data(), required, &required))
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

VirtualSerialPortEnum::VirtualSerialPortEnum(unsigned short vendorId, unsigned short productId,
                                             const char* extraPortsVariable)
{
    const SetupApi& api = SetupApi::current();
    char enumerator[64];
    std::snprintf(enumerator, sizeof(enumerator), "USB\\VID_%04x&PID_%x", vendorId, productId);
    HDEVINFO set = api.getClassDevs(nullptr, enumerator, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE);
    if (set == INVALID_HANDLE_VALUE)
        throw Poco::SystemException("Unable to enumerate devices (" + lastSystemErrorText() + ")");
    // COM7 and com7 are one port.
    std::set<std::string> seen;
    try
    {
        for (Poco::AutoPtr<DeviceInstance> device(new DeviceInstance(set, 0)); device->isValid();
             device = device->next())
        {
            std::string id = device->getId();
            // The enumerator may list more than the device asked for (another product, a hub).
            UsbInstance usb;
            if (!parseInstanceId(id, usb) || usb.vendor != vendorId || usb.product != productId) continue;
            RegistryKey key(HKEY_LOCAL_MACHINE,
                            "SYSTEM\\CurrentControlSet\\Enum\\" + id + "\\Device Parameters\\PortName");
            std::string portName = CompatibleRegistryValue(key).get();
            seen.insert(Poco::toUpper(portName));
            _devices.emplace_back(portName, usb.serial, SerialChannel::isPortInUse(portName));
        }
    }
    catch (...)
    {
        api.destroyDeviceInfoList(set);
        throw;
    }
    api.destroyDeviceInfoList(set);
    if (!extraPortsVariable) return;
    Poco::StringTokenizer extra(Poco::Environment::get(extraPortsVariable, ""),
                                ";:", Poco::StringTokenizer::TOK_IGNORE_EMPTY | Poco::StringTokenizer::TOK_TRIM);
    for (const auto& port : extra)
    {
        if (seen.insert(Poco::toUpper(port)).second)
            _devices.emplace_back(port, std::string(), SerialChannel::isPortInUse(port));
    }
}

} // namespace Serial
} // namespace DeviceIO
} // namespace Poco
