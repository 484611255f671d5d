#ifndef Drfn3_Dds_Messages_INCLUDED
#define Drfn3_Dds_Messages_INCLUDED

#include "DdsMessages.h"

#include <Drfn3/Sample.h>

#include <dds/dds.h>

#include <chrono>
#include <string>

namespace Drfn3 {
namespace Dds {

/// Poco::IOException with DDS's reason when rc is negative; rc otherwise.
dds_return_t check(dds_return_t rc, const std::string& what);

/// Seconds since 1970 (or any origin) as a message time, rounded to the nanosecond.
builtin_interfaces_msg_dds__Time_ messageTime(double seconds);
double seconds(const builtin_interfaces_msg_dds__Time_& time);

/// A sample as ROS 2 messages: rad/s, m/s^2 and tesla; the orientation turned from
/// north-west-up to ROS's east-north-up, or covariance[0] = -1 when the sample has none.
/// frameId must outlive the message.
void toImu(const Sample& sample, const builtin_interfaces_msg_dds__Time_& stamp, const char* frameId,
           sensor_msgs_msg_dds__Imu_& out);
void toMagneticField(const Sample& sample, const builtin_interfaces_msg_dds__Time_& stamp, const char* frameId,
                     sensor_msgs_msg_dds__MagneticField_& out);

void toMessage(const Sample& sample, drfn3_msg_dds__Sample_& out);
Sample fromMessage(const drfn3_msg_dds__Sample_& message);

/// Reliable, keep-last depth, transient-local: readers that come late get the last samples.
dds_qos_t* writerQos(unsigned depth, std::chrono::milliseconds maxBlocking);
dds_qos_t* readerQos(unsigned depth);

} // namespace Dds
} // namespace Drfn3

#endif
