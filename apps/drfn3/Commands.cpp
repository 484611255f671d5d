#include "Commands.h"

#include "Discovery.h"
#include "Host.h"
#include "ProgressBar.h"

#include "Quillmesh/Core/OutputPin.h"
#include "Quillmesh/Core/PinManager.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>
#include <Poco/Timestamp.h>
#include <Poco/Util/IniFileConfiguration.h>

#include <algorithm>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

namespace Drfn3 {

namespace {

using Quillmesh::Core::InputPin;
using Quillmesh::Core::OutputPin;
using Quillmesh::Core::RowMatrixXd;

const char* const CALIBRATION_PINS[] = {"3aGain", "3aOff", "3mGain", "3mOff", "3gGain", "3gOff"};

void connect(Host& host)
{
    Progress progress("Connecting to the controller");
    host.connect();
    progress.done(host.get("Ctrl HW") + ", firmware " + host.get("Ctrl FW"));
}

std::string serialList(const std::vector<unsigned>& serials)
{
    std::string text;
    for (unsigned serial : serials) text += (text.empty() ? "" : ", ") + hex(serial);
    return text.empty() ? "none" : text;
}

void requirePods(const Host& host)
{
    if (host.serials().empty())
        throw UsageError("No pods known: give them with --pods SERIAL,... or pair one with 'drfn3 pair'");
}

/// Runs a command property with a progress line.
void runCommand(Host& host, const std::string& command, const std::string& message)
{
    Progress progress(message);
    host.run(command);
    progress.done();
}

/// Runs a command property that reports the library's progress.
void runWithProgress(Host& host, const std::string& command, const std::string& message)
{
    ProgressBar bar(message);
    try
    {
        host.run(command);
    }
    catch (...)
    {
        bar.finish("failed");
        throw;
    }
    bar.finish("done");
}

// Calibration text: one section per pod, each matrix on one line, rows separated by commas.
std::string matrixText(const RowMatrixXd& m)
{
    std::ostringstream out;
    out << std::setprecision(9);
    for (Eigen::Index r = 0; r < m.rows(); ++r)
    {
        if (r) out << ", ";
        for (Eigen::Index c = 0; c < m.cols(); ++c) out << (c ? " " : "") << m(r, c);
    }
    return out.str();
}

RowMatrixXd parseMatrix(const std::string& text, const std::string& where)
{
    Poco::StringTokenizer rows(text, ",", Poco::StringTokenizer::TOK_TRIM | Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    std::vector<std::vector<double>> values;
    for (const std::string& row : rows)
    {
        Poco::StringTokenizer cells(row, " \t", Poco::StringTokenizer::TOK_TRIM | Poco::StringTokenizer::TOK_IGNORE_EMPTY);
        std::vector<double> line;
        for (const std::string& cell : cells)
        {
            double value = 0;
            if (!Poco::NumberParser::tryParseFloat(cell, value))
                throw Poco::DataFormatException(where + ": '" + cell + "' is not a number");
            line.push_back(value);
        }
        if (!values.empty() && line.size() != values.front().size())
            throw Poco::DataFormatException(where + ": rows of different lengths");
        values.push_back(line);
    }
    if (values.empty()) throw Poco::DataFormatException(where + ": no values");
    RowMatrixXd m(values.size(), values.front().size());
    for (std::size_t r = 0; r < values.size(); ++r)
        for (std::size_t c = 0; c < values[r].size(); ++c) m(r, c) = values[r][c];
    return m;
}

/// Probes on every calibration output of the pods.
class CalibrationTaps
{
public:
    CalibrationTaps(Host& host, const std::vector<unsigned>& serials)
    {
        for (unsigned serial : serials)
            for (const char* pin : CALIBRATION_PINS)
                _taps[{serial, pin}] = &host.filter().tap<RowMatrixXd>(pin + ("#0x" + hex(serial)));
    }

    /// The pods' sections, for those whose pins were published.
    void print(std::ostream& out, const std::vector<unsigned>& serials)
    {
        // ';' starts a comment in this INI format, '#' would not.
        out << "; drfn3 calibration: gains 3x3 and offsets 3x1, rows separated by commas.\n"
               "; 3a accelerometer, 3m magnetometer, 3g gyroscope. 'drfn3 calib write FILE' commits it.\n";
        for (unsigned serial : serials)
        {
            out << "\n[" << hex(serial) << "]\n";
            for (const char* pin : CALIBRATION_PINS)
            {
                InputPin<RowMatrixXd>& tap = *_taps[{serial, pin}];
                if (const auto* data = tap.getData())
                {
                    out << pin << " = " << matrixText(data->data) << '\n';
                    tap.release();
                }
            }
        }
    }

private:
    std::map<std::pair<unsigned, std::string>, InputPin<RowMatrixXd>*> _taps;
};

} // namespace

int runStream(const Settings& settings, const StreamOptions& options)
{
    Host host(settings);
    installStopHandlers();
    const std::vector<PodStatus> pods = stream(host, options);
    for (const PodStatus& pod : pods)
        std::cout << "pod " << hex(pod.serial) << ": " << pod.samples << " samples, " << std::fixed
                  << std::setprecision(1) << pod.rate << " Hz, loss " << pod.latest.loss * 100.0 << " %, battery "
                  << pod.latest.battery << " %\n";
    return ExitOk;
}

int runControllers()
{
    const std::vector<ControllerReport> reports = surveyControllers();
    if (reports.empty())
    {
        std::cout << "No controller found: none on USB (0483:a027 and 0403:6001 serial ports by sysfs, 0403:6001"
                     " through the D2XX library) nor in ORLAN_TARNLINK_PORTS or ORLAN_TARNLINK_PORTS_GEN1.\n";
        return ExitFailure;
    }
    bool anyUsable = false;
    for (const ControllerReport& report : reports)
    {
        std::cout << "generation " << report.generation << "  " << report.where << "  "
                  << (report.usable ? "" : "NOT USABLE: ") << report.details << '\n';
        anyUsable = anyUsable || report.usable;
    }
    return anyUsable ? ExitOk : ExitFailure;
}

int runPair(const Settings& settings)
{
    Host host(settings);
    connect(host);
    const std::vector<unsigned> before = host.serials();
    {
        Progress progress("Waiting up to 5 s for a pod in pairing mode");
        host.run("pairing");
        progress.done();
    }
    const std::vector<unsigned> after = host.serials();
    std::vector<unsigned> added;
    for (unsigned serial : after)
        if (std::find(before.begin(), before.end(), serial) == before.end()) added.push_back(serial);
    if (added.empty())
    {
        std::cerr << "drfn3: no pod paired within 5 s (is one in pairing mode? is it new, and is there room for it at "
                  << host.get("Frequency") << " Hz?)\n";
        return ExitFailure;
    }
    host.save();
    std::cout << "Paired pod " << serialList(added) << ". Known pods: " << serialList(after) << '\n';
    return ExitOk;
}

int runSwitchOff(const Settings& settings)
{
    Host host(settings);
    requirePods(host);
    connect(host);
    runCommand(host, "Switch Off", "Switching off " + serialList(host.serials()));
    return ExitOk;
}

int runAutoChannel(const Settings& settings)
{
    Host host(settings);
    connect(host);
    runCommand(host, "AutoChannel", "Searching for a quiet radio channel");
    host.save();
    std::cout << "Channel " << host.get("Channel") << " is quiet; streams start their search there.\n";
    return ExitOk;
}

int runScan(const Settings& settings)
{
    Host host(settings);
    requirePods(host);
    connect(host);
    runCommand(host, "Scan Sensor Registry", "Reading every register of " + serialList(host.serials()));
    std::cout << "Scanned the registers of " << host.serials().size()
              << " pods; run with --log FILE to keep what they answered.\n";
    return ExitOk;
}

int runSettings(const Settings& settings)
{
    Host host(settings);
    std::cout << "module   " << host.modulePath() << '\n';
    std::cout << "settings " << (settings.ephemeral ? std::string("not saved") : host.configPath()) << "\n\n";
    for (const auto& property : host.filter().listProperties())
    {
        if (property.kind == "command") continue;
        std::cout << std::left << std::setw(20) << property.name << ' ' << std::setw(14)
                  << (property.value.empty() ? "-" : property.value)
                  << (property.isPersistent ? " saved" : "      ")
                  << (property.details.empty() ? "" : "  " + property.details) << '\n';
    }
    return ExitOk;
}

int runCalibRead(const Settings& settings, const std::string& output)
{
    Host host(settings);
    requirePods(host);
    connect(host);
    const std::vector<unsigned> serials = host.serials();
    CalibrationTaps taps(host, serials);
    runCommand(host, "Read Calib", "Reading the calibration of " + serialList(serials));
    if (output.empty())
    {
        taps.print(std::cout, serials);
        return ExitOk;
    }
    std::ofstream file(output);
    taps.print(file, serials);
    file.close();
    if (!file) throw Poco::WriteFileException(output);
    std::cout << "Calibration written to " << output << '\n';
    return ExitOk;
}

int runCalibWrite(const Settings& settings, const std::string& path)
{
    Poco::AutoPtr<Poco::Util::IniFileConfiguration> file;
    try
    {
        file = new Poco::Util::IniFileConfiguration(path);
    }
    catch (const Poco::Exception& error)
    {
        throw Poco::OpenFileException(path + ": " + error.displayText());
    }
    Host host(settings);
    requirePods(host);
    const std::vector<unsigned> serials = host.serials();

    struct Matrix
    {
        std::string pin;
        RowMatrixXd value;
    };
    std::vector<Matrix> matrices;
    Poco::Util::AbstractConfiguration::Keys sections;
    file->keys(sections);
    for (const std::string& section : sections)
    {
        const std::vector<unsigned> parsed = parseSerials(section);
        if (parsed.size() != 1 || std::find(serials.begin(), serials.end(), parsed[0]) == serials.end())
            throw UsageError(path + ": [" + section + "] is not one of the known pods (" + serialList(serials) + ")");
        for (const char* pin : CALIBRATION_PINS)
        {
            const std::string key = section + "." + pin;
            if (!file->has(key)) continue;
            RowMatrixXd value = parseMatrix(file->getString(key), path + ": " + key);
            // Caught here, a wrong shape never reaches the pods (the filter would refuse it mid-commit).
            const bool gain = std::string(pin).find("Gain") != std::string::npos;
            if (value.size() != (gain ? 9 : 3))
                throw UsageError(path + ": " + key + " needs " + (gain ? "3 rows of 3 values" : "3 values"));
            matrices.push_back({pin + ("#0x" + hex(parsed[0])), value});
        }
    }
    if (matrices.empty()) throw UsageError(path + ": no calibration matrices in it");

    connect(host);
    // The host's own outputs, feeding the filter's calibration inputs.
    Quillmesh::Core::PinManager sources("drfn3 calibration");
    std::vector<std::unique_ptr<OutputPin<RowMatrixXd>>> pins;
    const double now = Poco::Timestamp().epochMicroseconds() * 1e-6;
    for (const Matrix& matrix : matrices)
    {
        Quillmesh::Core::AbstractInputPin* input = host.filter().getFilter().findInputPin(matrix.pin);
        if (!input) throw Poco::NotFoundException("The filter has no calibration input " + matrix.pin);
        pins.push_back(std::make_unique<OutputPin<RowMatrixXd>>(matrix.pin, &sources));
        pins.back()->attach(*input);
        pins.back()->getData() = matrix.value;
        pins.back()->push(now);
    }
    runWithProgress(host, "Write Calib",
               "Committing " + std::to_string(matrices.size()) + " matrices to the pods' EEPROM");
    std::cout << "Calibration of " << serialList(serials) << " written.\n";
    return ExitOk;
}

int runCalibReset(const Settings& settings, const std::string& pod)
{
    Host host(settings);
    requirePods(host);
    const std::vector<unsigned> serials = host.serials();
    unsigned serial = serials.front();
    if (!pod.empty())
    {
        const std::vector<unsigned> parsed = parseSerials(pod);
        if (parsed.size() != 1 || std::find(serials.begin(), serials.end(), parsed[0]) == serials.end())
            throw UsageError("--pod " + pod + " is not one of the known pods (" + serialList(serials) + ")");
        serial = parsed[0];
    }
    else if (serials.size() > 1)
        throw UsageError("Several pods are known (" + serialList(serials) + "): choose one with --pod SERIAL");
    connect(host);
    const auto index = std::find(serials.begin(), serials.end(), serial) - serials.begin();
    host.set("Sensor Index", std::to_string(index));
    CalibrationTaps taps(host, {serial});
    runWithProgress(host, "Reset Calib to Manuf.", "Restoring the manufacturing calibration of " + hex(serial));
    taps.print(std::cout, {serial});
    return ExitOk;
}

int runCalibCopy(const Settings& settings)
{
    Host host(settings);
    requirePods(host);
    connect(host);
    runWithProgress(host, "Copy Calib to Manuf.",
               "Making the current calibration of " + serialList(host.serials()) + " their manufacturing copy");
    return ExitOk;
}

} // namespace Drfn3
