#include "Commands.h"
#include "OutputFile.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/Path.h>
#include <Poco/StringTokenizer.h>
#include <Poco/TemporaryFile.h>

#include <plplot/plplot.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <iostream>
#include <limits>
#include <map>

namespace Drfn3 {

namespace {

/// The orientation's columns, drawn when a file has them all.
const char* const ORIENTATION_COLUMNS[7] = {"roll_deg", "pitch_deg", "yaw_deg", "qw", "qx", "qy", "qz"};

struct Series
{
    std::vector<double> time;
    // ax ay az mx my mz gx gy gz, then roll pitch yaw qw qx qy qz when the file has them
    std::vector<double> values[16];
};

struct Recording
{
    std::map<std::string, Series> pods;
    /// Unit suffix of each sensor's columns: "m_s2", "uT", "rad_s", or "counts".
    std::string units[3];
    bool orientation = false;
};

/// Reads a CSV of stream --csv, today's (time_s, optional utc_s, unit-named columns) or an
/// older one (time, pod, ax ... in counts), by its column names.
Recording readCsv(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw Poco::OpenFileException(path + ": " + std::strerror(errno));
    std::string line;
    const Poco::StringTokenizer::Options trim = Poco::StringTokenizer::TOK_TRIM;
    if (!std::getline(in, line)) throw Poco::DataFormatException(path + " is empty");
    Poco::StringTokenizer header(line, ",", trim);
    auto column = [&header](const std::string& name, bool prefix) -> int {
        for (std::size_t i = 0; i < header.count(); ++i)
            if (header[i] == name || (prefix && header[i].rfind(name + "_", 0) == 0)) return static_cast<int>(i);
        return -1;
    };
    const int timeColumn = column("time_s", false) >= 0 ? column("time_s", false) : column("time", false);
    const int podColumn = column("pod", false);
    static const char* const names[9] = {"ax", "ay", "az", "mx", "my", "mz", "gx", "gy", "gz"};
    int columns[16];
    bool known = timeColumn >= 0 && podColumn >= 0;
    for (int k = 0; k < 9; ++k)
    {
        columns[k] = column(names[k], true) >= 0 ? column(names[k], true) : column(names[k], false);
        known = known && columns[k] >= 0;
    }
    if (!known) throw Poco::DataFormatException(path + " is not a drfn3 CSV file (written by stream --csv)");
    Recording recording;
    recording.orientation = true;
    for (int k = 0; k < 7; ++k)
    {
        columns[9 + k] = column(ORIENTATION_COLUMNS[k], false);
        recording.orientation = recording.orientation && columns[9 + k] >= 0;
    }
    const int count = recording.orientation ? 16 : 9;
    for (int sensor = 0; sensor < 3; ++sensor)
    {
        const std::string& name = header[static_cast<std::size_t>(columns[sensor * 3])];
        recording.units[sensor] = name.size() > 3 ? name.substr(3) : "counts";
    }
    std::size_t number = 1;
    while (std::getline(in, line))
    {
        ++number;
        if (line.empty()) continue;
        Poco::StringTokenizer cells(line, ",", trim);
        double time = 0, values[16];
        bool ok = cells.count() == header.count() &&
                  Poco::NumberParser::tryParseFloat(cells[static_cast<std::size_t>(timeColumn)], time);
        for (int k = 0; ok && k < count; ++k)
            ok = Poco::NumberParser::tryParseFloat(cells[static_cast<std::size_t>(columns[k])], values[k]) ||
                 cells[static_cast<std::size_t>(columns[k])] == "nan";
        if (!ok) throw Poco::DataFormatException(path + ", line " + std::to_string(number) + ": not a sample row");
        Series& series = recording.pods[cells[static_cast<std::size_t>(podColumn)]];
        series.time.push_back(time);
        for (int k = 0; k < count; ++k)
            series.values[k].push_back(cells[static_cast<std::size_t>(columns[k])] == "nan"
                                           ? std::numeric_limits<double>::quiet_NaN()
                                           : values[k]);
    }
    if (recording.pods.empty()) throw Poco::DataFormatException(path + " has no samples");
    return recording;
}

/// Copies what PLplot drew to where it was asked for, every write checked: PLplot itself
/// says nothing when the disk is full.
void deliver(const std::string& drawn, const std::string& target, const std::string& device)
{
    std::ifstream in(drawn, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A drawing cut short (its own disk full) ends without the format's last mark.
    const bool complete = device == "svg" ? image.find("</svg>") != std::string::npos
                                          : image.size() > 12 && image.compare(image.size() - 8, 4, "IEND") == 0;
    if (!complete)
        throw Poco::WriteFileException(target + ": PLplot could not finish the image (is " + Poco::Path::temp() +
                                       " full?)");
    OutputFile out(target);
    out.write(image);
    out.close();
}

bool hasDevice(const std::string& name)
{
    // PLplot fills arrays the caller provides; count says how large they are.
    std::vector<const char*> menu(256), names(256);
    int count = static_cast<int>(names.size());
    const char** menuData = menu.data();
    const char** namesData = names.data();
    plgDevs(&menuData, &namesData, &count);
    bool found = false;
    for (int i = 0; i < count; ++i) found = found || name == names[i];
    return found;
}

// PLplot ends the process on its errors; the message at least comes in drfn3's words.
int onPlplotExit(const char* message)
{
    std::cerr << "drfn3: PLplot: " << (message ? message : "error") << std::endl;
    return ExitFailure;
}

} // namespace

int runPlot(const std::string& csvPath, const std::string& imagePath)
{
    const std::string extension = imagePath.size() > 4 ? imagePath.substr(imagePath.size() - 4) : "";
    std::string device;
    if (extension == ".png") device = "pngcairo";
    // PLplot's own SVG keeps the labels as text, searchable and selectable.
    else if (extension == ".svg")
        device = "svg";
    else
        throw UsageError("-o " + imagePath + ": the image must be a .png or .svg file");

    const Recording recording = readCsv(csvPath);
    const std::map<std::string, Series>& pods = recording.pods;
    if (!hasDevice(device))
        throw Poco::NotFoundException("PLplot has no " + device + " driver; install the " +
                                      (device == "svg" ? "libplplot17" : "plplot-driver-cairo") + " package");
    // Refused before anything is drawn: a folder that is not there, a file that cannot be written.
    {
        OutputFile check(imagePath);
    }
    Poco::TemporaryFile drawn;

    double t0 = std::numeric_limits<double>::max(), t1 = std::numeric_limits<double>::lowest();
    for (const auto& [name, series] : pods)
    {
        t0 = std::min(t0, *std::min_element(series.time.begin(), series.time.end()));
        t1 = std::max(t1, *std::max_element(series.time.begin(), series.time.end()));
    }
    if (t1 <= t0) t1 = t0 + 1;

    plsexit(onPlplotExit);
    plsdev(device.c_str());
    plsfnam(drawn.path().c_str());
    // Two more panels, roll/pitch/yaw and the quaternion, for a file with the orientation.
    const int panels = recording.orientation ? 5 : 3;
    plspage(0, 0, 1200, 350 * panels, 0, 0);
    // White paper, black ink; then one colour per axis.
    plscol0(0, 255, 255, 255);
    plscol0(1, 0, 0, 0);
    plscol0(2, 210, 40, 40);
    plscol0(3, 30, 150, 50);
    plscol0(4, 40, 80, 220);
    plscol0(5, 160, 100, 0);
    plssub(1, panels);
    plinit();

    static const char* const titles[] = {"Accelerometer", "Magnetometer", "Gyroscope", "Orientation",
                                         "Orientation quaternion (pod to world: x north, y west, z up)"};
    static const char* const quantities[] = {"acceleration", "magnetic field", "angular rate"};
    std::string units[5] = {"", "", "", "angle (degrees)", "component"};
    for (int sensor = 0; sensor < 3; ++sensor)
    {
        static const std::map<std::string, std::string> shown{
            {"m_s2", "m/s#u2#d"}, {"uT", "#gmT"}, {"rad_s", "rad/s"}, {"counts", "raw counts"}};
        const auto found = shown.find(recording.units[sensor]);
        units[sensor] = std::string(quantities[sensor]) + " (" +
                        (found != shown.end() ? found->second : recording.units[sensor]) + ")";
    }
    static const char* const axes[5][4] = {
        {"x", "y", "z"}, {"x", "y", "z"}, {"x", "y", "z"}, {"roll", "pitch", "yaw"}, {"w", "x", "y", "z"}};
    for (int panel = 0; panel < panels; ++panel)
    {
        // Each panel's lines: three from panel * 3 on, the quaternion's four after the angles.
        const int first = panel * 3, lines = panel == 4 ? 4 : 3;
        double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
        for (const auto& [name, series] : pods)
            for (int axis = 0; axis < lines; ++axis)
                for (double v : series.values[first + axis])
                {
                    if (std::isnan(v)) continue;
                    low = std::min(low, v);
                    high = std::max(high, v);
                }
        if (low > high) low = high = 0; // a sensor without a single calibrated value
        const double margin = high > low ? (high - low) * 0.05 : 1.0;

        pladv(0);
        plvpor(0.09, 0.80, 0.14, 0.88);
        plwind(0, t1 - t0, low - margin, high + margin);
        plcol0(1);
        pllsty(1);
        plschr(0, 0.9);
        plbox("bcnst", 0, 0, "bcnstv", 0, 0);
        pllab("time since the first sample (s)", units[panel].c_str(), titles[panel]);

        std::vector<std::string> labels;
        std::vector<PLINT> options, colours, styles, textColours;
        std::vector<PLFLT> widths;
        int style = 1;
        for (const auto& [name, series] : pods)
        {
            std::vector<double> t(series.time);
            for (double& v : t) v -= t0;
            for (int axis = 0; axis < lines; ++axis)
            {
                plcol0(2 + axis);
                pllsty(style);
                plline(static_cast<PLINT>(t.size()), t.data(), series.values[first + axis].data());
                labels.push_back(name + " " + axes[panel][axis]);
                options.push_back(PL_LEGEND_LINE);
                colours.push_back(2 + axis);
                styles.push_back(style);
                textColours.push_back(1);
                widths.push_back(1.0);
            }
            style = style % 8 + 1;
        }
        pllsty(1);
        std::vector<const char*> texts;
        for (const std::string& label : labels) texts.push_back(label.c_str());
        PLFLT width = 0, height = 0;
        plschr(0, 0.8);
        pllegend(&width, &height, PL_LEGEND_BACKGROUND | PL_LEGEND_BOUNDING_BOX,
                 PL_POSITION_RIGHT | PL_POSITION_OUTSIDE, 0.02, 0.0, 0.05, 0, 1, 1, 0, 0,
                 static_cast<PLINT>(texts.size()), options.data(), 0.8, 0.8, 1.6, 0.0, textColours.data(), texts.data(),
                 nullptr, nullptr, nullptr, nullptr, colours.data(), styles.data(), widths.data(), nullptr, nullptr,
                 nullptr, nullptr);
    }
    plend();
    deliver(drawn.path(), imagePath, device);
    std::size_t samples = 0;
    for (const auto& [name, series] : pods) samples += series.time.size();
    std::cout << "Plotted " << samples << " samples of " << pods.size() << " pods over " << (t1 - t0) << " s to "
              << imagePath << '\n';
    return ExitOk;
}

} // namespace Drfn3
