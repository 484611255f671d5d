#include "Common.h"

#include <Poco/NumberParser.h>
#include <Poco/NumberFormatter.h>
#include <Poco/StringTokenizer.h>

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

std::vector<unsigned> parseSerials(const std::string& text)
{
    Poco::StringTokenizer tokens(text, ";, \t", Poco::StringTokenizer::TOK_IGNORE_EMPTY | Poco::StringTokenizer::TOK_TRIM);
    std::vector<unsigned> serials;
    for (const std::string& token : tokens)
    {
        unsigned value = 0;
        if (!Poco::NumberParser::tryParseHex(token, value) || value > 0xFFFFFF)
            throw UsageError("Not a valid hexadecimal integer: '" + token + "' (pod serials are up to 6 hex digits)");
        serials.push_back(value);
    }
    return serials;
}

std::string hex(unsigned value)
{
    return Poco::NumberFormatter::formatHex(value);
}

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
    if (!_finished) done("interrupted");
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

} // namespace Drfn3
