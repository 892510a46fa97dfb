// The device side of the stand-in seam: a device path is a Unix-domain SOCK_SEQPACKET socket
// served by the simulated controller, one datagram each way per device-control call.
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/device_wire.hpp"
#include "platform/posix_os.hpp"
#include "platform/posix_registry.hpp"

namespace tarnwick::platform::posix {
namespace {

using namespace std::chrono_literals;

// The threads of this process inside a session. A thread that opens a second session before
// closing its first could only wait for itself: it is refused at once, as on Windows.
std::mutex ownersMutex;
std::multiset<std::thread::id> owners;

bool HoldsSession(std::thread::id thread) {
  const std::lock_guard guard(ownersMutex);
  return owners.count(thread) != 0;
}

void ForgetOwner(std::thread::id thread) {
  const std::lock_guard guard(ownersMutex);
  if (const auto found = owners.find(thread); found != owners.end()) owners.erase(found);
}

bool ResourceExhausted(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

// Takes the session lock within `wait`: 0 with the lock's descriptor in `lock`, else the error
// (EBUSY when another session held it all along). The file is trusted as a registry value is,
// so nobody else can hand us a lock they hold, and it is never followed through a link.
int TakeSessionLock(std::chrono::milliseconds wait, UniqueFd& lock) {
  const std::string base = RegistryRoot();
  if (base.empty()) return ENOENT;
  // The root is the one the registry read that found the device path has just checked; only
  // its owner could change it since. Read-only is enough for flock, and lets a tree's owner
  // share a lock file it made.
  lock = UniqueFd(open((base + '/' + kSessionLockFile).c_str(),
                       O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!lock) return errno;
  if (Distrust(lock.get(), false) != nullptr) return EACCES;
  // flock cannot wait with a bound, so ask again with growing pauses: short enough to follow
  // sessions well under a millisecond long, few enough to cost nothing while waiting (a long
  // wait, as under a crowd of programs, pauses longer).
  const auto deadline = std::chrono::steady_clock::now() + wait;
  const auto longest = std::clamp<std::chrono::microseconds>(wait / 20, 2ms, 10ms);
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    if (flock(lock.get(), LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return errno;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return EBUSY;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min<std::chrono::microseconds>(pause * 2, longest);
  }
}

}  // namespace

Handle PosixOs::createFile(const std::string& path, std::uint32_t, std::uint32_t, std::uint32_t,
                           std::uint32_t) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty()) return FailOpen(ENOENT);
  if (path.size() >= sizeof address.sun_path) return FailOpen(ENAMETOOLONG);
  std::memcpy(address.sun_path, path.data(), path.size());

  // The session is ours alone from here to closeHandle; nothing is sent without it.
  const std::thread::id self = std::this_thread::get_id();
  if (HoldsSession(self)) return FailOpen(EBUSY);
  std::chrono::milliseconds wait{};
  {
    const std::lock_guard guard(mutex_);
    wait = sessionWait_;
  }
  // A session of ours kept for a late reply holds the lock as another program's would.
  const auto start = std::chrono::steady_clock::now();
  SettleKept(start + wait);
  wait = std::max(std::chrono::milliseconds{},
                  wait - std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start));
  UniqueFd lock;
  if (const int error = TakeSessionLock(wait, lock); error != 0) {
    if (ResourceExhausted(error)) {
      lastError_ = error;
      throw std::system_error(error, std::system_category(), "session lock");
    }
    return FailOpen(error);
  }

  // Only ever a connect: a FIFO or a file at the path must not block or be written.
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (fd) fd = AboveZero(std::move(fd));
  if (!fd) {
    const int error = errno;
    if (ResourceExhausted(error)) {
      lastError_ = error;
      throw std::system_error(error, std::system_category(), "socket");
    }
    return FailOpen(error);
  }
  // The kernel bounds every wait on this socket, the connect to a full backlog included: a
  // driver that hangs costs a failed transfer, never a frozen window.
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(replyTimeout_).count();
  const timeval bound{static_cast<time_t>(micros / 1000000),
                      static_cast<suseconds_t>(micros % 1000000)};
  int rc = setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  if (rc == 0) rc = setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  if (rc == 0) {
    rc = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    // Interrupted, the connect goes on in the background; asked again it says so.
    while (rc != 0 && errno == EINTR) {
      rc = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
      if (rc != 0 && errno == EISCONN) rc = 0;
    }
  }
  if (rc != 0) return FailOpen(errno);
  // The device is trusted as the registry is: a driver another user serves could report any
  // serial and swallow every write.
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) return FailOpen(errno);
  if (DistrustOwner(peer.uid) != nullptr) return FailOpen(EACCES);
  const Handle handle = fd.get();
  const std::lock_guard guard(mutex_);
  {
    const std::lock_guard ownersGuard(ownersMutex);
    owners.insert(self);
  }
  devices_.emplace(handle, Device{std::move(lock), std::move(fd), {}, self});
  return handle;
}

bool PosixOs::deviceIoControl(Handle handle, std::uint32_t code, const std::uint8_t* in,
                              std::uint32_t inLength, std::uint8_t* out, std::uint32_t outLength,
                              std::uint32_t& bytesReturned) {
  bytesReturned = 0;
  {
    const std::lock_guard lock(mutex_);
    if (devices_.count(handle) == 0) return Fail(EBADF);
    if (broken_.count(handle) != 0) return Fail(EPIPE);
  }
  if (inLength > 0 && in == nullptr) return Fail(EFAULT);
  if (outLength > 0 && out == nullptr) return Fail(EFAULT);

  std::vector<std::uint8_t> request(kWireHeaderBytes);
  request.reserve(kWireHeaderBytes + std::size_t{inLength});
  PutU32(request.data(), code);
  PutU32(request.data() + 4, outLength);
  request.insert(request.end(), in, in + inLength);

  // One bound for the whole transfer, however many signals interrupt it.
  const auto deadline = std::chrono::steady_clock::now() + replyTimeout_;
  auto markBroken = [&](int error) {
    const std::lock_guard lock(mutex_);
    broken_.insert(handle);
    if (error == ETIMEDOUT) {
      // The request may be in the driver's hands: its session waits for it after the close.
      if (const auto device = devices_.find(handle); device != devices_.end()) {
        device->second.lateUntil = std::chrono::steady_clock::now() + kLateReplyBound;
      }
    }
    return Fail(error);
  };
  auto timedOut = [] { return errno == EAGAIN || errno == EWOULDBLOCK; };
  for (;;) {
    const ssize_t sent = send(handle, request.data(), request.size(), MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(request.size())) break;
    if (sent < 0 && errno == EINTR && std::chrono::steady_clock::now() < deadline) continue;
    if (sent < 0 && (timedOut() || errno == EINTR)) return markBroken(ETIMEDOUT);
    if (sent < 0 && (errno == EPIPE || errno == ECONNRESET)) {
      // Closed on us: a driver at its limit of clients says so first.
      const int error = errno;
      std::uint8_t word[kWireResultBytes];
      const bool refused =
          recv(handle, word, sizeof word, MSG_DONTWAIT) == static_cast<ssize_t>(sizeof word) &&
          ReadU32(word) == kWireRefused;
      return markBroken(refused ? ECONNREFUSED : error);
    }
    return Fail(sent < 0 ? errno : EPROTO);
  }

  std::vector<std::uint8_t> reply(kWireResultBytes + std::size_t{outLength});
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return markBroken(ETIMEDOUT);
    pollfd ready{handle, POLLIN, 0};
    const int polled = poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) return Fail(errno);
    if (polled == 0) continue;  // the deadline is checked above
    iovec part{reply.data(), reply.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t got = recvmsg(handle, &message, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || timedOut())) continue;
    if (got < 0) return Fail(errno);
    if (got == 0) return Fail(ECONNRESET);  // the controller went away
    if (got < static_cast<ssize_t>(kWireResultBytes) || (message.msg_flags & MSG_TRUNC) != 0) {
      return markBroken(EPROTO);
    }
    if (ReadU32(reply.data()) == kWireRefused) return markBroken(ECONNREFUSED);
    if (ReadU32(reply.data()) == kWireFailure) return Fail(EIO);
    const auto written =
        static_cast<std::uint32_t>(static_cast<std::size_t>(got) - kWireResultBytes);
    std::memcpy(out, reply.data() + kWireResultBytes, written);
    bytesReturned = written;
    return true;
  }
}

bool PosixOs::closeHandle(Handle handle) {
  const std::lock_guard guard(mutex_);
  // Only descriptors this layer opened: closing 0 or -1, or one it does not own, is refused.
  auto device = devices_.extract(handle);
  if (device.empty()) return Fail(EBADF);
  broken_.erase(handle);
  ForgetOwner(device.mapped().owner);
  if (device.mapped().lateUntil != std::chrono::steady_clock::time_point{}) {
    kept_.push_back(std::move(device.mapped()));  // the lock goes when the late reply has come
    return true;
  }
  device.mapped().socket.reset();
  device.mapped().sessionLock.reset();  // after the device: sessions never overlap
  return true;
}

PosixOs::~PosixOs() {
  SettleKept(std::chrono::steady_clock::time_point::max());
}

void PosixOs::SettleKept(std::chrono::steady_clock::time_point until) {
  std::vector<Device> kept;
  {
    const std::lock_guard guard(mutex_);
    kept.swap(kept_);
  }
  for (Device& session : kept) {
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      const auto end = std::min(until, session.lateUntil);
      // The late reply, or the driver hanging up: either way nothing more can land.
      pollfd ready{session.socket.get(), POLLIN, 0};
      const auto left = end > now ? std::chrono::ceil<std::chrono::milliseconds>(end - now)
                                  : std::chrono::milliseconds{};
      const int polled = poll(&ready, 1, static_cast<int>(left.count()));
      if (polled < 0 && errno == EINTR) continue;
      if (polled != 0 || session.lateUntil <= std::chrono::steady_clock::now()) {
        session.socket.reset();
        session.sessionLock.reset();
      }
      break;
    }
  }
  std::erase_if(kept, [](const Device& session) { return !session.socket; });
  const std::lock_guard guard(mutex_);
  for (Device& session : kept) kept_.push_back(std::move(session));
}

}  // namespace tarnwick::platform::posix
