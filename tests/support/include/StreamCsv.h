#ifndef Tests_StreamCsv_INCLUDED
#define Tests_StreamCsv_INCLUDED

// What drfn3 stream --csv writes from the simulated pods: its header, then every frame of every
// pod, frame numbers without a gap, calibrated accelerations of pods turning in gravity.

#include <Poco/NumberParser.h>
#include <Poco/StringTokenizer.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <fstream>
#include <functional>
#include <map>
#include <string>

/// One row's cells and their numbers (the pod's cell and the sensors' letters left at 0).
using StreamCsvRowCheck = std::function<void(const Poco::StringTokenizer& cells, const double* values)>;

/// Fails the test unless the CSV at path holds `pods` pods with at least `minimumRows` rows each;
/// orientation: the columns of --orientation follow, each row also goes through eachRow.
inline void checkStreamCsv(const std::string& path, std::size_t pods, int minimumRows, bool orientation = false,
                           const StreamCsvRowCheck& eachRow = {})
{
    const std::size_t columns = orientation ? 23 : 15;
    std::ifstream in(path);
    std::string line;
    ASSERT_TRUE(std::getline(in, line)) << path;
    EXPECT_EQ("time_s,pod,ax_m_s2,ay_m_s2,az_m_s2,mx_uT,my_uT,mz_uT,gx_rad_s,gy_rad_s,gz_rad_s,frame,loss,battery_pct,"
              "button" +
                  std::string(orientation ? ",qw,qx,qy,qz,roll_deg,pitch_deg,yaw_deg,orientation_sensors" : ""),
              line);
    std::map<std::string, double> lastFrame;
    std::map<std::string, int> rows;
    while (std::getline(in, line))
    {
        Poco::StringTokenizer cells(line, ",");
        ASSERT_EQ(columns, cells.count()) << line;
        double values[23] = {};
        for (std::size_t i = 0; i < columns; ++i)
        {
            if (i == 1 || i == 22) continue;
            ASSERT_TRUE(Poco::NumberParser::tryParseFloat(cells[i], values[i])) << line;
        }
        if (eachRow) eachRow(cells, values);
        const std::string pod = cells[1];
        if (lastFrame.count(pod))
        {
            EXPECT_EQ(lastFrame[pod] + 1, values[11]) << "frame counts of " << pod << ": " << line;
        }
        lastFrame[pod] = values[11];
        ++rows[pod];
        // Calibrated: 9.80665 m/s^2, with a little noise.
        EXPECT_NEAR(9.80665, std::sqrt(values[2] * values[2] + values[3] * values[3] + values[4] * values[4]), 0.3)
            << line;
    }
    ASSERT_EQ(pods, rows.size());
    for (const auto& [pod, count] : rows) EXPECT_GE(count, minimumRows) << pod;
}

#endif
