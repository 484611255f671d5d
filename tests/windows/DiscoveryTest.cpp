// Discovery as Windows does it: SetupAPI lists the present USB devices, the registry names their
// COM ports. The devices are written into the Wine prefix's registry, where Wine's SetupAPI finds
// them too; a stand-in SetupAPI serves instance ids Wine would not list.
#include "Wine.h"

#include "FakeFtd2xx.h"
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDeviceInfo.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/DeviceIO/Serial/DeviceInstance.h>
#include <Poco/DeviceIO/Serial/VirtualSerialPortEnum.h>
#include <Poco/Exception.h>
#include <Tarnlink/ControllerEnum.h>

#include <gtest/gtest.h>

using namespace Poco::DeviceIO::Serial;
using WineTest::RegisteredDevice;
using WineTest::systemText;

namespace {

/// port name, identifier, in use
std::vector<std::string> listed(const VirtualSerialPortEnum& ports)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < ports.count(); ++i)
        out.push_back(ports.get(i).portName + " " + ports.get(i).identifier + (ports.get(i).inUse ? " in use" : ""));
    return out;
}

template <typename E>
std::string failureOf(unsigned short vendor, unsigned short product)
{
    try
    {
        VirtualSerialPortEnum ports(vendor, product, nullptr);
    }
    catch (const E& e)
    {
        return e.message();
    }
    return "no exception";
}

/// A device-information set made of the instance ids in `ids`.
struct FakeSetupApi
{
    static std::vector<std::string> ids;
    static DWORD classDevsError;
    /// The id at this index cannot be read (ERROR_INVALID_DATA).
    static DWORD unreadable;
    static std::string enumerator;
    static DWORD flags;
    static int destroyed;

    static HDEVINFO WINAPI getClassDevs(const GUID*, PCSTR e, HWND, DWORD f)
    {
        enumerator = e ? e : "";
        flags = f;
        if (classDevsError == 0) return reinterpret_cast<HDEVINFO>(&ids);
        SetLastError(classDevsError);
        return INVALID_HANDLE_VALUE;
    }
    static BOOL WINAPI enumDeviceInfo(HDEVINFO, DWORD index, PSP_DEVINFO_DATA data)
    {
        if (data->cbSize != sizeof(SP_DEVINFO_DATA) || index >= ids.size())
        {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        data->DevInst = index;
        return TRUE;
    }
    static BOOL WINAPI getDeviceInstanceId(HDEVINFO, PSP_DEVINFO_DATA data, PSTR id, DWORD size, PDWORD required)
    {
        const std::string& text = ids[data->DevInst];
        *required = static_cast<DWORD>(text.size() + 1);
        if (!id || size < *required || data->DevInst == unreadable)
        {
            SetLastError(id ? ERROR_INVALID_DATA : ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        std::copy(text.c_str(), text.c_str() + text.size() + 1, id);
        return TRUE;
    }
    static BOOL WINAPI destroyDeviceInfoList(HDEVINFO)
    {
        ++destroyed;
        return TRUE;
    }
};
std::vector<std::string> FakeSetupApi::ids;
DWORD FakeSetupApi::classDevsError = 0;
DWORD FakeSetupApi::unreadable = MAXDWORD;
std::string FakeSetupApi::enumerator;
DWORD FakeSetupApi::flags = 0;
int FakeSetupApi::destroyed = 0;

class ScopedFakeSetupApi
{
public:
    ScopedFakeSetupApi() : _saved(SetupApi::current())
    {
        SetupApi::current() = SetupApi{FakeSetupApi::getClassDevs, FakeSetupApi::enumDeviceInfo,
                                       FakeSetupApi::getDeviceInstanceId, FakeSetupApi::destroyDeviceInfoList};
    }
    ~ScopedFakeSetupApi() { SetupApi::current() = _saved; }

private:
    SetupApi _saved;
};

} // namespace

TEST(WindowsDiscovery, RegisteredControllersAreListedInSetupApiOrderWithTheExtraPortsAfter)
{
    // Registry order, the order Wine's SetupAPI lists them in, is not port name order here.
    RegisteredDevice first("USB\\VID_0483&PID_A027\\0A1B2C", "COM42");
    RegisteredDevice second("USB\\VID_0483&PID_A027\\5&1A2B3C&0&2", "COM41");
    RegisteredDevice other("USB\\VID_0403&PID_6001\\FT1A2B3C", "COM43");
    ASSERT_TRUE(first.made() && second.made() && other.made());
    Poco::Environment::set(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, "COM44; com42");
    // No dosdevices link names these ports: they cannot be opened, so they count as in use.
    EXPECT_EQ((std::vector<std::string>{"COM42 0A1B2C in use", "COM41  in use", "COM44  in use"}),
              listed(VirtualSerialPortEnum(0x0483, 0xA027)));
    EXPECT_EQ(std::vector<std::string>{"COM43 FT1A2B3C in use"},
              listed(VirtualSerialPortEnum(0x0403, 0x6001, nullptr)));

    fakeftd2xx_reset();
    Tarnlink::ControllerEnum all(false);
    ASSERT_EQ(3u, all.count());
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(2u, all.get(i)->getGeneration());
    EXPECT_EQ("COM41", Poco::AnyCast<std::string>(all.get(1)->getProperty("PortName")));
    EXPECT_EQ(0u, Tarnlink::ControllerEnum(true).count()) << "none of them can be opened";
    Poco::Environment::set(VirtualSerialPortEnum::EXTRA_PORTS_VARIABLE, "");

    {
        RegisteredDevice nameless("USB\\VID_0483&PID_A027\\0A1B2D", "");
        EXPECT_EQ("Unexisting registry key value", failureOf<Poco::SystemException>(0x0483, 0xA027));
    }
    RegisteredDevice numbered("USB\\VID_0483&PID_A027\\0A1B2D", "", REG_DWORD);
    EXPECT_EQ("Value is not a string", failureOf<Poco::DataFormatException>(0x0483, 0xA027));
    fakeftd2xx_addDevice("FT9", "DRFNCTRL", 0, 0);
    Tarnlink::ControllerEnum rest(false);
    ASSERT_EQ(1u, rest.count()) << "a failed listing hides no generation 1 controller";
    EXPECT_EQ(1u, rest.get(0)->getGeneration());
    fakeftd2xx_reset();
}

TEST(WindowsDiscovery, InstanceIdsNameProductAndSerialAndFailuresCarryTheSystemsText)
{
    RegisteredDevice composite("USB\\VID_0483&PID_A027&MI_00\\6&2F3E4A5B&0&0000", "COM51");
    RegisteredDevice plain("USB\\VID_0483&PID_A027\\0A1B2C", "COM52");
    ScopedFakeSetupApi fake;
    FakeSetupApi::ids = {"USB\\VID_0483&PID_A027&MI_00\\6&2F3E4A5B&0&0000", "USB\\VID_0403&PID_6001\\FT1",
                         "HID\\VID_0483&PID_A027\\1", "USB\\VID_0483&PID_A0270\\2", "usb\\vid_0483&pid_a027\\0A1B2C"};
    FakeSetupApi::destroyed = 0;
    EXPECT_EQ((std::vector<std::string>{"COM51  in use", "COM52 0A1B2C in use"}),
              listed(VirtualSerialPortEnum(0x0483, 0xA027, nullptr)));
    EXPECT_EQ("USB\\VID_0483&PID_a027", FakeSetupApi::enumerator);
    EXPECT_EQ(static_cast<DWORD>(DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE), FakeSetupApi::flags);
    EXPECT_EQ(1, FakeSetupApi::destroyed);

    FakeSetupApi::unreadable = 4;
    EXPECT_EQ("Unable to retrieve Device ID (" + systemText(ERROR_INVALID_DATA) + ")",
              failureOf<Poco::SystemException>(0x0483, 0xA027));
    EXPECT_EQ(2, FakeSetupApi::destroyed) << "the set is released when the listing stops";
    FakeSetupApi::unreadable = MAXDWORD;

    FakeSetupApi::classDevsError = ERROR_ACCESS_DENIED;
    EXPECT_EQ("Unable to enumerate devices (" + systemText(ERROR_ACCESS_DENIED) + ")",
              failureOf<Poco::SystemException>(0x0483, 0xA027));
    EXPECT_EQ(2, FakeSetupApi::destroyed) << "no set, nothing to release";
    FakeSetupApi::classDevsError = 0;
    EXPECT_FALSE(systemText(ERROR_ACCESS_DENIED).empty());
}

TEST(WindowsD2xx, TheDriverIsLoadedByItsWindowsNameFromBesideTheProgram)
{
    using namespace Poco::DeviceIO::Ftd2xx;
    SetEnvironmentVariableA(Ftd2xxDriver::LIBRARY_VARIABLE, nullptr);
    EXPECT_EQ("ftd2xx.dll", Ftd2xxDriver::libraryPath());
    fakeftd2xx_reset();
    fakeftd2xx_addDevice("FT1A2B3C", "DRFNCTRL", 0, 0);
    // The fake this program links is the ftd2xx.dll beside it: the loader finds the same module.
    const std::vector<Ftd2xxDeviceInfo> devices = enumerateDevices();
    ASSERT_EQ(1u, devices.size());
    EXPECT_EQ("FT1A2B3C", devices[0].serialNumber);
    fakeftd2xx_reset();
}
