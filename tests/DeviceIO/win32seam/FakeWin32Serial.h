#ifndef Tests_FakeWin32Serial_INCLUDED
#define Tests_FakeWin32Serial_INCLUDED

// Controls of the fake Win32 communications functions behind the Win32 serial channel built
// for Linux (namespace Poco::DeviceIO::SerialWin32Seam there, so it can sit beside the POSIX
// one). One port; a read of it follows the COMMTIMEOUTS it was given.

#include <cstddef>
#include <string>

namespace FakeWin32 {

/// Closes nothing, forgets everything: no bytes, no calls.
void reset();
/// Bytes that have arrived and wait in the receive queue.
void arrive(const std::string& bytes);
/// Bytes that arrive while a read waits, one piece per wait; a read with none to come times out.
void arriveLater(const std::string& bytes);
/// ReadFile calls so far.
unsigned readFileCalls();
/// ReadFile calls under time-outs that wait for the full count which got fewer bytes: on a
/// real port they would still be waiting.
unsigned waitedOut();
/// Bytes not read yet, waiting or to come.
std::size_t unread();
std::string written();

} // namespace FakeWin32

#endif
