#pragma once
// The controller link: finds the controller through the registry, opens and closes it, and
// carries one 8-byte request and its 8-byte reply per transfer.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/os.hpp"

namespace tarnwick::link {

struct ControllerPacket {
  std::uint8_t Target = 0;
  std::uint8_t Model = 0;
  std::uint8_t Command = 0;
  std::uint8_t SubCommand = 0;
  std::uint8_t LowByte = 0;
  std::uint8_t HighByte = 0;
  std::int16_t ExtraLength = 0;
};
static_assert(sizeof(ControllerPacket) == 8);
static_assert(offsetof(ControllerPacket, Target) == 0);
static_assert(offsetof(ControllerPacket, Model) == 1);
static_assert(offsetof(ControllerPacket, Command) == 2);
static_assert(offsetof(ControllerPacket, SubCommand) == 3);
static_assert(offsetof(ControllerPacket, LowByte) == 4);
static_assert(offsetof(ControllerPacket, HighByte) == 5);
static_assert(offsetof(ControllerPacket, ExtraLength) == 6);

using ControllerReply = std::array<std::uint8_t, 8>;
using PacketBytes = std::array<std::uint8_t, 8>;

inline constexpr std::uint32_t kControlCode = 0x00222028u;
inline constexpr std::uint8_t kTarget = 8;
inline constexpr std::uint8_t kModel = 18;

inline constexpr char kRegistrySubkey[] =
    "System\\CurrentControlSet\\Services\\Tarnwick\\TWUSBIO\\Parameters\\";
inline constexpr char kRegistryValueName[] = "DeviceName";
inline constexpr std::size_t kRegistryBufferSize = 255;

inline constexpr char kNoControllerText[] = "No controller, check USB connection.";

// The packet as the driver receives it: little-endian whatever the host.
PacketBytes Serialize(const ControllerPacket& packet);

// "OpenDevice() ERROR #" + number (leading blank when not negative) + " : " + description.
std::string OpenDeviceErrorText(std::int32_t number, const std::string& description);

class ControllerLink {
 public:
  // statusText belongs to the window; the link reports every open's outcome there.
  ControllerLink(platform::Os& os, std::string& statusText) : os_(os), statusText_(statusText) {}
  ControllerLink(const ControllerLink&) = delete;
  ControllerLink& operator=(const ControllerLink&) = delete;

  // On failure the reply is all zeros, as the window expects; FailedTransfers() counts it.
  ControllerReply SendPacket(ControllerPacket& packet);
  std::string ReadRegistryString(platform::RegKey root, const std::string& subkey,
                                 const std::string& valueName, const std::string& defaultText);
  bool OpenDevice() noexcept;
  bool CloseDevice() noexcept;

  platform::Handle DeviceHandle() const { return deviceHandle_; }
  const std::string& StatusText() const { return statusText_; }
  // The registered device's path as opened (cut at its first NUL); empty when none is.
  const std::string& DevicePath() const { return devicePath_; }
  // The platform's error numbers, which the window never looks at and a console tool names
  // the reason with: for the last open of a registered device that failed, and for the first
  // transfer since the last open that the platform failed; else 0.
  std::int32_t OpenError() const { return openError_; }
  std::int32_t TransferError() const { return transferError_; }
  // Transfers that got no whole reply (no device open, refused, failed, or short): the
  // window never looks, a console tool needs it for its exit status.
  std::uint64_t FailedTransfers() const { return failedTransfers_; }

 private:
  void ReportUnexpectedFailure() noexcept;
  // Inside a handler: the platform's number for the exception being handled.
  std::int32_t CaughtErrorNumber();
  void TransferFailed(std::int32_t number) noexcept;

  platform::Os& os_;
  std::string& statusText_;
  platform::Handle deviceHandle_ = 0;
  std::string devicePath_;
  std::uint64_t failedTransfers_ = 0;
  std::int32_t openError_ = 0;
  std::int32_t transferError_ = 0;
};

// Closes the device when the handler that opened it leaves, on every path.
class DeviceSession {
 public:
  explicit DeviceSession(ControllerLink& link) : link_(link) {}
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;
  ~DeviceSession() { link_.CloseDevice(); }

 private:
  ControllerLink& link_;
};

}  // namespace tarnwick::link
