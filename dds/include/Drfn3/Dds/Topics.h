#ifndef Drfn3_Dds_Topics_INCLUDED
#define Drfn3_Dds_Topics_INCLUDED

#include <cstdint>
#include <string>

namespace Drfn3 {
namespace Dds {

/// Topic names as ROS 2 maps its names onto DDS ("rt/" + the ROS name without its leading
/// slash): /drfn3/A10001/imu is "rt/drfn3/A10001/imu". The serial as drfn3 prints it.
std::string imuTopic(unsigned serial);
std::string magTopic(unsigned serial);
/// One instance per session (keyed by its name): its pods, loss, battery, state.
extern const char* const STATUS_TOPIC;
/// Every sample of a session whole, in batches in the order it read them: what a recorder
/// takes.
extern const char* const SAMPLES_TOPIC;

/// A session's state as its status says it.
enum class SessionState : std::uint8_t
{
    Starting = 0,
    Streaming = 1,
    /// A controller was lost and is waited for; its pods' status says streaming = false.
    ControllerLost = 2,
    /// The session published all it had; nothing more comes.
    Ended = 3
};

} // namespace Dds
} // namespace Drfn3

#endif
