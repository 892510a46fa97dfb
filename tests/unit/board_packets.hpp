#pragma once
// Request packets as the program sends them, for tests that talk to the board directly.

#include <cstdint>
#include <vector>

namespace tarnwick::testing {

using Bytes = std::vector<std::uint8_t>;

inline const Bytes kIdentify = {8, 18, 11, 10, 0, 0, 0, 0};

inline Bytes PortWrite(unsigned counts, bool latch) {
  return {8,
          18,
          10,
          10,
          static_cast<std::uint8_t>(counts & 0xFFu),
          static_cast<std::uint8_t>(((counts >> 8) & 0x07u) | (latch ? 0x08u : 0u)),
          0,
          0};
}

}  // namespace tarnwick::testing
