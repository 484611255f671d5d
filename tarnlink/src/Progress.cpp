#include <Poco/Mutex.h>
#include <Tarnlink/Progress.h>
#include <memory>

namespace Tarnlink {

namespace {
Poco::FastMutex observerMutex;
std::shared_ptr<const ProgressFunction>& observer()
{
    static std::shared_ptr<const ProgressFunction> function;
    return function;
}
} // namespace

const char* operationName(ProgressStep::Operation operation)
{
    switch (operation)
    {
    case ProgressStep::CalibrationRead:
        return "calibration read";
    case ProgressStep::CalibrationCommit:
        return "calibration commit";
    case ProgressStep::CalibrationRestore:
        return "calibration restore";
    case ProgressStep::CalibrationCopy:
        return "calibration copy";
    case ProgressStep::FirmwareVerify:
        return "firmware verify";
    case ProgressStep::FirmwareUpgrade:
        return "firmware upgrade";
    }
    return "?";
}

const char* phaseName(ProgressStep::Phase phase)
{
    switch (phase)
    {
    case ProgressStep::Reboot:
        return "reboot";
    case ProgressStep::Erase:
        return "erase";
    case ProgressStep::Read:
        return "read";
    case ProgressStep::Write:
        return "write";
    }
    return "?";
}

ProgressFunction setProgressFunction(ProgressFunction function)
{
    std::shared_ptr<const ProgressFunction> next;
    if (function) next = std::make_shared<const ProgressFunction>(std::move(function));
    Poco::FastMutex::ScopedLock lock(observerMutex);
    ProgressFunction previous = observer() ? *observer() : ProgressFunction();
    observer() = std::move(next);
    return previous;
}

void reportProgress(const ProgressStep& step)
{
    std::shared_ptr<const ProgressFunction> function;
    {
        Poco::FastMutex::ScopedLock lock(observerMutex);
        function = observer();
    }
    if (!function) return;
    try
    {
        (*function)(step);
    }
    catch (...)
    {
    }
}

ProgressPhase::ProgressPhase(ProgressStep::Operation operation, ProgressStep::Phase phase, std::uint32_t serial,
                             bool controller, std::size_t total)
    : _step{operation, phase, serial, controller, 0, total}
{
    reportProgress(_step);
}

void ProgressPhase::step()
{
    if (_step.wordsDone >= _step.wordsTotal) return;
    ++_step.wordsDone;
    reportProgress(_step);
}

} // namespace Tarnlink
