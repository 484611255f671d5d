#include "Commands.h"
#include "StreamFiles.h"

#include <Drfn3/Discovery.h>
#include <Drfn3/Host.h>
#include <Drfn3/PodCalibration.h>
#include <Drfn3/SampleReader.h>
#include <DRFN3Internal/PinNames.h>
#include "Dds.h"
#include "OutputFile.h"
#include "ProgressBar.h"

#include <Poco/AutoPtr.h>
#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>
#include <Poco/TemporaryFile.h>
#include <Poco/Util/IniFileConfiguration.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>

namespace Drfn3 {

namespace {

namespace PinNames = DRFN3Internal::PinNames;
using Quillmesh::Core::RowMatrixXd;

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
        Poco::StringTokenizer cells(row, " \t",
                                    Poco::StringTokenizer::TOK_TRIM | Poco::StringTokenizer::TOK_IGNORE_EMPTY);
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

/// The calibration file: one section per pod, each matrix on one line, rows separated by
/// commas, keys named after the filter's pins.
void printCalibration(std::ostream& out, const std::vector<PodCalibration>& pods)
{
    // ';' starts a comment in this INI format, '#' would not.
    out << "; drfn3 calibration: gains 3x3 and offsets 3x1, rows separated by commas.\n"
           "; 3a accelerometer, 3m magnetometer, 3g gyroscope. 'drfn3 calib write FILE' commits it.\n"
           "; calibrated = gain x raw - offset: m/s^2, uT and rad/s.\n";
    for (const PodCalibration& pod : pods)
    {
        out << "\n[" << hex(pod.serial) << "]\n";
        for (int s = 0; s < 3; ++s)
        {
            const SensorCalibration& c = pod.sensors[s];
            out << PinNames::GAINS[s] << " = " << matrixText(Eigen::Map<const RowMatrixXd>(c.gain, 3, 3)) << '\n';
            out << PinNames::OFFSETS[s] << " = " << matrixText(Eigen::Map<const RowMatrixXd>(c.offset, 3, 1)) << '\n';
        }
    }
}

std::uint64_t fileSize(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

struct RegisterValue
{
    std::string name;
    unsigned value = 0;
};

/// The pod registers read since offset, by pod, from the traffic log: a read request
/// ("TX:55:aa:55:aa:03:<address>:00:00 [READ_SLAVE_REG] NAME") answered by the next plain RX
/// line, the pod being the one the SLAVE_ADDR writes selected last.
std::map<unsigned, std::vector<RegisterValue>> registersRead(const std::string& log, std::uint64_t offset)
{
    std::ifstream in(log);
    in.seekg(static_cast<std::streamoff>(offset));
    std::map<unsigned, std::vector<RegisterValue>> pods;
    unsigned low = 0, high = 0;
    std::string pending, line;
    auto lastWord = [](const std::string& bytes) {
        // The last two ":xx" bytes of the message, big-endian.
        const std::size_t end = bytes.find(' ') == std::string::npos ? bytes.size() : bytes.find(' ');
        if (end < 6) return 0u;
        return static_cast<unsigned>(std::stoul(bytes.substr(end - 5, 2), nullptr, 16) << 8 |
                                     std::stoul(bytes.substr(end - 2, 2), nullptr, 16));
    };
    while (std::getline(in, line))
    {
        const std::size_t at = line.find("] ");
        if (at == std::string::npos) continue;
        const std::string message = line.substr(at + 2);
        if (message.rfind("TX:", 0) == 0)
        {
            pending.clear();
            if (message.find("[WRITE_FPGA_REG] SLAVE_ADDR_LSB") != std::string::npos) low = lastWord(message);
            if (message.find("[WRITE_FPGA_REG] SLAVE_ADDR_MSB") != std::string::npos) high = lastWord(message) & 0xFF;
            const std::string read = "[READ_SLAVE_REG] ";
            const std::size_t name = message.find(read);
            if (name != std::string::npos && message.find(" (FAIL)") == std::string::npos)
                pending = message.substr(name + read.size());
        }
        else if (message.rfind("RX:", 0) == 0 && !pending.empty() && message.find(' ') == std::string::npos)
        {
            pods[high << 16 | low].push_back({pending, lastWord(message)});
            pending.clear();
        }
    }
    return pods;
}

} // namespace

int runStream(const Settings& settings, const StreamOptions& options)
{
    // A DDS that cannot start stops the run before the settings are touched.
    DdsPublication dds(options);
    Host host(settings);
    installStopHandlers();
    const StreamResult result = stream(host, dds.options());
    dds.end();
    // Nobody reads standard output any more: the run ended as if stopped.
    if (result.outputClosed) return ExitOk;
    printSummary(result.pods);
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

int runScan(Settings settings)
{
    // The filter keeps what the pods answered to itself; its traffic log has every answer.
    Poco::TemporaryFile ownLog;
    if (settings.log.empty()) settings.log = ownLog.path();
    Host host(settings);
    requirePods(host);
    connect(host);
    const std::uint64_t before = fileSize(settings.log);
    runCommand(host, "Scan Sensor Registry", "Reading every register of " + serialList(host.serials()));
    host.disconnect();
    const std::map<unsigned, std::vector<RegisterValue>> pods = registersRead(settings.log, before);
    for (unsigned serial : host.serials())
    {
        std::cout << "pod " << hex(serial) << '\n';
        const auto found = pods.find(serial);
        if (found == pods.end()) continue;
        for (const RegisterValue& r : found->second)
        {
            char line[64];
            std::snprintf(line, sizeof line, "  %-14s 0x%04X %6u\n", r.name.c_str(), r.value, r.value);
            std::cout << line;
        }
    }
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
                  << (property.value.empty() ? "-" : property.value) << (property.isPersistent ? " saved" : "      ")
                  << (property.details.empty() ? "" : "  " + property.details) << '\n';
    }
    return ExitOk;
}

int runCalibRead(const Settings& settings, const std::string& output)
{
    // Refused before any pod is touched.
    OutputFile file(output);
    Host host(settings);
    requirePods(host);
    connect(host);
    const std::vector<unsigned> serials = host.serials();
    SampleReader reader(host.filter(), Units::Raw);
    std::vector<PodCalibration> calibration;
    {
        Progress progress("Reading the calibration of " + serialList(serials));
        calibration = readCalibration(host, reader);
        progress.done();
    }
    if (output.empty())
    {
        printCalibration(std::cout, calibration);
        return ExitOk;
    }
    std::ostringstream text;
    printCalibration(text, calibration);
    file.write(text.str());
    file.close();
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

    std::vector<CalibrationMatrix> matrices;
    Poco::Util::AbstractConfiguration::Keys sections;
    file->keys(sections);
    for (const std::string& section : sections)
    {
        const std::vector<unsigned> parsed = parseSerials(section);
        if (parsed.size() != 1 || std::find(serials.begin(), serials.end(), parsed[0]) == serials.end())
            throw UsageError(path + ": [" + section + "] is not one of the known pods (" + serialList(serials) + ")");
        for (int sensor = 0; sensor < 3; ++sensor)
            for (const bool gain : {true, false})
            {
                const std::string key = section + "." + (gain ? PinNames::GAINS[sensor] : PinNames::OFFSETS[sensor]);
                if (!file->has(key)) continue;
                const RowMatrixXd value = parseMatrix(file->getString(key), path + ": " + key);
                CalibrationMatrix m;
                m.serial = parsed[0];
                m.sensor = sensor;
                m.gain = gain;
                m.rows = static_cast<std::size_t>(value.rows());
                m.cols = static_cast<std::size_t>(value.cols());
                m.values.assign(value.data(), value.data() + value.size());
                matrices.push_back(m);
            }
    }
    if (matrices.empty()) throw UsageError(path + ": no calibration matrices in it");
    try
    {
        checkCalibration(serials, matrices);
    }
    catch (const UsageError& error)
    {
        // Refused before the controller is touched; a fault of the file: say where.
        throw UsageError(path + ": " + error.what());
    }

    connect(host);
    SampleReader reader(host.filter(), Units::Raw);
    ProgressBar bar("Committing " + std::to_string(matrices.size()) + " matrices to the pods' EEPROM");
    try
    {
        writeCalibration(host, reader, matrices);
    }
    catch (...)
    {
        bar.finish("failed");
        throw;
    }
    bar.finish("done");
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
    SampleReader reader(host.filter(), Units::Raw);
    reader.setPods({serial});
    runWithProgress(host, "Reset Calib to Manuf.", "Restoring the manufacturing calibration of " + hex(serial));
    reader.refreshCalibration();
    PodCalibration restored;
    restored.serial = serial;
    std::copy(reader.pods().front().calibration, reader.pods().front().calibration + 3, restored.sensors);
    printCalibration(std::cout, {restored});
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
