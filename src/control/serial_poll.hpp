#pragma once
// The controller's identification: its serial number, read with one transfer.

#include <cstdint>
#include <optional>
#include <string>

#include "control/setpoint_write.hpp"
#include "link/controller_link.hpp"

namespace tarnwick::control {

// Bytes 0 to 3 of the reply, least significant first, as the unsigned number they spell.
std::uint32_t SerialFromReply(const link::ControllerReply& reply);

// Sends the identification request on the device the link has open; 0 when none answers.
std::uint32_t ReadSerialNumber(link::ControllerLink& link);

// "Serial Number: " and the number in plain decimal.
std::string SerialLine(std::uint32_t serial);

// The once-a-second poll: open, identify, show the line when it differs from the last poll's,
// close, and write the set-point again while the open worked, so a re-plugged controller gets
// it back. lastSerialText holds the previous poll's line (nothing before the first).
void PollSerialNumber(link::ControllerLink& link, SetpointWindow& window,
                      std::optional<std::string>& lastSerialText);

}  // namespace tarnwick::control
