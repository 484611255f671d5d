// Drives the frame decoding path of the filter (decode, record lookup, layout by firmware
// version, counting and publishing) with arbitrary frames, record counts and versions.
// Input: record count, major, minor, frequency step, then frames each led by a length byte.
#include "DRFN3Internal/DataFrame.h"
#include "DRFN3Internal/DriftnodeOutputs.h"

#include "Quillmesh/Core/PinManager.h"

#include <cmath>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace DRFN3Internal;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4) return 0;
    const unsigned records = data[0] % 9;
    const unsigned major = data[1];
    const unsigned minor = data[2];
    const double frequency = 10.0 * (1 + data[3] % 50);
    Quillmesh::Core::PinManager filter("fuzz");
    std::vector<std::unique_ptr<DriftnodeOutputs>> outputs;
    for (unsigned k = 0; k < records; ++k)
        outputs.push_back(std::make_unique<DriftnodeOutputs>(&filter, "#" + std::to_string(k)));

    const FrameLayout layout = frameLayoutFor(major, minor);
    std::size_t pos = 4;
    while (pos < size)
    {
        const std::size_t wanted = data[pos++];
        const std::size_t length = std::min(wanted, size - pos);
        const std::string body(reinterpret_cast<const char*>(data + pos), length);
        pos += length;
        DataFrame frame;
        if (!frame.decode(body))
        {
            if (length >= DataFrame::SIZE) __builtin_trap();
            continue;
        }
        const SensorValues values = frame.getSensorValues(layout);
        for (const Axes* axes : {&values.accelerometer, &values.magnetometer, &values.gyroscope})
            for (int v : *axes)
                if (v < -32768 * 16 || v > 32767 * 16) __builtin_trap();
        const double battery = frame.getBatterySample();
        if (!(battery >= 12.5 && battery <= 100.0)) __builtin_trap();
        const unsigned i = frame.getRecordIndex();
        if (i >= outputs.size()) continue;
        if (outputs[i]->publishFrame(frame, layout, frequency))
        {
            const Matrix& samples = outputs[i]->samples(Sensor::Accelerometer);
            for (Eigen::Index k = 0; k < samples.size(); ++k)
                if (!std::isfinite(samples.data()[k])) __builtin_trap();
        }
    }
    return 0;
}
