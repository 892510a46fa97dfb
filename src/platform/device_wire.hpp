#pragma once
// The stand-in driver's wire format, little-endian, shared by the device side of the seam and
// the simulated controller that serves it:
//   request = u32 control code, u32 output capacity, then the input bytes;
//   reply   = u32 result (1 success, 0 failure), then at most `capacity` bytes of output;
//   or, unasked, u32 2 alone: the driver turns the connection away (too many clients) and
//   closes it, having read nothing.

#include <cstddef>
#include <cstdint>

namespace tarnwick::platform::posix {

inline constexpr std::size_t kWireHeaderBytes = 8;  // a request's code and capacity
inline constexpr std::size_t kWireResultBytes = 4;  // a reply's result
inline constexpr std::uint32_t kWireFailure = 0;
inline constexpr std::uint32_t kWireSuccess = 1;
inline constexpr std::uint32_t kWireRefused = 2;

inline std::uint32_t ReadU32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

inline void PutU32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace tarnwick::platform::posix
