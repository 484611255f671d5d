// Built with the Win32 serial channel of tests/DeviceIO/win32seam, apart from the benchmarks
// that use this platform's serial channel.
#include "ChannelCalls.h"
#include "FakeWin32Serial.h"
#include <Poco/DeviceIO/Serial/SerialChannel.h>

#ifndef DEVICEIO_WIN32_SEAM
#error "The seam's include folder must come before DeviceIO's: link DeviceIOWin32Seam first"
#endif

namespace TarnlinkBench {

CallsPerFrame win32ReadFileCalls(unsigned frames)
{
    using Poco::DeviceIO::Serial::SerialChannel;
    using Poco::DeviceIO::Serial::SerialConfig;
    FakeWin32::reset();
    // The second-generation controller's settings.
    Poco::AutoPtr<SerialConfig> cfg(new SerialConfig("COM7", 0xFFFFFFFF, 8, 'N', 0, 0, 19, 25, false, 4, 4096, 150));
    Poco::AutoPtr<SerialChannel> port(new SerialChannel(cfg.get()));
    return countCalls(*port, FakeWin32::arrive, FakeWin32::arriveLater, FakeWin32::readFileCalls, frames);
}

} // namespace TarnlinkBench
