// The Windows side of the seam: each call goes straight to advapi32 or kernel32.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h first: sddl.h needs its types.
#include <sddl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

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

// A driver answers in well under a millisecond; one that holds a request costs the window this
// long, as on POSIX.
constexpr DWORD kReplyBoundMs = 240;
// A driver that honours the cancel completes the request at once; this keeps a key press
// within 0.3 s even against one that does not.
constexpr DWORD kCancelBoundMs = 40;
// Requests a driver kept after their cancel: their memory cannot be freed until the driver
// completes them. Past this many, no new request goes out, so a driver that ignores cancels
// costs a bounded amount of memory and never a frozen window.
constexpr std::size_t kMaxAbandoned = 16;
// At exit, how long the program waits for the requests a driver kept, so their sessions' mutex
// is released rather than abandoned to the next program while they may still land; as on POSIX.
constexpr DWORD kLateReplyBoundMs = 1000;

// One overlapped request and every byte the system may touch until it is over: the driver's
// input and output, the OVERLAPPED it completes into and the event it sets.
struct Transfer {
  OVERLAPPED overlapped{};
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;

  Transfer(const std::uint8_t* input, std::uint32_t inLength, std::uint32_t outLength)
      : in(input, input + (input != nullptr ? inLength : 0)), out(outLength) {
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~Transfer() {
    if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  bool Finished(DWORD waitMs) const {
    return WaitForSingleObject(overlapped.hEvent, waitMs) == WAIT_OBJECT_0;
  }
};

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
    held_[device] = {mutex, GetCurrentThreadId()};
  }
  // The mutex the device's session holds, forgotten here; nullptr if none.
  HANDLE Forget(HANDLE device) {
    const std::lock_guard guard(mutex_);
    const auto found = held_.find(device);
    if (found == held_.end()) return nullptr;
    const HANDLE mutex = found->second.mutex;
    held_.erase(found);
    return mutex;
  }
  bool HeldByThisThread() {
    const std::lock_guard guard(mutex_);
    return std::any_of(held_.begin(), held_.end(), [](const auto& session) {
      return session.second.thread == GetCurrentThreadId();
    });
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

  struct Held {
    HANDLE mutex;
    DWORD thread;
  };
  std::mutex mutex_;
  std::map<HANDLE, Held> held_;
};

// Called from the window's one thread (or the tool's), like the whole link.
class Win32Os final : public Os {
 public:
  ~Win32Os() override {
    // A session kept for a request the driver still holds is released once the request is
    // over, so it cannot land inside the next program's session; past the bound the exit
    // abandons the mutex.
    const ULONGLONG end = GetTickCount64() + kLateReplyBoundMs;
    while (keptCount_ != 0 && abandonedCount_ != 0 && GetTickCount64() < end) {
      abandoned_[0].transfer->Finished(static_cast<DWORD>(end - GetTickCount64()));
      ReapAbandoned();
    }
    // At exit a request still held must keep its memory: the driver may yet write into it.
    for (std::size_t i = 0; i < abandonedCount_; ++i) {
      if (!abandoned_[i].transfer->Finished(0)) static_cast<void>(abandoned_[i].transfer.release());
    }
  }

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
    // A second session on this thread could only wait for itself, and the mutex, being
    // recursive, would let it in at once.
    if (sessions_.HeldByThisThread()) return Busy();
    // A session of ours kept for a late request holds the mutex as another program would.
    const ULONGLONG end = GetTickCount64() + sessionWaitMs.load();
    ReapAbandoned();
    while (KeptByThisThread() && abandonedCount_ != 0 && GetTickCount64() < end) {
      abandoned_[0].transfer->Finished(static_cast<DWORD>(end - GetTickCount64()));
      ReapAbandoned();
    }
    if (KeptByThisThread()) return Busy();
    const HANDLE session = sessions_.Take();
    if (session == nullptr) return kInvalidHandle;
    // Overlapped, so that each transfer can be waited for with a bound and cancelled.
    const HANDLE handle = CreateFileA(path.c_str(), access, share, nullptr, creation,
                                      flags | FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      SessionLocks::Release(session);
      return kInvalidHandle;
    }
    const auto opened = static_cast<Handle>(reinterpret_cast<std::intptr_t>(handle));
    try {
      sessions_.Keep(handle, session);
      timedOut_.erase(opened);
      sessionOf_[opened] = ++sessionCount_;
    } catch (...) {
      CloseHandle(handle);
      SessionLocks::Release(session);
      throw;
    }
    return opened;
  }

  bool deviceIoControl(Handle handle, std::uint32_t code, const std::uint8_t* in,
                       std::uint32_t inLength, std::uint8_t* out, std::uint32_t outLength,
                       std::uint32_t& bytesReturned) override {
    bytesReturned = 0;
    ReapAbandoned();
    // After a transfer that timed out the rest of the session fails at once, as on POSIX.
    if (timedOut_.count(handle) != 0) return Fail(ERROR_TIMEOUT);
    if (abandonedCount_ == kMaxAbandoned) return Fail(ERROR_BUSY);
    auto transfer = std::make_unique<Transfer>(in, inLength, outLength);
    if (transfer->overlapped.hEvent == nullptr) return false;

    const HANDLE device = ToHandle(handle);
    if (DeviceIoControl(device, code, transfer->in.data(), static_cast<DWORD>(transfer->in.size()),
                        transfer->out.data(), outLength, nullptr, &transfer->overlapped) == FALSE &&
        GetLastError() != ERROR_IO_PENDING) {
      return false;
    }
    if (!transfer->Finished(kReplyBoundMs)) {
      CancelIoEx(device, &transfer->overlapped);
      // Nothing here may throw while the request may still be live: its memory is parked
      // in storage that needs no allocation, with the session it belongs to.
      if (!transfer->Finished(kCancelBoundMs)) {
        abandoned_[abandonedCount_++] = {std::move(transfer), SessionOf(handle)};
        timedOut_.insert(handle);
        return Fail(ERROR_TIMEOUT);
      }
    }
    // The request's own outcome, also when it ended after the cancel: one the driver completed
    // just as the bound ran out is a success, one it aborted a timeout, one it failed a failure.
    DWORD returned = 0;
    if (GetOverlappedResult(device, &transfer->overlapped, &returned, FALSE) == FALSE) {
      if (GetLastError() != ERROR_OPERATION_ABORTED) return false;
      timedOut_.insert(handle);
      return Fail(ERROR_TIMEOUT);
    }
    // Only what the driver wrote, as the synchronous call leaves the rest of the buffer.
    const std::uint32_t written = std::min<std::uint32_t>(returned, outLength);
    if (written != 0 && out != nullptr) std::memcpy(out, transfer->out.data(), written);
    bytesReturned = returned;
    return true;
  }

  bool closeHandle(Handle handle) override {
    timedOut_.erase(handle);
    const std::uint64_t id = SessionOf(handle);
    sessionOf_.erase(handle);
    const HANDLE session = sessions_.Forget(ToHandle(handle));
    const bool closed = CloseHandle(ToHandle(handle)) != FALSE;
    if (session == nullptr) return closed;
    // A request the driver still holds keeps the session's mutex until it is over.
    const bool late = std::any_of(abandoned_.begin(), abandoned_.begin() + abandonedCount_,
                                  [id](const Abandoned& entry) { return entry.session == id; });
    if (late && keptCount_ < kept_.size()) {
      kept_[keptCount_++] = {session, id, GetCurrentThreadId()};
    } else {
      SessionLocks::Release(session);  // after the device is closed
    }
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
  static bool Fail(DWORD error) {
    SetLastError(error);
    return false;
  }
  static Handle Busy() {
    SetLastError(ERROR_BUSY);
    return kInvalidHandle;
  }

  struct Abandoned {
    std::unique_ptr<Transfer> transfer;
    std::uint64_t session = 0;
  };
  // A closed session whose mutex waits for its abandoned requests to end.
  struct Kept {
    HANDLE mutex = nullptr;
    std::uint64_t session = 0;
    DWORD thread = 0;
  };

  std::uint64_t SessionOf(Handle handle) const {
    const auto found = sessionOf_.find(handle);
    return found == sessionOf_.end() ? 0 : found->second;
  }

  bool KeptByThisThread() const {
    return std::any_of(kept_.begin(), kept_.begin() + keptCount_,
                       [](const Kept& kept) { return kept.thread == GetCurrentThreadId(); });
  }

  // Requests the driver has completed since they were given up are freed now, and the
  // sessions left with none still held give up their mutex (a mutex is released by its
  // owner thread only).
  void ReapAbandoned() {
    std::size_t left = 0;
    for (std::size_t i = 0; i < abandonedCount_; ++i) {
      if (abandoned_[i].transfer->Finished(0)) {
        abandoned_[i].transfer.reset();
      } else {
        abandoned_[left++] = std::move(abandoned_[i]);
      }
    }
    abandonedCount_ = left;
    left = 0;
    for (std::size_t i = 0; i < keptCount_; ++i) {
      const std::uint64_t id = kept_[i].session;
      const bool late = std::any_of(abandoned_.begin(), abandoned_.begin() + abandonedCount_,
                                    [id](const Abandoned& entry) { return entry.session == id; });
      if (!late && kept_[i].thread == GetCurrentThreadId()) {
        SessionLocks::Release(kept_[i].mutex);
      } else {
        kept_[left++] = kept_[i];
      }
    }
    keptCount_ = left;
  }

  std::set<Handle> timedOut_;
  std::map<Handle, std::uint64_t> sessionOf_;
  std::uint64_t sessionCount_ = 0;
  std::array<Abandoned, kMaxAbandoned> abandoned_;
  std::size_t abandonedCount_ = 0;
  std::array<Kept, kMaxAbandoned> kept_;
  std::size_t keptCount_ = 0;
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
