#include "Messages.h"

#include <Poco/Exception.h>

#include <cmath>

namespace Drfn3 {
namespace Dds {

dds_return_t check(dds_return_t rc, const std::string& what)
{
    if (rc < 0) throw Poco::IOException("DDS: " + what + ": " + dds_strretcode(rc));
    return rc;
}

builtin_interfaces_msg_dds__Time_ messageTime(double seconds)
{
    builtin_interfaces_msg_dds__Time_ time{};
    if (!std::isfinite(seconds)) return time;
    const long long nanoseconds = std::llround(seconds * 1e9);
    long long whole = nanoseconds / 1000000000LL;
    long long rest = nanoseconds % 1000000000LL;
    if (rest < 0)
    {
        rest += 1000000000LL;
        --whole;
    }
    time.sec = static_cast<std::int32_t>(whole);
    time.nanosec = static_cast<std::uint32_t>(rest);
    return time;
}

double seconds(const builtin_interfaces_msg_dds__Time_& time)
{
    return static_cast<double>(time.sec) + static_cast<double>(time.nanosec) * 1e-9;
}

void toImu(const Sample& s, const builtin_interfaces_msg_dds__Time_& stamp, const char* frameId,
           sensor_msgs_msg_dds__Imu_& out)
{
    out = sensor_msgs_msg_dds__Imu_{};
    out.header.stamp = stamp;
    out.header.frame_id = const_cast<char*>(frameId);
    if (s.hasOrientation)
    {
        // Ours is pod to north-west-up; ROS's world is east-north-up: a quarter turn about up
        // applied after it.
        const double c = std::sqrt(0.5), k = std::sqrt(0.5);
        out.orientation.w = c * s.qw - k * s.qz;
        out.orientation.x = c * s.qx - k * s.qy;
        out.orientation.y = c * s.qy + k * s.qx;
        out.orientation.z = c * s.qz + k * s.qw;
    }
    else
    {
        out.orientation.w = 1;
        // ROS's way to say there is no orientation.
        out.orientation_covariance[0] = -1;
    }
    out.angular_velocity = {s.gx, s.gy, s.gz};
    out.linear_acceleration = {s.ax, s.ay, s.az};
}

void toMagneticField(const Sample& s, const builtin_interfaces_msg_dds__Time_& stamp, const char* frameId,
                     sensor_msgs_msg_dds__MagneticField_& out)
{
    out = sensor_msgs_msg_dds__MagneticField_{};
    out.header.stamp = stamp;
    out.header.frame_id = const_cast<char*>(frameId);
    out.magnetic_field = {s.mx * 1e-6, s.my * 1e-6, s.mz * 1e-6};
}

void toMessage(const Sample& s, drfn3_msg_dds__Sample_& out)
{
    out.time = s.time;
    out.serial = s.serial;
    out.ax = s.ax;
    out.ay = s.ay;
    out.az = s.az;
    out.mx = s.mx;
    out.my = s.my;
    out.mz = s.mz;
    out.gx = s.gx;
    out.gy = s.gy;
    out.gz = s.gz;
    out.frame = s.frame;
    out.loss = s.loss;
    out.battery = s.battery;
    out.button = s.button;
    out.has_orientation = s.hasOrientation;
    out.qw = s.qw;
    out.qx = s.qx;
    out.qy = s.qy;
    out.qz = s.qz;
    out.roll = s.roll;
    out.pitch = s.pitch;
    out.yaw = s.yaw;
}

Sample fromMessage(const drfn3_msg_dds__Sample_& m)
{
    Sample s;
    s.time = m.time;
    s.serial = m.serial;
    s.ax = m.ax;
    s.ay = m.ay;
    s.az = m.az;
    s.mx = m.mx;
    s.my = m.my;
    s.mz = m.mz;
    s.gx = m.gx;
    s.gy = m.gy;
    s.gz = m.gz;
    s.frame = m.frame;
    s.loss = m.loss;
    s.battery = m.battery;
    s.button = m.button;
    s.hasOrientation = m.has_orientation;
    s.qw = m.qw;
    s.qx = m.qx;
    s.qy = m.qy;
    s.qz = m.qz;
    s.roll = m.roll;
    s.pitch = m.pitch;
    s.yaw = m.yaw;
    return s;
}

dds_qos_t* writerQos(unsigned depth, std::chrono::milliseconds maxBlocking)
{
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_MSECS(maxBlocking.count()));
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, static_cast<int32_t>(depth));
    dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
    // What a late reader gets is the durability service's history, not the writer's.
    dds_qset_durability_service(qos, 0, DDS_HISTORY_KEEP_LAST, static_cast<int32_t>(depth), DDS_LENGTH_UNLIMITED,
                                DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED);
    return qos;
}

dds_qos_t* readerQos(unsigned depth)
{
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, static_cast<int32_t>(depth));
    dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
    return qos;
}

} // namespace Dds
} // namespace Drfn3
