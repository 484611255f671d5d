#ifndef Tests_Wine_INCLUDED
#define Tests_Wine_INCLUDED

// What the Windows tests need from the Wine prefix they run in: a COM port that a Linux
// drfn3 sim serves, and USB devices recorded in the registry as Windows records plugged-in ones.

#include <winsock2.h>
#include <windows.h>

#include <Poco/Environment.h>
#include <Poco/File.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace WineTest {

inline bool underWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

/// The same file as a Windows path: Wine's Z: drive is the Unix root.
inline std::string windowsPath(const std::string& unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

/// The system's text for an error code, as FormatMessageA gives it, trailing blanks and line
/// breaks removed.
inline std::string systemText(DWORD code)
{
    char text[512] = {0};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof(text), nullptr);
    std::string result(text, n);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' '))
        result.pop_back();
    return result;
}

/// A Linux drfn3 sim (a generation 2 controller and its pods) on a pseudo-terminal that the
/// prefix's dosdevices/comN names, so this program opens it as COMN. It runs until stop() (or
/// two minutes pass): Wine starts Linux programs but gives no handle to end them, nor a pipe
/// for their input, so the simulator stops once a file appears.
class LinuxSim
{
public:
    LinuxSim(unsigned number, const std::vector<std::string>& arguments = {})
        : _port("COM" + std::to_string(number)),
          _stopFile(std::string(TEST_WORK_DIR) + "/sim-com" + std::to_string(number) + ".stop")
    {
        std::remove(windowsPath(_stopFile).c_str());
        const std::string link = Poco::Environment::get("WINEPREFIX", "") + "/dosdevices/com" + std::to_string(number);
        std::string command =
            "\"" LINUX_DRFN3 "\" sim --seconds 120 --until-file \"" + _stopFile + "\" --link \"" + link + "\"";
        for (const std::string& argument : arguments) command += " \"" + argument + "\"";
        STARTUPINFOA start{};
        start.cb = sizeof(start);
        PROCESS_INFORMATION process{};
        _started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start, &process);
        if (process.hProcess) CloseHandle(process.hProcess);
        if (process.hThread) CloseHandle(process.hThread);
        _started = _started && waitFor([this] { return present(); }, std::chrono::seconds(20));
    }
    ~LinuxSim() { stop(); }
    LinuxSim(const LinuxSim&) = delete;
    LinuxSim& operator=(const LinuxSim&) = delete;

    /// Why no simulator can be served here; empty when one can.
    static std::string unavailable()
    {
        if (!underWine()) return "the simulator's COM ports are Wine's";
        if (Poco::Environment::get("WINEPREFIX", "").empty()) return "WINEPREFIX is not set";
        if (!Poco::File(windowsPath(LINUX_DRFN3)).exists())
            return std::string("no Linux drfn3 at ") + LINUX_DRFN3 + " (TARNLINK_LINUX_DRFN3)";
        return std::string();
    }

    bool started() const { return _started; }
    const std::string& port() const { return _port; }
    /// The port opens: the simulator serves it.
    bool present() const
    {
        HANDLE handle = CreateFileA(("\\\\.\\" + _port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        CloseHandle(handle);
        return true;
    }
    /// Ends the simulator; true once its port is gone.
    bool stop()
    {
        if (!_stopped)
        {
            std::ofstream(windowsPath(_stopFile)) << "stop\n";
            _stopped = true;
        }
        const bool gone = waitFor([this] { return !present(); }, std::chrono::seconds(20));
        std::remove(windowsPath(_stopFile).c_str());
        return gone;
    }

private:
    std::string _port;
    std::string _stopFile;
    bool _started = false;
    bool _stopped = false;
};

/// A USB device as Windows records a plugged-in one under HKLM\SYSTEM\CurrentControlSet\Enum:
/// SetupAPI lists it by its instance id, and its PortName value (a string, unless another type
/// is given; none when the name is empty) names its COM port. Removed again at destruction.
class RegisteredDevice
{
public:
    RegisteredDevice(const std::string& instanceId, const std::string& portName, DWORD type = REG_SZ)
        : _key("SYSTEM\\CurrentControlSet\\Enum\\" + instanceId)
    {
        HKEY device = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, _key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &device,
                            nullptr) != ERROR_SUCCESS)
            return;
        // The class of ports (COM and LPT).
        const std::string ports = "{4d36e978-e325-11ce-bfc1-08002be10318}";
        RegSetValueExA(device, "ClassGUID", 0, REG_SZ, reinterpret_cast<const BYTE*>(ports.c_str()),
                       static_cast<DWORD>(ports.size() + 1));
        HKEY parameters = nullptr;
        if (RegCreateKeyExA(device, "Device Parameters", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &parameters,
                            nullptr) == ERROR_SUCCESS)
        {
            const DWORD number = 7;
            if (type == REG_DWORD)
                RegSetValueExA(parameters, "PortName", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                               sizeof(number));
            else if (!portName.empty())
                RegSetValueExA(parameters, "PortName", 0, type, reinterpret_cast<const BYTE*>(portName.c_str()),
                               static_cast<DWORD>(portName.size() + 1));
            RegCloseKey(parameters);
            _made = true;
        }
        RegCloseKey(device);
    }
    ~RegisteredDevice()
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, _key.c_str());
        // The product's key too, once no device of it is left.
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, _key.substr(0, _key.rfind('\\')).c_str());
    }
    RegisteredDevice(const RegisteredDevice&) = delete;
    RegisteredDevice& operator=(const RegisteredDevice&) = delete;

    bool made() const { return _made; }

private:
    std::string _key;
    bool _made = false;
};

} // namespace WineTest

#endif
