#pragma once
// The board as a SCPI instrument: IEEE 488.2 common commands and the SCPI subset a one-channel
// current source needs, over the held set-point. Portable and free of system calls: the
// server feeds it message lines and sends back what it answers; the device is an interface.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::scpi {

// SCPI's error numbers, those this instrument can queue.
inline constexpr int kSyntaxError = -102;
inline constexpr int kDataTypeError = -104;
inline constexpr int kParameterNotAllowed = -108;
inline constexpr int kMissingParameter = -109;
inline constexpr int kUndefinedHeader = -113;
inline constexpr int kInvalidCharacterInNumber = -121;
inline constexpr int kInvalidSuffix = -131;
inline constexpr int kDataOutOfRange = -222;
inline constexpr int kIllegalParameterValue = -224;
inline constexpr int kHardwareError = -240;
inline constexpr int kHardwareMissing = -241;
inline constexpr int kQueueOverflow = -350;
inline constexpr int kInputBufferOverrun = -363;

// SCPI's own words for an error number ("" for one it does not name).
std::string_view ErrorText(int code);

// What a write to the converter came to: 0, or kHardwareError / kHardwareMissing with the
// reason in SCPI's "<text>;<detail>" form.
struct DeviceResult {
  int error = 0;
  std::string detail;
};

// The controller, as the instrument needs it. Each call is one whole device session.
class Device {
 public:
  virtual ~Device() = default;
  // The three transfers of one write, all answered, or the reason they were not.
  virtual DeviceResult Write(int counts) = 0;
  // The serial number, or nothing when no controller answers the request.
  virtual std::optional<std::uint32_t> Serial() = 0;
};

// The error queue of one client: the oldest first; when it fills, the newest entry becomes
// -350, as SCPI has it, so a client learns that it missed some.
class ErrorQueue {
 public:
  static constexpr std::size_t kCapacity = 16;
  void Push(int code, std::string_view detail = {});
  std::string Pop();  // `0,"No error"` when empty
  std::size_t Count() const { return entries_.size(); }
  void Clear() { entries_.clear(); }

 private:
  std::deque<std::string> entries_;
};

// What each client has of its own: errors and the IEEE 488.2 status registers.
struct ClientState {
  ErrorQueue errors;
  std::uint8_t esr = 0;  // standard event status register
  std::uint8_t ese = 0;  // its enable mask
  std::uint8_t sre = 0;  // service request enable mask
};

// The standard event status bits this instrument raises.
inline constexpr std::uint8_t kEsrOperationComplete = 0x01;
inline constexpr std::uint8_t kEsrQueryError = 0x04;
inline constexpr std::uint8_t kEsrDeviceError = 0x08;
inline constexpr std::uint8_t kEsrExecutionError = 0x10;
inline constexpr std::uint8_t kEsrCommandError = 0x20;

// Queues an error for the client and raises its event bit.
void QueueError(ClientState& client, int code, std::string_view detail = {});

class Instrument {
 public:
  // version: the program's, as *IDN? reports it.
  Instrument(Device& device, std::string version);

  // Runs one message (a line, its "\n" or "\r\n" taken off) for a client and returns what it
  // answers: the queries' responses joined by ';' and ended by "\n", or "" when none asked.
  std::string Execute(ClientState& client, std::string_view message);

  // The set-point held for the converter, in counts: the once-a-second poll writes it.
  int HeldCounts() const { return held_; }

 private:
  struct Call;
  std::optional<std::string> Run(ClientState& client, const Call& call);
  void Write(ClientState& client, int counts);

  Device& device_;
  std::string version_;
  int held_ = 0;
};

// Cuts a client's byte stream into message lines, bounded: a message longer than kMaxMessage
// bytes is reported once as an overrun and discarded up to the next newline.
class MessageBuffer {
 public:
  static constexpr std::size_t kMaxMessage = 4096;
  // line: each whole message, without its terminator; overrun: once per discarded message.
  void Feed(std::string_view bytes, const std::function<void(std::string_view line)>& line,
            const std::function<void()>& overrun);

 private:
  std::string pending_;
  bool discarding_ = false;
};

}  // namespace tarnwick::scpi
