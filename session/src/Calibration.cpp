#include "Drfn3/Calibration.h"

#include <cmath>

namespace Drfn3 {

bool SensorCalibration::usable() const
{
    bool nonZero = false;
    for (double g : gain)
    {
        if (!std::isfinite(g)) return false;
        nonZero = nonZero || g != 0.0;
    }
    for (double o : offset)
        if (!std::isfinite(o)) return false;
    return nonZero;
}

void SensorCalibration::apply(const double raw[3], double out[3]) const
{
    for (int r = 0; r < 3; ++r)
        out[r] = gain[3 * r] * raw[0] + gain[3 * r + 1] * raw[1] + gain[3 * r + 2] * raw[2] - offset[r];
}

} // namespace Drfn3
