#include "control/serial_poll.hpp"

#include <utility>

#include "platform/little_endian.hpp"

namespace tarnwick::control {

std::uint32_t SerialFromReply(const link::ControllerReply& reply) {
  // Unsigned all the way: a top byte of 128 or more is a large serial, not an overflow.
  return platform::ReadU32(reply.data());
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

void PollSerialNumber(link::ControllerLink& link, SetpointWindow& window,
                      std::optional<std::string>& lastSerialText) {
  link.OpenDevice();
  {
    link::DeviceSession session(link);
    std::string line = SerialLine(ReadSerialNumber(link));
    // Written only when the line changes, so a status that a write put there in between
    // stays until the serial number itself changes.
    if (line != lastSerialText) window.SetSerialCaption(line);
    lastSerialText = std::move(line);
  }
  if (link.StatusText().empty()) UpdateDAC(link, window);
}

}  // namespace tarnwick::control
