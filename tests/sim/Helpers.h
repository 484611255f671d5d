#ifndef Tests_Sim_Helpers_INCLUDED
#define Tests_Sim_Helpers_INCLUDED

#include <Tarnlink/Sim/Simulator.h>
#include <Tarnlink/Sim/Wire.h>
#include <string>

namespace SimTest {

using namespace Tarnlink::Sim;

/// Sends one request and returns what the device has sent within 50 ms of virtual time.
inline std::string exchange(Simulator& sim, std::uint8_t opcode, std::uint8_t address, std::uint16_t value = 0)
{
    sim.feed(Wire::request(opcode, address, value));
    sim.waitForOutput(sim.clock().now() + 50000);
    return Wire::toHex(sim.take());
}

inline std::string hexReply(std::uint8_t opcode, std::uint8_t address, std::uint16_t value)
{
    return Wire::toHex(Wire::reply(opcode, address, value));
}

const std::string kTimeout = "55 aa 55 aa ff ff ff ff";

/// Selects a pod the way the host does: LSB, then 0x12 and the top byte.
inline void select(Simulator& sim, std::uint32_t serial)
{
    exchange(sim, Wire::WriteController, Wire::SLAVE_ADDR_LSB, serial & 0xFFFF);
    exchange(sim, Wire::WriteController, Wire::SLAVE_ADDR_MSB, 0x1200 | ((serial >> 16) & 0xFF));
}

} // namespace SimTest

#endif
