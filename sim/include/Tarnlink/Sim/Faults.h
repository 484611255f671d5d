#ifndef Tarnlink_Sim_Faults_INCLUDED
#define Tarnlink_Sim_Faults_INCLUDED

#include <Tarnlink/Sim/Sim.h>
#include <Tarnlink/Sim/VirtualClock.h>

namespace Tarnlink {
namespace Sim {

/// Seeded wire faults. Probabilities are per message sent by the controller (register
/// replies, frames, pairing reports), 0 disables. Pod-level faults (unreachable pods,
/// stuck EEPROM words, registers that stop answering) live on Pod and Controller.
struct Faults
{
    /// One byte of the message (marker included) has a bit flipped.
    double corruptByte = 0.0;
    /// One byte of the message is lost.
    double dropByte = 0.0;
    /// 1-8 random bytes go out before the message.
    double garbage = 0.0;
    /// A register reply names another address, so neither an echo nor a read reply matches.
    double wrongEcho = 0.0;
    /// A pod register reply becomes FF FF FF FF.
    double controllerTimeout = 0.0;
    /// A data frame is lost on the radio: the pod has counted it, the host never sees it
    /// (recorded as a frame without bytes).
    double dropFrame = 0.0;
    /// From this virtual time on, the controller is gone (set it with
    /// Simulator::disappearAt, which also handles coming back).
    Micros disappearAt = kNever;

    bool any() const
    {
        return corruptByte > 0 || dropByte > 0 || garbage > 0 || wrongEcho > 0 || controllerTimeout > 0 ||
               dropFrame > 0;
    }
};

} // namespace Sim
} // namespace Tarnlink

#endif
