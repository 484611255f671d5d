#include "Drfn3/PodCalibration.h"

#include "Drfn3/Host.h"
#include "Drfn3/SampleReader.h"

#include "Quillmesh/Core/OutputPin.h"
#include "Quillmesh/Core/PinManager.h"

#include <DRFN3Internal/PinNames.h>
#include <Poco/Exception.h>
#include <Poco/Timestamp.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>

namespace Drfn3 {

namespace PinNames = DRFN3Internal::PinNames;

const char* sensorName(int sensor)
{
    static const char* const names[3] = {"acc", "mag", "gyr"};
    return sensor >= 0 && sensor < 3 ? names[sensor] : "?";
}

std::string calibrationPin(const CalibrationMatrix& matrix)
{
    return std::string(matrix.gain ? PinNames::GAINS[matrix.sensor] : PinNames::OFFSETS[matrix.sensor]) +
           PinNames::suffix(matrix.serial);
}

std::vector<PodCalibration> readCalibration(Host& host, SampleReader& reader)
{
    const std::vector<unsigned> serials = host.serials();
    reader.setPods(serials);
    host.run("Read Calib");
    reader.refreshCalibration();
    std::vector<PodCalibration> result;
    for (const PodState& pod : reader.pods())
    {
        PodCalibration calibration;
        calibration.serial = pod.serial;
        std::copy(pod.calibration, pod.calibration + 3, calibration.sensors);
        result.push_back(calibration);
    }
    return result;
}

void checkCalibration(const std::vector<unsigned>& serials, const std::vector<CalibrationMatrix>& matrices)
{
    if (matrices.empty()) throw UsageError("No calibration matrices given");
    std::set<std::string> seen;
    for (const CalibrationMatrix& m : matrices)
    {
        if (std::find(serials.begin(), serials.end(), m.serial) == serials.end())
            throw UsageError("Pod " + hex(m.serial) + " is not one of the known pods");
        if (m.sensor < 0 || m.sensor > 2) throw UsageError("Sensor " + std::to_string(m.sensor) + " is not 0, 1 or 2");
        const std::string what = "pod " + hex(m.serial) + " " + sensorName(m.sensor) +
                                 (m.gain ? " gain (" : " offset (") +
                                 (m.gain ? PinNames::GAINS[m.sensor] : PinNames::OFFSETS[m.sensor]) + ")";
        const bool shapeOk =
            m.gain ? (m.rows == 3 && m.cols == 3) : ((m.rows == 3 && m.cols == 1) || (m.rows == 1 && m.cols == 3));
        if (!shapeOk || m.values.size() != m.rows * m.cols)
            throw UsageError(what + ": " + (m.gain ? "a gain is 3x3" : "an offset is 3 values (3x1 or 1x3)") +
                             ", not " + std::to_string(m.rows) + "x" + std::to_string(m.cols));
        for (double v : m.values)
            if (!std::isfinite(v)) throw UsageError(what + ": holds a value that is not a finite number");
        if (!seen.insert(calibrationPin(m)).second) throw UsageError(what + " is given twice");
    }
}

void writeCalibration(Host& host, SampleReader& reader, const std::vector<CalibrationMatrix>& matrices)
{
    checkCalibration(host.serials(), matrices);

    // The filter writes gain and offset together from its own copy: it must hold what the
    // pods hold before only a part of it is replaced.
    readCalibration(host, reader);

    // The host's own outputs, feeding the filter's calibration inputs.
    Quillmesh::Core::PinManager sources("drfn3 calibration");
    std::vector<std::unique_ptr<Quillmesh::Core::OutputPin<Quillmesh::Core::RowMatrixXd>>> pins;
    const double now = static_cast<double>(Poco::Timestamp().epochMicroseconds()) * 1e-6;
    for (const CalibrationMatrix& m : matrices)
    {
        const std::string name = calibrationPin(m);
        Quillmesh::Core::AbstractInputPin* input = host.filter().getFilter().findInputPin(name);
        if (!input) throw Poco::NotFoundException("The filter has no calibration input " + name);
        pins.push_back(std::make_unique<Quillmesh::Core::OutputPin<Quillmesh::Core::RowMatrixXd>>(name, &sources));
        pins.back()->attach(*input);
        Quillmesh::Core::RowMatrixXd& value = pins.back()->getData();
        value.resize(static_cast<Eigen::Index>(m.gain ? 3 : 3), static_cast<Eigen::Index>(m.gain ? 3 : 1));
        std::copy(m.values.begin(), m.values.end(), value.data());
        pins.back()->push(now);
    }
    host.run("Write Calib");
    reader.refreshCalibration();
}

} // namespace Drfn3
