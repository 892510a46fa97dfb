#pragma once
// The set-point write: the value in the entry goes to the 11-bit converter in three transfers
// that pulse its latch line high, low, high.

#include <cstdint>
#include <string>

#include "link/controller_link.hpp"

namespace tarnwick::control {

inline constexpr std::uint32_t kColourBlack = 0;
inline constexpr std::uint32_t kColourGrey = 0x80000011u;  // the system's disabled-text colour

inline constexpr std::uint8_t kCommandPortWrite = 10;
inline constexpr std::uint8_t kCommandIdentify = 11;
inline constexpr std::uint8_t kSubCommand = 10;
inline constexpr std::uint8_t kLatchBit = 8;
inline constexpr int kFullScale = 2047;             // counts
inline constexpr double kFullScaleMilliamps = 100;  // the current at kFullScale

// The three operations of the window that the write works on.
class SetpointWindow {
 public:
  virtual ~SetpointWindow() = default;
  virtual std::string SetpointText() const = 0;
  virtual void SetSerialCaption(const std::string& caption) = 0;
  virtual void SetSetpointColour(std::uint32_t colour) = 0;
};

struct ConverterBytes {
  std::uint8_t low = 0;   // bits 0 to 7
  std::uint8_t high = 0;  // bits 8 to 10, without the latch

  // The counts these bytes set the converter to.
  int Counts() const { return low | high << 8; }
};

// Rounded once (halves to even) and clamped to 0..2047, then split, so the low byte and the
// high bits always come from the same integer.
ConverterBytes SetpointBytes(double value);

void UpdateDAC(link::ControllerLink& link, SetpointWindow& window);

}  // namespace tarnwick::control
