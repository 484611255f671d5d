#ifndef Tarnlink_Log_INCLUDED
#define Tarnlink_Log_INCLUDED

#include <Tarnlink/Tarnlink.h>
#include <Poco/Logger.h>
#include <string>

namespace Tarnlink {

/// Name of the traffic logger in the process-wide registry.
extern Tarnlink_API const char* const LOGGER_NAME;
/// Log file used when the environment switch is on.
extern Tarnlink_API const char* const DEFAULT_LOG_FILE;
/// Environment variable whose exact value "1" switches the default log file on.
extern Tarnlink_API const char* const LOG_ENVIRONMENT_VARIABLE;

/// Creates the "Tarnlink" logger writing "[HH:MM:SS.mmm] " + message lines to path.
Tarnlink_API Poco::Logger& createLogger(const std::string& path);
/// The first write to the log file that failed since createLogger, as "path: reason";
/// empty while every line was written. The logger stops writing after a failure instead of
/// throwing into the device exchange that logged; a host asks here and reports it.
/// Thread-safe: the record is kept under a lock, whichever thread logged.
Tarnlink_API std::string logFailure();
/// Removes the "Tarnlink" logger from the registry.
Tarnlink_API void destroyLogger();
/// DEFAULT_LOG_FILE when the environment switch is exactly "1", else empty.
Tarnlink_API std::string defaultLogFileFromEnvironment();

} // namespace Tarnlink

#endif
