// The Windows side of the seam: each call goes straight to advapi32 or kernel32.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/os.hpp"

namespace tarnwick::platform {

namespace {

HKEY ToKey(RegKey key) {
  // The core spells HKEY_LOCAL_MACHINE as its 32-bit value; on 64-bit Windows the real
  // constant is that value sign-extended.
  if (key == kHKeyLocalMachine) return HKEY_LOCAL_MACHINE;
  return reinterpret_cast<HKEY>(key);
}

// Kernel handles always fit in 32 bits, so 32- and 64-bit builds can share the handle type.
HANDLE ToHandle(Handle handle) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(handle));
}

class Win32Os final : public Os {
 public:
  std::int32_t regOpenKey(RegKey root, const std::string& subkey, std::uint32_t options,
                          std::uint32_t access, RegKey& result) override {
    HKEY opened = nullptr;
    const LONG rc = RegOpenKeyExA(ToKey(root), subkey.c_str(), options, access, &opened);
    result = rc == ERROR_SUCCESS ? reinterpret_cast<RegKey>(opened) : 0;
    return rc;
  }

  std::int32_t regQueryValue(RegKey key, const std::string& valueName, std::uint32_t& type,
                             std::uint8_t* data, std::uint32_t& size) override {
    DWORD valueType = type;
    DWORD capacity = size;
    const LONG rc =
        RegQueryValueExA(ToKey(key), valueName.c_str(), nullptr, &valueType, data, &capacity);
    type = valueType;
    size = capacity;
    return rc;
  }

  std::int32_t regCloseKey(RegKey key) override { return RegCloseKey(ToKey(key)); }

  Handle createFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t creation, std::uint32_t flags) override {
    const HANDLE handle =
        CreateFileA(path.c_str(), access, share, nullptr, creation, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return kInvalidHandle;
    return static_cast<Handle>(reinterpret_cast<std::intptr_t>(handle));
  }

  bool deviceIoControl(Handle handle, std::uint32_t code, const std::uint8_t* in,
                       std::uint32_t inLength, std::uint8_t* out, std::uint32_t outLength,
                       std::uint32_t& bytesReturned) override {
    DWORD returned = 0;
    // The input buffer is only read; the API just is not declared const.
    const BOOL ok =
        DeviceIoControl(ToHandle(handle), code, const_cast<void*>(static_cast<const void*>(in)),
                        inLength, out, outLength, &returned, nullptr);
    bytesReturned = returned;
    return ok != FALSE;
  }

  bool closeHandle(Handle handle) override { return CloseHandle(ToHandle(handle)) != FALSE; }

  std::int32_t lastError() override { return static_cast<std::int32_t>(GetLastError()); }

  std::string errorText(std::int32_t number) override {
    char text[512] = {};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(number), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() &&
           (message.back() == '\r' || message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    return message;
  }

  std::int32_t outOfMemoryError() override { return ERROR_NOT_ENOUGH_MEMORY; }
};

}  // namespace

Os& SystemOs() {
  static Win32Os os;
  return os;
}

}  // namespace tarnwick::platform
