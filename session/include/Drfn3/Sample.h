#ifndef Drfn3_Sample_INCLUDED
#define Drfn3_Sample_INCLUDED

#include <cstdint>

namespace Drfn3 {

/// One sample of one pod, as drfn3 writes it and as Python receives it (the package's numpy
/// dtype is made from this struct). Sensor values are calibrated (accelerometer m/s^2,
/// magnetometer uT, gyroscope rad/s) or raw counts, as the reader was asked.
struct Sample
{
    /// Seconds on the run's time base: the pod's frame count over its frequency, carried
    /// on across transmissions.
    double time = 0;
    std::uint32_t serial = 0;
    double ax = 0, ay = 0, az = 0;
    double mx = 0, my = 0, mz = 0;
    double gx = 0, gy = 0, gz = 0;
    /// The pod's unwrapped frame count within its transmission.
    std::int64_t frame = 0;
    /// Lost frames over the counter's window, 0 to 1.
    double loss = 0;
    /// Percent, averaged.
    double battery = 0;
    std::uint8_t button = 0;
    /// The host's attitude estimate when the reader was asked for it: pod to world (x north,
    /// y west, z up) as a unit quaternion, and roll, pitch, yaw in degrees.
    bool hasOrientation = false;
    /// What that estimate used, added: 1 accelerometer, 2 magnetometer, 4 gyroscope. Without
    /// 4 the gyroscope is off and the orientation follows the accelerometer and magnetometer
    /// alone; without 1 or 2 that sensor was rejected (a push, a magnetic disturbance) or,
    /// for the magnetometer, left out (six-axis).
    std::uint8_t orientationSensors = 0;
    double qw = 1, qx = 0, qy = 0, qz = 0;
    double roll = 0, pitch = 0, yaw = 0;
};

} // namespace Drfn3

#endif
