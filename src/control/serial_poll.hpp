#pragma once
// The controller's identification: its serial number, read with one transfer.

#include <cstdint>
#include <string>

#include "link/controller_link.hpp"

namespace tarnwick::control {

// Bytes 0 to 3 of the reply, least significant first, as the unsigned number they spell.
std::uint32_t SerialFromReply(const link::ControllerReply& reply);

// Sends the identification request on the device the link has open; 0 when none answers.
std::uint32_t ReadSerialNumber(link::ControllerLink& link);

// "Serial Number: " and the number in plain decimal.
std::string SerialLine(std::uint32_t serial);

}  // namespace tarnwick::control
