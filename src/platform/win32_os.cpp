// The Windows side of the seam: each call goes straight to advapi32 or kernel32.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: sddl.h needs its types.
#include <sddl.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
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

// One device session (open to close) at a time, machine-wide, so another program's
// three-transfer write can never cut into ours: a named mutex in the global namespace, which
// every session of every user on the machine shares. Its list lets any signed-in user take it,
// as any of them may open the device. The wait is bounded (SetSessionWait, os.hpp), then the
// open fails with ERROR_BUSY. A holder that dies leaves the mutex abandoned, which the next
// waiter takes as acquired. A mutex belongs to a thread, so a session is opened and closed on
// the same one (the window's thread).
constexpr char kSessionMutexName[] = "Global\\TarnwickTest.DeviceSession";
std::atomic<DWORD> sessionWaitMs{static_cast<DWORD>(kWindowSessionWait.count())};

class SessionLocks {
 public:
  // The mutex, held; nullptr with the reason in GetLastError.
  HANDLE Take() {
    SECURITY_ATTRIBUTES attributes{sizeof attributes, Descriptor(), FALSE};
    const HANDLE mutex = CreateMutexExA(attributes.lpSecurityDescriptor ? &attributes : nullptr,
                                        kSessionMutexName, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
    if (mutex == nullptr) return nullptr;
    const DWORD waited = WaitForSingleObject(mutex, sessionWaitMs.load());
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) return mutex;
    const DWORD error = waited == WAIT_TIMEOUT ? ERROR_BUSY : GetLastError();
    CloseHandle(mutex);
    SetLastError(error);
    return nullptr;
  }
  static void Release(HANDLE mutex) {
    const DWORD error = GetLastError();
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    SetLastError(error);
  }
  void Keep(HANDLE device, HANDLE mutex) {
    const std::lock_guard guard(mutex_);
    held_[device] = mutex;
  }
  // The mutex the device's session holds, forgotten here; nullptr if none.
  HANDLE Forget(HANDLE device) {
    const std::lock_guard guard(mutex_);
    const auto found = held_.find(device);
    if (found == held_.end()) return nullptr;
    const HANDLE mutex = found->second;
    held_.erase(found);
    return mutex;
  }

 private:
  // SYSTEM and administrators in full; authenticated users may wait on it and release it.
  static PSECURITY_DESCRIPTOR Descriptor() {
    static const PSECURITY_DESCRIPTOR descriptor = [] {
      PSECURITY_DESCRIPTOR made = nullptr;
      if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
              "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;AU)", SDDL_REVISION_1, &made, nullptr)) {
        return PSECURITY_DESCRIPTOR{nullptr};  // the default list then: this user only
      }
      return made;
    }();
    return descriptor;
  }

  std::mutex mutex_;
  std::map<HANDLE, HANDLE> held_;
};

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
    const HANDLE session = sessions_.Take();
    if (session == nullptr) return kInvalidHandle;
    const HANDLE handle =
        CreateFileA(path.c_str(), access, share, nullptr, creation, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      SessionLocks::Release(session);
      return kInvalidHandle;
    }
    try {
      sessions_.Keep(handle, session);
    } catch (...) {
      CloseHandle(handle);
      SessionLocks::Release(session);
      throw;
    }
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

  bool closeHandle(Handle handle) override {
    const HANDLE session = sessions_.Forget(ToHandle(handle));
    const bool closed = CloseHandle(ToHandle(handle)) != FALSE;
    if (session != nullptr) SessionLocks::Release(session);  // after the device is closed
    return closed;
  }

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

 private:
  SessionLocks sessions_;
};

}  // namespace

Os& SystemOs() {
  static Win32Os os;
  return os;
}

void SetSessionWait(std::chrono::milliseconds wait) {
  sessionWaitMs = static_cast<DWORD>(wait.count());
}

}  // namespace tarnwick::platform
