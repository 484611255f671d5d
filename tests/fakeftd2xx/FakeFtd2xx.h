#ifndef Tests_FakeFtd2xx_INCLUDED
#define Tests_FakeFtd2xx_INCLUDED

// Test controls of the fake D2XX library. The library exports the driver's entry points
// with C linkage; tests link it directly for these controls and load the same file
// through the real driver loader, so both see one set of devices.

#include <cstddef>

#if defined(_WIN32)
#if defined(fakeftd2xx_EXPORTS) || defined(fakeftd2xx_partial_EXPORTS)
#define FAKEFTD2XX_EXPORT __declspec(dllexport)
#else
#define FAKEFTD2XX_EXPORT __declspec(dllimport)
#endif
#else
#define FAKEFTD2XX_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

/// Forgets every device and every scripted behaviour.
FAKEFTD2XX_EXPORT void fakeftd2xx_reset();
/// Adds a device answering with what is queued for it, then with an echo of what was
/// written when echo is set. flags bit 0 marks it as opened by another program.
FAKEFTD2XX_EXPORT void fakeftd2xx_addDevice(const char* serial, const char* description, unsigned flags, int echo);
/// Bytes the device delivers; each call is one chunk, handed out by separate reads. The
/// first chunk is what FT_GetQueueStatus reports as waiting; the others arrive while a read waits.
FAKEFTD2XX_EXPORT void fakeftd2xx_queueRead(const char* serial, const char* data, std::size_t length);
/// The next write to the device reports this many bytes written.
FAKEFTD2XX_EXPORT void fakeftd2xx_shortWrite(const char* serial, unsigned written);
/// The next call of the named entry point returns status (non-zero).
FAKEFTD2XX_EXPORT void fakeftd2xx_failNext(const char* entryPoint, unsigned status);
/// Copies what was written to the device; returns its full length.
FAKEFTD2XX_EXPORT std::size_t fakeftd2xx_written(const char* serial, char* out, std::size_t max);
/// Handles currently open on the device.
FAKEFTD2XX_EXPORT int fakeftd2xx_openHandles(const char* serial);
/// FT_Read calls made on the device.
FAKEFTD2XX_EXPORT unsigned fakeftd2xx_readCalls(const char* serial);
/// FT_Read calls on queued chunks that delivered less than they asked for: the real driver
/// waits out its read time-out in each of them.
FAKEFTD2XX_EXPORT unsigned fakeftd2xx_shortReads(const char* serial);
/// With late set, queued chunks arrive only while a read waits: FT_GetQueueStatus reports none.
FAKEFTD2XX_EXPORT void fakeftd2xx_arriveLate(const char* serial, int late);
/// The configuration calls made on the device, as text, for example "SetBaudRate(2000000)".
FAKEFTD2XX_EXPORT std::size_t fakeftd2xx_calls(const char* serial, char* out, std::size_t max);
/// Adds a device that is a simulated generation 1 controller with the given pods;
/// returns 0 when the simulator is not built in.
FAKEFTD2XX_EXPORT int fakeftd2xx_addSimController(const char* serial, const unsigned* podSerials, std::size_t podCount);
/// The Tarnlink::Sim::Simulator behind a simulated controller, or null. While it is gone
/// (Simulator::disappearAt) the device is off the list and its handles fail with
/// FT_IO_ERROR; handles opened before a replug stay dead.
FAKEFTD2XX_EXPORT void* fakeftd2xx_simulator(const char* serial);
}

#endif
