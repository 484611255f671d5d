#include "Common.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>

#include <unistd.h>

namespace Drfn3 {

namespace {

volatile std::sig_atomic_t stopFlag = 0;

extern "C" void onStopSignal(int signal)
{
    stopFlag = 1;
    // A second Ctrl-C is for a program that does not stop by itself.
    std::signal(signal, SIG_DFL);
}

} // namespace

void installStopHandlers()
{
    stopFlag = 0;
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
}

bool stopRequested()
{
    return stopFlag != 0;
}

bool stdoutIsTerminal()
{
    return ::isatty(STDOUT_FILENO) == 1;
}

bool stderrIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

Progress::Progress(const std::string& message) : _message(message), _terminal(stderrIsTerminal())
{
    std::cerr << _message << " ..." << std::flush;
    if (!_terminal) return;
    _running = true;
    _spinner = std::thread([this] {
        static const char frames[] = {'|', '/', '-', '\\'};
        unsigned i = 0;
        while (_running)
        {
            std::cerr << ' ' << frames[i++ % 4] << '\b' << '\b' << std::flush;
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    });
}

Progress::~Progress()
{
    if (!_finished) done(stopRequested() ? "interrupted" : "failed");
}

void Progress::stopSpinner()
{
    if (!_running) return;
    _running = false;
    _spinner.join();
}

void Progress::done(const std::string& outcome)
{
    if (_finished) return;
    _finished = true;
    stopSpinner();
    std::cerr << ' ' << outcome << std::endl;
}

void printError(std::ostream& out, const Poco::Exception& error)
{
    out << "drfn3: " << (error.message().empty() ? error.displayText() : error.message()) << '\n';
    for (const Poco::Exception* cause = error.nested(); cause; cause = cause->nested())
        out << "  cause: " << cause->displayText() << '\n';
}

} // namespace Drfn3
