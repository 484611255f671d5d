#include "Commands.h"

#include <Poco/Exception.h>
#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

#include <plplot/plplot.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>

namespace Drfn3 {

namespace {

struct Series
{
    std::vector<double> time;
    // ax ay az mx my mz gx gy gz
    std::vector<double> values[9];
};

std::map<std::string, Series> readCsv(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw Poco::OpenFileException(path + ": " + std::strerror(errno));
    std::string line;
    if (!std::getline(in, line) || line.rfind("time,pod,ax", 0) != 0)
        throw Poco::DataFormatException(path + " is not a drfn3 CSV file (written by stream --csv)");
    std::map<std::string, Series> pods;
    std::size_t number = 1;
    while (std::getline(in, line))
    {
        ++number;
        if (line.empty()) continue;
        Poco::StringTokenizer cells(line, ",", Poco::StringTokenizer::TOK_TRIM);
        double numbers[10];
        bool ok = cells.count() >= 11 && Poco::NumberParser::tryParseFloat(cells[0], numbers[0]);
        for (std::size_t i = 2; ok && i < 11; ++i) ok = Poco::NumberParser::tryParseFloat(cells[i], numbers[i - 1]);
        if (!ok) throw Poco::DataFormatException(path + ", line " + std::to_string(number) + ": not a sample row");
        Series& series = pods[cells[1]];
        series.time.push_back(numbers[0]);
        for (int k = 0; k < 9; ++k) series.values[k].push_back(numbers[k + 1]);
    }
    if (pods.empty()) throw Poco::DataFormatException(path + " has no samples");
    return pods;
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
    else if (extension == ".svg") device = "svg";
    else throw UsageError("-o " + imagePath + ": the image must be a .png or .svg file");

    const std::map<std::string, Series> pods = readCsv(csvPath);
    if (!hasDevice(device))
        throw Poco::NotFoundException("PLplot has no " + device + " driver; install the " +
                                      (device == "svg" ? "libplplot17" : "plplot-driver-cairo") + " package");
    if (!std::ofstream(imagePath)) throw Poco::CreateFileException(imagePath + ": " + std::strerror(errno));

    double t0 = std::numeric_limits<double>::max(), t1 = std::numeric_limits<double>::lowest();
    for (const auto& [name, series] : pods)
    {
        t0 = std::min(t0, *std::min_element(series.time.begin(), series.time.end()));
        t1 = std::max(t1, *std::max_element(series.time.begin(), series.time.end()));
    }
    if (t1 <= t0) t1 = t0 + 1;

    plsexit(onPlplotExit);
    plsdev(device.c_str());
    plsfnam(imagePath.c_str());
    plspage(0, 0, 1200, 1050, 0, 0);
    // White paper, black ink; then one colour per axis.
    plscol0(0, 255, 255, 255);
    plscol0(1, 0, 0, 0);
    plscol0(2, 210, 40, 40);
    plscol0(3, 30, 150, 50);
    plscol0(4, 40, 80, 220);
    plssub(1, 3);
    plinit();

    static const char* const titles[] = {"Accelerometer", "Magnetometer", "Gyroscope"};
    static const char* const units[] = {"acceleration (raw counts)", "magnetic field (raw counts)",
                                        "angular rate (raw counts)"};
    static const char* const axes[] = {"x", "y", "z"};
    for (int panel = 0; panel < 3; ++panel)
    {
        double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
        for (const auto& [name, series] : pods)
            for (int axis = 0; axis < 3; ++axis)
                for (double v : series.values[panel * 3 + axis])
                {
                    low = std::min(low, v);
                    high = std::max(high, v);
                }
        const double margin = high > low ? (high - low) * 0.05 : 1.0;

        pladv(0);
        plvpor(0.09, 0.80, 0.14, 0.88);
        plwind(0, t1 - t0, low - margin, high + margin);
        plcol0(1);
        pllsty(1);
        plschr(0, 0.9);
        plbox("bcnst", 0, 0, "bcnstv", 0, 0);
        pllab("time since the first sample (s)", units[panel], titles[panel]);

        std::vector<std::string> labels;
        std::vector<PLINT> options, colours, styles, textColours;
        std::vector<PLFLT> widths;
        int style = 1;
        for (const auto& [name, series] : pods)
        {
            std::vector<double> t(series.time);
            for (double& v : t) v -= t0;
            for (int axis = 0; axis < 3; ++axis)
            {
                plcol0(2 + axis);
                pllsty(style);
                plline(static_cast<PLINT>(t.size()), t.data(), series.values[panel * 3 + axis].data());
                labels.push_back(name + " " + axes[axis]);
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
                 static_cast<PLINT>(texts.size()), options.data(), 0.8, 0.8, 1.6, 0.0, textColours.data(),
                 texts.data(), nullptr, nullptr, nullptr, nullptr, colours.data(), styles.data(), widths.data(),
                 nullptr, nullptr, nullptr, nullptr);
    }
    plend();
    std::size_t samples = 0;
    for (const auto& [name, series] : pods) samples += series.time.size();
    std::cout << "Plotted " << samples << " samples of " << pods.size() << " pods over " << (t1 - t0) << " s to "
              << imagePath << '\n';
    return ExitOk;
}

} // namespace Drfn3
