#include <Poco/AutoPtr.h>
#include <Poco/Environment.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Mutex.h>
#include <Poco/PatternFormatter.h>
#include <Poco/SimpleFileChannel.h>
#include <Tarnlink/Log.h>

#include <cerrno>
#include <cstring>

namespace Tarnlink {

const char* const LOGGER_NAME = "Tarnlink";
const char* const DEFAULT_LOG_FILE = "tarnlink.log";
const char* const LOG_ENVIRONMENT_VARIABLE = "ORLAN_TARNLINK_LOG";

namespace {

// Not std::mutex: MinGW's win32 thread model lacks it.
Poco::FastMutex failureMutex;
std::string failure;

/// Keeps a failed write (a full disk, a folder that went away) out of the exchange that
/// logged: the filter would take the exception for a controller that stopped answering.
class GuardedChannel : public Poco::Channel
{
public:
    GuardedChannel(Poco::Channel* inner, const std::string& path) : _inner(inner, true), _path(path) {}

    void open() override
    {
        guard([this] { _inner->open(); });
    }
    void close() override { _inner->close(); }
    void log(const Poco::Message& message) override
    {
        guard([this, &message] { _inner->log(message); });
    }

private:
    template <typename Action>
    void guard(Action action)
    {
        {
            Poco::FastMutex::ScopedLock lock(failureMutex);
            if (!failure.empty()) return;
        }
        errno = 0;
        try
        {
            action();
        }
        catch (const Poco::Exception& e)
        {
            const int error = errno;
            Poco::FastMutex::ScopedLock lock(failureMutex);
            failure = _path + ": " + (error != 0 ? std::string(std::strerror(error)) : e.displayText());
        }
    }

    Poco::AutoPtr<Poco::Channel> _inner;
    std::string _path;
};

} // namespace

Poco::Logger& createLogger(const std::string& path)
{
    Poco::AutoPtr<Poco::SimpleFileChannel> file(new Poco::SimpleFileChannel(path));
    Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter("[%H:%M:%S.%i] %t"));
    // People read the log against their wall clock.
    formatter->setProperty(Poco::PatternFormatter::PROP_TIMES, "local");
    Poco::AutoPtr<GuardedChannel> guarded(new GuardedChannel(file.get(), path));
    Poco::AutoPtr<Poco::FormattingChannel> channel(new Poco::FormattingChannel(formatter, guarded));
    {
        Poco::FastMutex::ScopedLock lock(failureMutex);
        failure.clear();
    }
    return Poco::Logger::create(LOGGER_NAME, channel, Poco::Message::PRIO_INFORMATION);
}

std::string logFailure()
{
    Poco::FastMutex::ScopedLock lock(failureMutex);
    return failure;
}

void destroyLogger()
{
    Poco::Logger::destroy(LOGGER_NAME);
}

std::string defaultLogFileFromEnvironment()
{
    return Poco::Environment::get(LOG_ENVIRONMENT_VARIABLE, "0") == "1" ? std::string(DEFAULT_LOG_FILE) : std::string();
}

} // namespace Tarnlink
