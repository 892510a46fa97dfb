#pragma once
// A scripted stand-in for the OS seam that records every call as one readable line, so a test
// can compare the whole sequence the link makes with the one it must make.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/os.hpp"

namespace tarnwick::testing {

class FakeOs final : public platform::Os {
 public:
  static constexpr platform::RegKey kKey = 0x1234;

  // Script.
  bool keyExists = true;
  std::optional<std::string> deviceName;  // the DeviceName value's bytes; nullopt: absent
  platform::Handle openResult = 7;        // what createFile hands back
  std::function<void()> onCreate;         // may throw, to play an exhausted platform
  std::int32_t createError = 2;           // lastError after a failed open
  int failIoctlAt = -1;                   // 0-based index of a transfer that fails
  std::vector<std::uint8_t> reply;        // what the driver writes into the output buffer
  bool closeResult = true;

  // Record.
  std::vector<std::string> calls;
  std::vector<std::vector<std::uint8_t>> requests;  // input bytes of each transfer

  std::int32_t regOpenKey(platform::RegKey root, const std::string& subkey, std::uint32_t options,
                          std::uint32_t access, platform::RegKey& result) override;
  std::int32_t regQueryValue(platform::RegKey key, const std::string& valueName,
                             std::uint32_t& type, std::uint8_t* data, std::uint32_t& size) override;
  std::int32_t regCloseKey(platform::RegKey key) override;
  platform::Handle createFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                              std::uint32_t creation, std::uint32_t flags) override;
  bool deviceIoControl(platform::Handle handle, std::uint32_t code, const std::uint8_t* in,
                       std::uint32_t inLength, std::uint8_t* out, std::uint32_t outLength,
                       std::uint32_t& bytesReturned) override;
  bool closeHandle(platform::Handle handle) override;
  std::int32_t lastError() override { return lastError_; }
  std::string errorText(std::int32_t number) override;
  std::int32_t outOfMemoryError() override { return 8; }

 private:
  std::int32_t lastError_ = 0;
};

// "08 12 0A ..." for a byte sequence.
std::string Hex(const std::uint8_t* bytes, std::size_t count);

// The calls one successful OpenDevice makes when the registry holds `path`.
std::vector<std::string> OpenCalls(const std::string& path);

}  // namespace tarnwick::testing
