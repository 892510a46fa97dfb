#pragma once
// The mark of the one program on this machine that writes its own set-point every second: the
// window, the script driver or the instrument server. Two of them at once drive the board with
// a square wave, so each takes the mark before it writes anything and does not run without it;
// the console tool, which writes once, only reads it to warn.
//
// POSIX: the file window.lock in the registry root (so "machine" means one registry root, one
// controller), locked with flock by the holder, which also read-locks (fcntl) the byte that
// names its kind; Windows: a Global\ mutex with the device session's access list, and one
// named object per kind beside it. The lock ends with its process, however that ends.

#include <memory>
#include <string>

namespace tarnwick::app {

enum class Holder { kWindow = 0, kScriptDriver = 1, kServer = 2 };

// What the mark says about this machine's holder of the set-point.
struct MarkReading {
  enum class State { kFree, kHeld, kUnknown };
  State state = State::kFree;
  Holder holder = Holder::kWindow;  // with kHeld
  long process = 0;                 // with kHeld: its process id where known, else 0
  std::string reason;               // with kUnknown: why the mark could not be read or taken
};

// Held for the whole run of its holder, on the thread that took it (a Windows mutex belongs
// to a thread). Never open the POSIX mark file a second time in a holding process: closing
// that descriptor would drop the fcntl lock that names the holder.
class SetpointMark {
 public:
  explicit SetpointMark(Holder holder);
  ~SetpointMark();
  SetpointMark(const SetpointMark&) = delete;
  SetpointMark& operator=(const SetpointMark&) = delete;

  bool Taken() const { return held_ != nullptr; }
  // Why it was not taken: another holder (kHeld) or a mark that cannot be trusted or made
  // (kUnknown).
  const MarkReading& Refusal() const { return refusal_; }

  struct Held;

 private:
  std::unique_ptr<Held> held_;
  MarkReading refusal_;
};

// Who holds the mark, taking nothing, so it never keeps a starting holder from its mark.
MarkReading ReadMark();

// "a Tarnwick Test window", "the Tarnwick Test script driver", ...
std::string HolderName(Holder holder);
// The holder and its process where known: "a Tarnwick Test window (process 42)".
std::string HolderText(const MarkReading& reading);

// What a would-be holder says when it did not take the mark, and its exit status.
std::string RefusalText(const MarkReading& refusal);
inline constexpr int kExitHolderRuns = 3;   // another holder runs: nothing was written
inline constexpr int kExitMarkRefused = 4;  // the mark cannot be trusted or made
int RefusalExit(const MarkReading& refusal);

}  // namespace tarnwick::app
