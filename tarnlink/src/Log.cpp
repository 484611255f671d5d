#include <Poco/AutoPtr.h>
#include <Poco/Environment.h>
#include <Poco/FormattingChannel.h>
#include <Poco/PatternFormatter.h>
#include <Poco/SimpleFileChannel.h>
#include <Tarnlink/Log.h>

namespace Tarnlink {

const char* const LOGGER_NAME = "Tarnlink";
const char* const DEFAULT_LOG_FILE = "tarnlink.log";
const char* const LOG_ENVIRONMENT_VARIABLE = "ORLAN_TARNLINK_LOG";

Poco::Logger& createLogger(const std::string& path)
{
    Poco::AutoPtr<Poco::SimpleFileChannel> file(new Poco::SimpleFileChannel(path));
    Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter("[%H:%M:%S.%i] %t"));
    // People read the log against their wall clock.
    formatter->setProperty(Poco::PatternFormatter::PROP_TIMES, "local");
    Poco::AutoPtr<Poco::FormattingChannel> channel(new Poco::FormattingChannel(formatter, file));
    return Poco::Logger::create(LOGGER_NAME, channel, Poco::Message::PRIO_INFORMATION);
}

void destroyLogger()
{
    Poco::Logger::destroy(LOGGER_NAME);
}

std::string defaultLogFileFromEnvironment()
{
    return Poco::Environment::get(LOG_ENVIRONMENT_VARIABLE, "0") == "1" ? std::string(DEFAULT_LOG_FILE)
                                                                         : std::string();
}

} // namespace Tarnlink
