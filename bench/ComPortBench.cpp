// Under Wine: ReadFile calls and CPU per frame of the Win32 serial channel, read through the
// protocol and its read-ahead, beside plain ReadFile readers of the same COM port in the same
// run; the port is a pseudo-terminal that a Linux drfn3 sim streams on. Then FT_Read calls per
// frame of the D2XX channel on the fake ftd2xx.dll.
//   ComPortBench [--frames N] [--rounds N] [--rate FRAMES_PER_S_PER_POD]
#include "ChannelCalls.h"
#include "FakeFtd2xx.h"
#include "Wine.h"

#include <Poco/DeviceIO/Ftd2xx/Ftd2xxChannel.h>
#include <Poco/DeviceIO/Ftd2xx/Ftd2xxDriver.h>
#include <Poco/DeviceIO/Serial/SerialChannel.h>
#include <Tarnlink/ControllerV2.h>
#include <Tarnlink/Driftnode3.h>
#include <Tarnlink/Protocol.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

namespace {

using namespace Tarnlink;

const std::string MARKER("\x55\xAA\x55\xAA", 4);

// The channel's ReadFile calls, counted by pointing the DeviceIO DLL's import of ReadFile here.
std::atomic<unsigned long> readFileCalls{0};
using ReadFileFunction = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
ReadFileFunction systemReadFile = nullptr;

BOOL WINAPI countedReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped)
{
    readFileCalls.fetch_add(1, std::memory_order_relaxed);
    return systemReadFile(handle, buffer, toRead, read, overlapped);
}

/// Replaces the address the module imports `function` of `dll` by; false when it imports none.
bool redirectImport(HMODULE module, const char* dll, const char* function, void* replacement, void** original)
{
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return false;
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name; ++d)
    {
        if (_stricmp(reinterpret_cast<const char*>(base + d->Name), dll) != 0 || d->OriginalFirstThunk == 0) continue;
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* address = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; name->u1.AddressOfData; ++name, ++address)
        {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&address->u1.Function, sizeof(address->u1.Function), PAGE_READWRITE, &protection);
            *original = reinterpret_cast<void*>(address->u1.Function);
            address->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&address->u1.Function, sizeof(address->u1.Function), protection, &protection);
            return true;
        }
    }
    return false;
}

/// This thread's time on a processor, in microseconds. Wine counts GetThreadTimes in clock ticks
/// (10 ms), too coarse for a frame; the Linux thread behind this one tells it in nanoseconds,
/// read through Wine's Z: drive (the read runs on this thread, so thread-self is this one).
bool fineCpuClock = false;

double threadCpuUs()
{
    char text[64] = {0};
    HANDLE h = CreateFileA("Z:\\proc\\thread-self\\schedstat", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE)
    {
        DWORD got = 0;
        const BOOL ok = ReadFile(h, text, sizeof(text) - 1, &got, nullptr);
        CloseHandle(h);
        fineCpuClock = ok && got > 0;
        if (fineCpuClock) return std::strtod(text, nullptr) / 1000.0;
    }
    FILETIME created, ended, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
    const auto us = [](const FILETIME& t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10.0;
    };
    return us(kernel) + us(user);
}

struct Figures
{
    double callsPerFrame = 0;
    double cpuUsPerFrame = 0;
    unsigned long lost = 0;
};

/// The second-generation controller's settings.
Poco::DeviceIO::Serial::SerialChannel* openPort(const std::string& port)
{
    Poco::AutoPtr<Poco::DeviceIO::Serial::SerialConfig> cfg(
        new Poco::DeviceIO::Serial::SerialConfig(port, 0xFFFFFFFF, 8, 'N', 0, 0, 19, 25, false, 4, 4096, 150));
    return new Poco::DeviceIO::Serial::SerialChannel(cfg.get());
}

/// The controller and its pods, streaming from the first frame read on.
struct Streaming
{
    Streaming(const std::string& port, const std::vector<unsigned>& serials) : protocol(new Protocol)
    {
        reopen(port);
        controller.reset(new ControllerV2(protocol.get()));
        for (std::size_t i = 0; i < serials.size(); ++i)
        {
            pods.emplace_back(new Driftnode3(controller.get(), serials[i]));
            pods.back()->setSlot(static_cast<unsigned>(i));
            pods.back()->startStreaming();
        }
        controller->setFrameMode(1);
        controller->setFrequency(100);
        controller->setState(Controller::Transmission);
    }
    ~Streaming()
    {
        try
        {
            controller->setState(Controller::Idle);
        }
        catch (const Poco::Exception& e)
        {
            std::cerr << "stopping the stream: " << e.displayText() << '\n';
        }
    }
    void reopen(const std::string& port)
    {
        Poco::AutoPtr<Poco::DeviceIO::Channel> channel(openPort(port));
        protocol->setChannel(channel.get());
    }
    void release() { protocol->setChannel(nullptr); }

    Protocol::Ptr protocol;
    std::unique_ptr<Controller> controller;
    std::vector<std::unique_ptr<Driftnode3>> pods;
};

/// The library: the serial channel through the protocol's read-ahead.
Figures libraryRound(Streaming& s, const std::string& port, unsigned frames, std::size_t& frameSize)
{
    s.reopen(port);
    std::string frame;
    // Onto the stream's frames first: the port was closed a moment.
    for (int i = 0; i < 50; ++i) s.controller->readDataFrame(frame);
    frameSize = MARKER.size() + 1 + frame.size();
    Figures out;
    const unsigned long calls0 = readFileCalls.load();
    const double cpu0 = threadCpuUs();
    // A stream that stopped ends the round: every frame not read counts as lost.
    unsigned failedInARow = 0;
    for (unsigned i = 0; i < frames; ++i)
    {
        if (s.controller->readDataFrame(frame))
        {
            failedInARow = 0;
            continue;
        }
        ++out.lost;
        if (++failedInARow == 10)
        {
            out.lost += frames - i - 1;
            break;
        }
    }
    out.cpuUsPerFrame = (threadCpuUs() - cpu0) / frames;
    out.callsPerFrame = static_cast<double>(readFileCalls.load() - calls0) / frames;
    s.release();
    return out;
}

/// A plain reader on its own handle, with the channel's time-outs: `chunk` bytes a ReadFile,
/// frames checked by their marker.
Figures plainRound(const std::string& port, unsigned frames, std::size_t frameSize, std::size_t chunk)
{
    Figures out;
    HANDLE h = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        out.lost = frames;
        return out;
    }
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 150, 0, 0};
    SetCommTimeouts(h, &timeouts);
    PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT);
    std::vector<char> buffer(std::max(chunk, frameSize));
    DWORD got = 0;
    // Onto a frame's start, a byte at a time.
    std::size_t matched = 0;
    while (matched < MARKER.size() && ReadFile(h, buffer.data(), 1, &got, nullptr) && got == 1)
        matched = buffer[0] == MARKER[matched] ? matched + 1 : 0;
    std::string stream = MARKER;
    unsigned long calls = 0;
    std::size_t checked = 0;
    unsigned seen = 0;
    const double cpu0 = threadCpuUs();
    while (seen < frames)
    {
        ++calls;
        const DWORD want = static_cast<DWORD>(chunk == frameSize ? frameSize - (stream.size() % frameSize) : chunk);
        if (!ReadFile(h, buffer.data(), want, &got, nullptr) || got == 0) break;
        stream.append(buffer.data(), got);
        for (; checked + frameSize <= stream.size() && seen < frames; checked += frameSize, ++seen)
            if (stream.compare(checked, MARKER.size(), MARKER) != 0) ++out.lost;
        stream.erase(0, checked);
        checked = 0;
    }
    out.cpuUsPerFrame = (threadCpuUs() - cpu0) / frames;
    out.callsPerFrame = static_cast<double>(calls) / frames;
    out.lost += frames - seen;
    CloseHandle(h);
    return out;
}

Figures median(std::vector<Figures> runs)
{
    Figures out;
    for (auto field : {&Figures::callsPerFrame, &Figures::cpuUsPerFrame})
    {
        std::sort(runs.begin(), runs.end(),
                  [field](const Figures& a, const Figures& b) { return a.*field < b.*field; });
        out.*field = runs[runs.size() / 2].*field;
    }
    for (const Figures& f : runs) out.lost += f.lost;
    return out;
}

void print(const char* what, const Figures& f)
{
    std::printf("%-46s %8.3f %10.1f %6lu\n", what, f.callsPerFrame, f.cpuUsPerFrame, f.lost);
}

} // namespace

int run(int argc, char** argv)
{
    unsigned frames = 3000, rounds = 3, rate = 500;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string option = argv[i];
        const unsigned value = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        if (option == "--frames")
            frames = std::max(value, 100u);
        else if (option == "--rounds")
            rounds = std::max(value, 1u);
        else if (option == "--rate")
            rate = std::max(value, 1u);
    }
    const std::string unavailable = WineTest::LinuxSim::unavailable();
    if (!unavailable.empty())
    {
        std::cerr << "ComPortBench: " << unavailable << '\n';
        return 1;
    }
    void* original = nullptr;
    if (!redirectImport(GetModuleHandleA("libPocoDeviceIO.dll"), "kernel32.dll", "ReadFile",
                        reinterpret_cast<void*>(&countedReadFile), &original))
    {
        std::cerr << "ComPortBench: libPocoDeviceIO.dll imports no ReadFile to count\n";
        return 1;
    }
    systemReadFile = reinterpret_cast<ReadFileFunction>(original);

    const std::vector<unsigned> serials{0xA10001, 0xA10002};
    WineTest::LinuxSim sim(70, {"--sim-pods", "A10001,A10002", "--rate", std::to_string(rate)});
    if (!sim.started())
    {
        std::cerr << "ComPortBench: the simulator did not come up on " << sim.port() << '\n';
        return 1;
    }
    std::vector<Figures> library, oneFrame, buffer;
    std::size_t frameSize = 0;
    {
        Streaming streaming(sim.port(), serials);
        // The readers take turns, so a change of the machine's load reaches all of them.
        for (unsigned round = 0; round < rounds; ++round)
        {
            library.push_back(libraryRound(streaming, sim.port(), frames, frameSize));
            if (frameSize <= MARKER.size() + 1)
            {
                std::cerr << "ComPortBench: no frame came from " << sim.port() << '\n';
                return 1;
            }
            oneFrame.push_back(plainRound(sim.port(), frames, frameSize, frameSize));
            buffer.push_back(plainRound(sim.port(), frames, frameSize, 4096));
        }
        streaming.reopen(sim.port());
    }
    sim.stop();

    std::printf("Under Wine: %s, a Linux drfn3 sim, %zu pods at %u frames/s each, %zu-byte frames; "
                "medians of %u rounds of %u frames\n",
                sim.port().c_str(), serials.size(), rate, frameSize, rounds, frames);
    std::printf("CPU time of the reading thread from %s\n",
                fineCpuClock ? "/proc/thread-self/schedstat" : "GetThreadTimes (10 ms ticks under Wine)");
    std::printf("%-46s %8s %10s %6s\n", "reader", "ReadFile", "CPU us", "lost");
    std::printf("%-46s %8s %10s %6s\n", "", "/frame", "/frame", "");
    print("serial channel through the protocol", median(library));
    print("plain ReadFile, a frame a call", median(oneFrame));
    print("plain ReadFile, 4096 bytes a call", median(buffer));

    using namespace Poco::DeviceIO::Ftd2xx;
    SetEnvironmentVariableA(Ftd2xxDriver::LIBRARY_VARIABLE, nullptr);
    fakeftd2xx_reset();
    fakeftd2xx_addDevice("BENCH1", "DRFNCTRL", 0, 0);
    TarnlinkBench::CallsPerFrame d2xx;
    {
        Poco::AutoPtr<Ftd2xxConfig> cfg(new Ftd2xxConfig("BENCH1", 2000000, 8, 0, 0, 0, 0, 0, 4096, 200, 2));
        Poco::AutoPtr<Ftd2xxChannel> port(new Ftd2xxChannel(cfg.get()));
        auto queue = [](bool late) {
            return [late](const std::string& bytes) {
                fakeftd2xx_arriveLate("BENCH1", late);
                fakeftd2xx_queueRead("BENCH1", bytes.data(), bytes.size());
            };
        };
        d2xx = TarnlinkBench::countCalls(
            *port, queue(false), queue(true), [] { return fakeftd2xx_readCalls("BENCH1"); }, 400);
    }
    fakeftd2xx_reset();
    std::printf("D2XX channel on ftd2xx.dll (the fake), FT_Read per frame: %.3f with frames waiting, %.3f with "
                "each arriving during its read (before the read-ahead: %.3f, %.3f)\n",
                d2xx.queued, d2xx.oneByOne, d2xx.queuedBefore, d2xx.oneByOneBefore);
    return 0;
}

int main(int argc, char** argv)
{
    try
    {
        return run(argc, argv);
    }
    catch (const Poco::Exception& e)
    {
        std::cerr << "ComPortBench: " << e.displayText() << '\n';
        return 1;
    }
}
