#include "setpoint_mark.hpp"

namespace tarnwick::app {

std::string HolderName(Holder holder) {
  switch (holder) {
    case Holder::kScriptDriver:
      return "the Tarnwick Test script driver";
    case Holder::kServer:
      return "the Tarnwick Test instrument server";
    case Holder::kWindow:
      break;
  }
  return "a Tarnwick Test window";
}

std::string HolderText(const MarkReading& reading) {
  return HolderName(reading.holder) +
         (reading.process > 0 ? " (process " + std::to_string(reading.process) + ")" : "");
}

std::string RefusalText(const MarkReading& refusal) {
  if (refusal.state == MarkReading::State::kHeld) {
    return HolderText(refusal) +
           " already runs for this controller and writes its own set-point every second: only "
           "one may, so this one did not start and wrote nothing";
  }
  return "cannot mark this program as the one that sets the current (" + refusal.reason +
         "), so it did not start and wrote nothing";
}

int RefusalExit(const MarkReading& refusal) {
  return refusal.state == MarkReading::State::kHeld ? kExitHolderRuns : kExitMarkRefused;
}

}  // namespace tarnwick::app
