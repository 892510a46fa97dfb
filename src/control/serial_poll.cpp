#include "control/serial_poll.hpp"

#include "control/setpoint_write.hpp"

namespace tarnwick::control {

std::uint32_t SerialFromReply(const link::ControllerReply& reply) {
  // Unsigned all the way: a top byte of 128 or more is a large serial, not an overflow.
  return static_cast<std::uint32_t>(reply[0]) | static_cast<std::uint32_t>(reply[1]) << 8 |
         static_cast<std::uint32_t>(reply[2]) << 16 | static_cast<std::uint32_t>(reply[3]) << 24;
}

std::uint32_t ReadSerialNumber(link::ControllerLink& link) {
  link::ControllerPacket packet;
  packet.Command = kCommandIdentify;
  packet.SubCommand = kSubCommand;
  return SerialFromReply(link.SendPacket(packet));
}

std::string SerialLine(std::uint32_t serial) {
  return "Serial Number: " + std::to_string(serial);
}

}  // namespace tarnwick::control
