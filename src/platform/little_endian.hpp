#pragma once
// Little-endian integers in byte buffers, whatever the host: the controller's packets and
// replies, and the stand-in driver's wire. Plain code, so every floor may see it (it is part of
// the seam's headers) and the simulator shares it.

#include <cstdint>

namespace tarnwick::platform {

constexpr std::uint32_t ReadU32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

constexpr void PutU16(std::uint8_t* bytes, std::uint16_t value) {
  for (int i = 0; i < 2; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

constexpr void PutU32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace tarnwick::platform
