#include "FakeFtd2xx.h"
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxApi.h>
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#if defined(FAKEFTD2XX_WITH_SIM)
#include <Tarnlink/Sim/Simulator.h>
#endif

using namespace Poco::DeviceIO::Ftd2xx;

namespace {

const FT_STATUS FT_INVALID_HANDLE = 1;
const FT_STATUS FT_DEVICE_NOT_FOUND = 2;
const FT_STATUS FT_DEVICE_NOT_OPENED = 3;
const FT_STATUS FT_IO_ERROR = 4;

struct Device
{
    std::string serial;
    std::string description;
    unsigned flags = 0;
    bool echo = false;
    std::deque<std::string> chunks;
    std::string written;
    long shortWrite = -1;
    int openHandles = 0;
    std::string calls;
    FT_DWORD readTimeout = 0;
    unsigned readCalls = 0;
    unsigned shortReads = 0;
    bool arriveLate = false;
#if defined(FAKEFTD2XX_WITH_SIM)
    std::unique_ptr<Tarnlink::Sim::Simulator> sim;
    /// The simulator's plug count when the open handle was made.
    unsigned openedPlug = 0;
#endif
};

struct State
{
    std::recursive_mutex mutex;
    std::vector<std::unique_ptr<Device>> devices;
    std::map<std::string, FT_STATUS> failures;
};

State& state()
{
    static State s;
    return s;
}

/// An unplugged simulated controller is not on the bus.
bool unplugged(const Device& d)
{
#if defined(FAKEFTD2XX_WITH_SIM)
    return d.sim && d.sim->gone();
#else
    (void)d;
    return false;
#endif
}

/// A handle to a controller that went away stays dead, even after a replug.
bool cutOff(const Device& d)
{
#if defined(FAKEFTD2XX_WITH_SIM)
    return d.sim && (d.sim->gone() || d.sim->plugCount() != d.openedPlug);
#else
    (void)d;
    return false;
#endif
}

std::vector<Device*> present()
{
    std::vector<Device*> out;
    for (auto& d : state().devices)
        if (!unplugged(*d)) out.push_back(d.get());
    return out;
}

Device* find(const char* serial)
{
    for (auto& d : state().devices)
        if (d->serial == serial) return d.get();
    return nullptr;
}

Device* fromHandle(FT_HANDLE handle)
{
    for (auto& d : state().devices)
        if (d.get() == handle && d->openHandles > 0) return d.get();
    return nullptr;
}

/// Non-zero when a failure was scripted for this entry point.
FT_STATUS scripted(const char* entryPoint)
{
    auto it = state().failures.find(entryPoint);
    if (it == state().failures.end()) return FT_OK;
    FT_STATUS status = it->second;
    state().failures.erase(it);
    return status;
}

#define FAKE_ENTER(name)                                                                                               \
    std::lock_guard<std::recursive_mutex> lock(state().mutex);                                                         \
    if (FT_STATUS failure = scripted(name)) return failure

FT_STATUS configureCall(FT_HANDLE handle, const char* name, const std::string& args)
{
    FAKE_ENTER(name);
    Device* d = fromHandle(handle);
    if (!d) return FT_INVALID_HANDLE;
    if (cutOff(*d)) return FT_IO_ERROR;
    d->calls += std::string(name + 3) + "(" + args + ");";
    return FT_OK;
}

} // namespace

extern "C" {

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_Open(int, FT_HANDLE*)
{
    return FT_DEVICE_NOT_FOUND; // only opening by serial number is offered
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_OpenEx(void* arg, FT_DWORD flags, FT_HANDLE* handle)
{
    FAKE_ENTER("FT_OpenEx");
    if (flags != FT_OPEN_BY_SERIAL_NUMBER || !arg || !handle) return FT_DEVICE_NOT_FOUND;
    Device* d = find(static_cast<const char*>(arg));
    if (d && unplugged(*d)) return FT_DEVICE_NOT_FOUND;
    if (!d || d->openHandles > 0 || (d->flags & FT_FLAGS_OPENED)) return FT_DEVICE_NOT_OPENED;
    ++d->openHandles;
#if defined(FAKEFTD2XX_WITH_SIM)
    if (d->sim) d->openedPlug = d->sim->plugCount();
#endif
    *handle = d;
    return FT_OK;
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_Close(FT_HANDLE handle)
{
    FAKE_ENTER("FT_Close");
    Device* d = fromHandle(handle);
    if (!d) return FT_INVALID_HANDLE;
    --d->openHandles;
    return FT_OK;
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_Read(FT_HANDLE handle, void* buffer, FT_DWORD toRead, FT_DWORD* got)
{
    FAKE_ENTER("FT_Read");
    Device* d = fromHandle(handle);
    if (!d) return FT_INVALID_HANDLE;
    ++d->readCalls;
    *got = 0;
#if defined(FAKEFTD2XX_WITH_SIM)
    if (d->sim)
    {
        // Virtual time: a read that would wait moves the simulator's clock instead.
        auto& sim = *d->sim;
        auto guard = sim.lock();
        if (cutOff(*d)) return FT_IO_ERROR;
        if (sim.available() == 0) sim.waitForOutput(sim.clock().now() + Tarnlink::Sim::Micros(d->readTimeout) * 1000);
        if (cutOff(*d)) return FT_IO_ERROR; // it went while the read waited
        std::string bytes = sim.take(toRead);
        std::memcpy(buffer, bytes.data(), bytes.size());
        *got = static_cast<FT_DWORD>(bytes.size());
        return FT_OK;
    }
#endif
    if (d->chunks.empty() || toRead == 0)
    {
        if (toRead > 0) ++d->shortReads;
        return FT_OK;
    }
    std::string& chunk = d->chunks.front();
    std::size_t n = std::min<std::size_t>(toRead, chunk.size());
    std::memcpy(buffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) d->chunks.pop_front();
    *got = static_cast<FT_DWORD>(n);
    if (n < toRead) ++d->shortReads;
    return FT_OK;
}

// What has arrived: a simulator's readable bytes, else the first queued chunk (the later ones
// arrive while a read waits).
FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_GetQueueStatus(FT_HANDLE handle, FT_DWORD* queued)
{
    FAKE_ENTER("FT_GetQueueStatus");
    Device* d = fromHandle(handle);
    if (!d) return FT_INVALID_HANDLE;
    *queued = 0;
#if defined(FAKEFTD2XX_WITH_SIM)
    if (d->sim)
    {
        if (cutOff(*d)) return FT_IO_ERROR;
        *queued = static_cast<FT_DWORD>(d->sim->available());
        return FT_OK;
    }
#endif
    if (!d->chunks.empty() && !d->arriveLate) *queued = static_cast<FT_DWORD>(d->chunks.front().size());
    return FT_OK;
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_Write(FT_HANDLE handle, void* data, FT_DWORD length, FT_DWORD* written)
{
    FAKE_ENTER("FT_Write");
    Device* d = fromHandle(handle);
    if (!d) return FT_INVALID_HANDLE;
    if (cutOff(*d)) return FT_IO_ERROR;
    FT_DWORD n = length;
    if (d->shortWrite >= 0)
    {
        n = std::min<FT_DWORD>(length, static_cast<FT_DWORD>(d->shortWrite));
        d->shortWrite = -1;
    }
    std::string bytes(static_cast<const char*>(data), n);
    d->written += bytes;
#if defined(FAKEFTD2XX_WITH_SIM)
    if (d->sim) d->sim->feed(bytes);
#endif
    if (d->echo && !bytes.empty()) d->chunks.push_back(bytes);
    *written = n;
    return FT_OK;
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_SetBaudRate(FT_HANDLE handle, FT_DWORD baud)
{
    return configureCall(handle, "FT_SetBaudRate", std::to_string(baud));
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_SetDataCharacteristics(FT_HANDLE handle, unsigned char wordLength,
                                                                 unsigned char stopBits, unsigned char parity)
{
    return configureCall(handle, "FT_SetDataCharacteristics",
                         std::to_string(wordLength) + "," + std::to_string(stopBits) + "," + std::to_string(parity));
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_SetFlowControl(FT_HANDLE handle, unsigned short flowControl,
                                                         unsigned char xon, unsigned char xoff)
{
    return configureCall(handle, "FT_SetFlowControl",
                         std::to_string(flowControl) + "," + std::to_string(xon) + "," + std::to_string(xoff));
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_Purge(FT_HANDLE handle, FT_DWORD mask)
{
    return configureCall(handle, "FT_Purge", std::to_string(mask));
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_SetTimeouts(FT_HANDLE handle, FT_DWORD readTimeout, FT_DWORD writeTimeout)
{
    FT_STATUS status =
        configureCall(handle, "FT_SetTimeouts", std::to_string(readTimeout) + "," + std::to_string(writeTimeout));
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    if (status == FT_OK) fromHandle(handle)->readTimeout = readTimeout;
    return status;
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_SetLatencyTimer(FT_HANDLE handle, unsigned char milliseconds)
{
    return configureCall(handle, "FT_SetLatencyTimer", std::to_string(milliseconds));
}

#if !defined(FAKEFTD2XX_WITHOUT_SETUSBPARAMETERS)
FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_SetUSBParameters(FT_HANDLE handle, FT_DWORD inSize, FT_DWORD outSize)
{
    return configureCall(handle, "FT_SetUSBParameters", std::to_string(inSize) + "," + std::to_string(outSize));
}
#endif

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_GetDeviceInfo(FT_HANDLE handle, FT_DWORD* type, FT_DWORD* id, char* serial,
                                                        char* description, void*)
{
    FAKE_ENTER("FT_GetDeviceInfo");
    Device* d = fromHandle(handle);
    if (!d) return FT_INVALID_HANDLE;
    if (type) *type = 5;
    if (id) *id = 0x04036001;
    if (serial) std::strncpy(serial, d->serial.c_str(), 16);
    if (description) std::strncpy(description, d->description.c_str(), 64);
    return FT_OK;
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_CreateDeviceInfoList(FT_DWORD* count)
{
    FAKE_ENTER("FT_CreateDeviceInfoList");
    *count = static_cast<FT_DWORD>(present().size());
    return FT_OK;
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, FT_DWORD* count)
{
    FAKE_ENTER("FT_GetDeviceInfoList");
    const std::vector<Device*> devices = present();
    FT_DWORD n = std::min<FT_DWORD>(*count, static_cast<FT_DWORD>(devices.size()));
    for (FT_DWORD i = 0; i < n; ++i)
    {
        const Device& d = *devices[i];
        FT_DEVICE_LIST_INFO_NODE& node = nodes[i];
        std::memset(&node, 0, sizeof(node));
        node.Flags = d.flags | (d.openHandles > 0 ? FT_FLAGS_OPENED : 0);
        node.Type = 5;
        node.ID = 0x04036001;
        node.LocId = 0x1000 + i;
        std::strncpy(node.SerialNumber, d.serial.c_str(), sizeof(node.SerialNumber) - 1);
        std::strncpy(node.Description, d.description.c_str(), sizeof(node.Description) - 1);
        node.ftHandle = d.openHandles > 0 ? const_cast<Device*>(&d) : nullptr;
    }
    *count = n;
    return FT_OK;
}

FAKEFTD2XX_EXPORT FT_STATUS FTD2XX_API FT_GetDriverVersion(FT_HANDLE handle, FT_DWORD* version)
{
    FAKE_ENTER("FT_GetDriverVersion");
    if (!fromHandle(handle)) return FT_INVALID_HANDLE;
    *version = 0x00021204;
    return FT_OK;
}

void fakeftd2xx_reset()
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    state().devices.clear();
    state().failures.clear();
}

void fakeftd2xx_addDevice(const char* serial, const char* description, unsigned flags, int echo)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    auto d = std::make_unique<Device>();
    d->serial = serial;
    d->description = description;
    d->flags = flags;
    d->echo = echo != 0;
    state().devices.push_back(std::move(d));
}

void fakeftd2xx_queueRead(const char* serial, const char* data, std::size_t length)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    if (Device* d = find(serial)) d->chunks.emplace_back(data, length);
}

void fakeftd2xx_shortWrite(const char* serial, unsigned written)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    if (Device* d = find(serial)) d->shortWrite = written;
}

void fakeftd2xx_failNext(const char* entryPoint, unsigned status)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    state().failures[entryPoint] = status;
}

std::size_t fakeftd2xx_written(const char* serial, char* out, std::size_t max)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Device* d = find(serial);
    if (!d) return 0;
    std::memcpy(out, d->written.data(), std::min(max, d->written.size()));
    return d->written.size();
}

int fakeftd2xx_openHandles(const char* serial)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Device* d = find(serial);
    return d ? d->openHandles : -1;
}

unsigned fakeftd2xx_readCalls(const char* serial)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Device* d = find(serial);
    return d ? d->readCalls : 0;
}

unsigned fakeftd2xx_shortReads(const char* serial)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Device* d = find(serial);
    return d ? d->shortReads : 0;
}

void fakeftd2xx_arriveLate(const char* serial, int late)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    if (Device* d = find(serial)) d->arriveLate = late != 0;
}

std::size_t fakeftd2xx_calls(const char* serial, char* out, std::size_t max)
{
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Device* d = find(serial);
    if (!d) return 0;
    std::memcpy(out, d->calls.data(), std::min(max, d->calls.size()));
    return d->calls.size();
}

void* fakeftd2xx_simulator(const char* serial)
{
#if defined(FAKEFTD2XX_WITH_SIM)
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    Device* d = find(serial);
    return d ? d->sim.get() : nullptr;
#else
    (void)serial;
    return nullptr;
#endif
}

int fakeftd2xx_addSimController(const char* serial, const unsigned* podSerials, std::size_t podCount)
{
#if defined(FAKEFTD2XX_WITH_SIM)
    std::lock_guard<std::recursive_mutex> lock(state().mutex);
    fakeftd2xx_addDevice(serial, "DRFNCTRL", 0, 0);
    Device& d = *state().devices.back();
    d.sim = std::make_unique<Tarnlink::Sim::Simulator>(Tarnlink::Sim::Generation::First);
    for (std::size_t i = 0; i < podCount; ++i) d.sim->addPod(podSerials[i]);
    return 1;
#else
    (void)serial;
    (void)podSerials;
    (void)podCount;
    return 0;
#endif
}

} // extern "C"
