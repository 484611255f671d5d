#ifndef Drfn3_PodCalibration_INCLUDED
#define Drfn3_PodCalibration_INCLUDED

#include "Drfn3/Calibration.h"

#include <string>
#include <vector>

namespace Drfn3 {

class Host;
class SampleReader;

/// The calibration of one pod as its EEPROM holds it: accelerometer, magnetometer, gyroscope.
struct PodCalibration
{
    unsigned serial = 0;
    SensorCalibration sensors[3];
};

/// One matrix to commit to one pod: a gain (3x3) or an offset (3 values) of sensor 0-2.
struct CalibrationMatrix
{
    unsigned serial = 0;
    int sensor = 0;
    bool gain = true;
    std::size_t rows = 0;
    std::size_t cols = 0;
    /// Row by row.
    std::vector<double> values;
};

/// The sensor's name in messages and files: "acc", "mag", "gyr".
const char* sensorName(int sensor);
/// The filter's pin for a matrix ("3aGain#0xA10001", ...).
std::string calibrationPin(const CalibrationMatrix& matrix);

/// Every known pod's calibration, read from its EEPROM (the filter's "Read Calib").
std::vector<PodCalibration> readCalibration(Host& host, SampleReader& reader);

/// UsageError for a pod not among serials, a sensor out of range, a shape other than 3x3
/// for a gain or 3 values for an offset, a value that is not finite, or the same matrix
/// twice; or for no matrix at all.
void checkCalibration(const std::vector<unsigned>& serials, const std::vector<CalibrationMatrix>& matrices);

/// Commits the matrices to the pods' EEPROM. Before anything is sent: checkCalibration with
/// the host's pods. Then the pods' calibration is read first, so that a sensor given only its gain or only its offset keeps
/// the other as the pod holds it: nothing nobody gave is written.
void writeCalibration(Host& host, SampleReader& reader, const std::vector<CalibrationMatrix>& matrices);

} // namespace Drfn3

#endif
