#ifndef Drfn3_Calibration_INCLUDED
#define Drfn3_Calibration_INCLUDED

namespace Drfn3 {

/// One sensor's calibration as the filter publishes it: a 3x3 gain (row by row) and a 3x1
/// offset in calibrated units. The one rule that turns counts into physical values:
///
///     calibrated = gain x raw - offset
///
/// (the filter scales the accelerometer gain with its range and never the offset, which
/// only holds for an offset in calibrated units applied after the gain).
struct SensorCalibration
{
    double gain[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    double offset[3] = {0, 0, 0};

    /// False for a gain that is all zero or not finite (a blank or unread calibration).
    bool usable() const;
    /// out = gain x raw - offset.
    void apply(const double raw[3], double out[3]) const;
};

} // namespace Drfn3

#endif
