#include "control/setpoint_write.hpp"

#include <cmath>

#include "control/numeric_prefix.hpp"

namespace tarnwick::control {

namespace {

// Halves to even without depending on the floating-point environment's rounding mode.
double RoundHalfEven(double value) {
  const double down = std::floor(value);
  const double fraction = value - down;
  if (fraction < 0.5) return down;
  if (fraction > 0.5) return down + 1.0;
  return std::fmod(down, 2.0) == 0.0 ? down : down + 1.0;
}

}  // namespace

ConverterBytes SetpointBytes(double value) {
  int counts = 0;
  if (value > 0.0) {  // NaN and negatives stay at 0
    const double rounded = RoundHalfEven(value);
    counts = rounded >= kFullScale ? kFullScale : static_cast<int>(rounded);
  }
  return {static_cast<std::uint8_t>(counts & 0xFF), static_cast<std::uint8_t>(counts >> 8)};
}

void UpdateDAC(link::ControllerLink& link, SetpointWindow& window) {
  const bool found = link.OpenDevice();
  link::DeviceSession session(link);
  if (!found) window.SetSerialCaption(link.StatusText());
  window.SetSetpointColour(kColourBlack);

  const ConverterBytes bytes = SetpointBytes(NumericPrefixValue(window.SetpointText()));
  link::ControllerPacket packet;
  packet.Command = kCommandPortWrite;
  packet.SubCommand = kSubCommand;
  packet.LowByte = bytes.low;
  for (const std::uint8_t latch : {kLatchBit, std::uint8_t{0}, kLatchBit}) {
    packet.HighByte = static_cast<std::uint8_t>(bytes.high | latch);
    link.SendPacket(packet);  // the reply to a port write carries nothing we use
  }
}

}  // namespace tarnwick::control
