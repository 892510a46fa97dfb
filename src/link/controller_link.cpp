#include "link/controller_link.hpp"

#include <new>
#include <system_error>

#include "platform/little_endian.hpp"

namespace tarnwick::link {

using platform::kErrorSuccess;

PacketBytes Serialize(const ControllerPacket& packet) {
  PacketBytes bytes{packet.Target,     packet.Model,   packet.Command,
                    packet.SubCommand, packet.LowByte, packet.HighByte};
  platform::PutU16(bytes.data() + offsetof(ControllerPacket, ExtraLength),
                   static_cast<std::uint16_t>(packet.ExtraLength));
  return bytes;
}

std::string OpenDeviceErrorText(std::int32_t number, const std::string& description) {
  std::string text = "OpenDevice() ERROR #";
  if (number >= 0) text += ' ';
  text += std::to_string(number);
  text += " : ";
  text += description;
  return text;
}

ControllerReply ControllerLink::SendPacket(ControllerPacket& packet) {
  ControllerReply reply{};
  ++failedTransfers_;  // taken back below once a whole reply is in
  if (deviceHandle_ <= 0) return reply;
  packet.Target = kTarget;
  packet.Model = kModel;
  // The record is the whole packet: one that claims extension bytes would have the driver
  // read past it (or, for a negative count, see it cut short), so it is never sent.
  if (packet.ExtraLength != 0) return reply;

  const PacketBytes request = Serialize(packet);
  ControllerReply output{};
  std::uint32_t returned = 0;
  try {
    if (!os_.deviceIoControl(deviceHandle_, kControlCode, request.data(),
                             static_cast<std::uint32_t>(request.size()), output.data(),
                             static_cast<std::uint32_t>(output.size()), returned)) {
      TransferFailed(os_.lastError());
      return reply;
    }
  } catch (...) {
    try {
      TransferFailed(CaughtErrorNumber());
    } catch (...) {
      // The platform cannot even say why: no number to keep.
    }
    return reply;  // a failed transfer reads as zeros, like any other
  }
  // A short reply still goes to the window as it came; only the count calls it a failure.
  if (returned >= output.size()) --failedTransfers_;
  return output;
}

std::string ControllerLink::ReadRegistryString(platform::RegKey root, const std::string& subkey,
                                               const std::string& valueName,
                                               const std::string& defaultText) {
  try {
    std::string buffer(kRegistryBufferSize, ' ');
    std::uint32_t capacity = kRegistryBufferSize;
    platform::RegKey key = 0;
    std::int32_t result = -1;
    try {
      os_.regOpenKey(root, subkey, 0, platform::kKeyQueryValue, key);
      std::uint32_t type = 0;
      result = os_.regQueryValue(key, valueName, type,
                                 reinterpret_cast<std::uint8_t*>(buffer.data()), capacity);
    } catch (...) {
      os_.regCloseKey(key);
      throw;
    }
    os_.regCloseKey(key);
    return result == kErrorSuccess ? buffer : defaultText;
  } catch (...) {
    return defaultText;
  }
}

bool ControllerLink::OpenDevice() noexcept {
  try {
    statusText_.clear();
    openError_ = 0;
    transferError_ = 0;
    devicePath_.clear();
    const std::string registered =
        ReadRegistryString(platform::kHKeyLocalMachine, kRegistrySubkey, kRegistryValueName, "");
    if (registered.empty()) {
      statusText_ = kNoControllerText;
      return false;
    }
    // Read into a fixed buffer: the path ends at its first NUL.
    devicePath_ = registered.substr(0, registered.find('\0'));
    deviceHandle_ = os_.createFile(devicePath_, platform::kGenericReadWrite,
                                   platform::kFileShareReadWrite, platform::kOpenExisting, 0);
    if (deviceHandle_ <= 0) {
      openError_ = os_.lastError();
      statusText_ = kNoControllerText;
    }
    return true;
  } catch (...) {
    ReportUnexpectedFailure();
    return false;
  }
}

std::int32_t ControllerLink::CaughtErrorNumber() {
  try {
    throw;
  } catch (const std::system_error& failure) {
    return failure.code().value();
  } catch (const std::bad_alloc&) {
    return os_.outOfMemoryError();
  } catch (...) {
    return os_.lastError();
  }
}

void ControllerLink::TransferFailed(std::int32_t number) noexcept {
  if (transferError_ == 0) transferError_ = number;
}

void ControllerLink::ReportUnexpectedFailure() noexcept {
  try {
    const std::int32_t number = CaughtErrorNumber();
    statusText_ = OpenDeviceErrorText(number, os_.errorText(number));
  } catch (...) {
    // Even the message could not be built: an empty status would claim the open worked.
    try {
      statusText_ = kNoControllerText;
    } catch (...) {
    }
  }
}

bool ControllerLink::CloseDevice() noexcept {
  bool closed = false;
  // Only an open handle goes to the platform: 0 or -1 would close a descriptor (stdin on
  // POSIX) that the link never owned.
  if (deviceHandle_ > 0) {
    try {
      closed = os_.closeHandle(deviceHandle_);
    } catch (...) {
      closed = false;
    }
  }
  deviceHandle_ = 0;
  return closed;
}

}  // namespace tarnwick::link
