#include "FakeWin32Serial.h"
#include <windows.h>
#include <algorithm>
#include <cstring>
#include <deque>

namespace {

struct Port
{
    int handle = 0;
    bool open = false;
    COMMTIMEOUTS timeouts{};
    std::string waiting;
    std::deque<std::string> later;
    std::string written;
    unsigned readFileCalls = 0;
    unsigned waitedOut = 0;
    DWORD lastError = 0;
};

Port& port()
{
    static Port p;
    return p;
}

bool ours(HANDLE handle)
{
    return port().open && handle == &port().handle;
}

BOOL fail(DWORD error)
{
    port().lastError = error;
    return 0;
}

} // namespace

namespace FakeWin32 {

void reset()
{
    port() = Port();
}

void arrive(const std::string& bytes)
{
    port().waiting += bytes;
}

void arriveLater(const std::string& bytes)
{
    port().later.push_back(bytes);
}

unsigned readFileCalls()
{
    return port().readFileCalls;
}

unsigned waitedOut()
{
    return port().waitedOut;
}

std::size_t unread()
{
    std::size_t n = port().waiting.size();
    for (const std::string& piece : port().later) n += piece.size();
    return n;
}

std::string written()
{
    return port().written;
}

} // namespace FakeWin32

DWORD GetLastError()
{
    return port().lastError;
}

DWORD FormatMessageA(DWORD, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, void*)
{
    const std::string text = "Fake error " + std::to_string(messageId) + ".\r\n";
    const DWORD n = std::min<DWORD>(size, static_cast<DWORD>(text.size()));
    std::memcpy(buffer, text.data(), n);
    return n;
}

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    if (port().open || std::strncmp(name, "\\\\.\\", 4) != 0)
    {
        fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    port().open = true;
    return &port().handle;
}

BOOL CloseHandle(HANDLE handle)
{
    if (!ours(handle)) return fail(6);
    port().open = false;
    return 1;
}

BOOL SetupComm(HANDLE handle, DWORD, DWORD)
{
    return ours(handle) ? 1 : fail(6);
}

BOOL SetCommMask(HANDLE handle, DWORD)
{
    return ours(handle) ? 1 : fail(6);
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts)
{
    if (!ours(handle)) return fail(6);
    port().timeouts = *timeouts;
    return 1;
}

BOOL SetCommState(HANDLE handle, DCB*)
{
    return ours(handle) ? 1 : fail(6);
}

BOOL PurgeComm(HANDLE handle, DWORD flags)
{
    if (!ours(handle)) return fail(6);
    if (flags & PURGE_RXCLEAR) port().waiting.clear();
    return 1;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED)
{
    if (!ours(handle)) return fail(6);
    Port& p = port();
    ++p.readFileCalls;
    const COMMTIMEOUTS& t = p.timeouts;
    // MAXDWORD, MAXDWORD, t: what is waiting at once, else the first bytes to come within t.
    // All zero: the full count, however long it takes.
    const bool whatIsWaiting = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD;
    if (whatIsWaiting)
    {
        if (p.waiting.empty() && !p.later.empty())
        {
            p.waiting = p.later.front();
            p.later.pop_front();
        }
    }
    else
    {
        while (p.waiting.size() < toRead && !p.later.empty())
        {
            p.waiting += p.later.front();
            p.later.pop_front();
        }
    }
    const DWORD n = std::min<DWORD>(toRead, static_cast<DWORD>(p.waiting.size()));
    std::memcpy(buffer, p.waiting.data(), n);
    p.waiting.erase(0, n);
    *read = n;
    if (!whatIsWaiting && n < toRead) ++p.waitedOut;
    return 1;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED)
{
    if (!ours(handle)) return fail(6);
    port().written.append(static_cast<const char*>(buffer), toWrite);
    *written = toWrite;
    return 1;
}
