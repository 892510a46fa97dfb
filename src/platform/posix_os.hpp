#pragma once
// The stand-ins for Linux: the registry is a directory tree, the device a SOCK_SEQPACKET
// socket served by the simulated controller. "posix" names the side of the seam, not a
// promise: the device needs Linux (SO_PEERCRED), as does the simulator (signalfd, eventfd).
//
// Safe to call from several threads, as the Win32 calls it mirrors are: the handle tables
// are guarded by one mutex and the last error is each thread's own, as GetLastError's is.
// The program itself calls it from one thread; the tests and the console tool may not.

#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/os.hpp"
#include "platform/unique_fd.hpp"

namespace tarnwick::platform::posix {

class PosixOs final : public Os {
 public:
  // A transfer whose reply takes longer than replyTimeout fails, so a hung driver cannot
  // freeze the window. A driver that never answers costs one bound per session (the later
  // transfers on a late connection fail at once): 240 ms keeps a key press under 0.3 s and a
  // poll's two sessions under 0.6 s, while a live driver answers in well under a millisecond.
  // Not 250: at the usual 250 Hz tick that is 63 ticks, which the kernel's timer wheel keeps
  // in 32 ms slots (waits of up to 288 ms); 60 ticks end on the tick.
  //
  // A device session (open to close) holds its registry root's session lock, so another program's
  // three-transfer write can never cut into ours. An open waits at most sessionWait for it, then
  // fails with EBUSY, sending nothing. A live driver's session takes well under a millisecond, so
  // 40 ms outlasts dozens of sessions queued ahead; a holder stuck on a hung driver keeps it for
  // one reply bound, and 40 ms plus that bound keeps a key press under 0.3 s and a poll's two
  // sessions under 0.6 s.
  explicit PosixOs(std::chrono::milliseconds replyTimeout = std::chrono::milliseconds(240),
                   std::chrono::milliseconds sessionWait = kWindowSessionWait)
      : replyTimeout_(replyTimeout), sessionWait_(sessionWait) {}
  // Waits, each within its bound, for the sessions still kept for a late reply.
  ~PosixOs() override;
  PosixOs(const PosixOs&) = delete;
  PosixOs& operator=(const PosixOs&) = delete;

  // A request that timed out is in the driver's hands and may still be carried out. Its session
  // keeps the lock after the close until the late reply comes (or the driver hangs up), or for
  // this long after the transfer gave up, so the late request cannot land inside another
  // program's session; a driver slower than that is beyond the lock's reach. Kept without
  // holding up the caller: released at this object's next open or at its destruction (the
  // program's exit), whichever comes first.
  static constexpr std::chrono::milliseconds kLateReplyBound{1000};

  std::int32_t regOpenKey(RegKey root, const std::string& subkey, std::uint32_t options,
                          std::uint32_t access, RegKey& result) override;
  std::int32_t regQueryValue(RegKey key, const std::string& valueName, std::uint32_t& type,
                             std::uint8_t* data, std::uint32_t& size) override;
  std::int32_t regCloseKey(RegKey key) override;

  Handle createFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                    std::uint32_t creation, std::uint32_t flags) override;
  bool deviceIoControl(Handle handle, std::uint32_t code, const std::uint8_t* in,
                       std::uint32_t inLength, std::uint8_t* out, std::uint32_t outLength,
                       std::uint32_t& bytesReturned) override;
  bool closeHandle(Handle handle) override;

  std::int32_t lastError() override { return lastError_; }
  std::string errorText(std::int32_t number) override;
  std::int32_t outOfMemoryError() override;

  void SetSessionWait(std::chrono::milliseconds wait) {
    const std::lock_guard lock(mutex_);
    sessionWait_ = wait;
  }

 private:
  struct Device {
    UniqueFd sessionLock;  // declared first, so destroyed after the socket: sessions never
    UniqueFd socket;       // overlap
    std::chrono::steady_clock::time_point lateUntil{};  // set when a transfer timed out
    std::thread::id owner;                              // the thread that opened it
  };

  bool Fail(int error);
  Handle FailOpen(int error);
  std::int32_t AdoptKey(UniqueFd keyFd, RegKey& result);
  // Releases the kept sessions whose late reply has come or whose bound has passed, waiting
  // for them until `until` at most.
  void SettleKept(std::chrono::steady_clock::time_point until);

  const std::chrono::milliseconds replyTimeout_;
  std::mutex mutex_;  // guards everything below
  std::chrono::milliseconds sessionWait_;
  std::map<int, UniqueFd> keys_;  // directories this layer opened as keys, by descriptor
  std::map<int, Device> devices_;
  std::set<int> broken_;      // devices whose reply is overdue: a late one must not be taken
                              // for the answer to the next request
  std::vector<Device> kept_;  // closed sessions still waiting for a late reply
  static thread_local std::int32_t lastError_;
};

}  // namespace tarnwick::platform::posix
