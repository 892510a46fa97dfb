#pragma once
// The stand-in driver's wire format, little-endian, shared by the device side of the seam and
// the simulated controller that serves it:
//   request = u32 control code, u32 output capacity, then the input bytes;
//   reply   = u32 result (1 success, 0 failure), then at most `capacity` bytes of output;
//   or, unasked, u32 2 alone: the driver turns the connection away (too many clients) and
//   closes it, having read nothing.

#include <cstddef>
#include <cstdint>

#include "platform/little_endian.hpp"

namespace tarnwick::platform::posix {

inline constexpr std::size_t kWireHeaderBytes = 8;  // a request's code and capacity
inline constexpr std::size_t kWireResultBytes = 4;  // a reply's result
inline constexpr std::uint32_t kWireFailure = 0;
inline constexpr std::uint32_t kWireSuccess = 1;
inline constexpr std::uint32_t kWireRefused = 2;

}  // namespace tarnwick::platform::posix
