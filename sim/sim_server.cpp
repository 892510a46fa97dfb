#include "sim_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace tarnwick::sim {
namespace {

constexpr std::uint32_t kResultFailure = 0;
constexpr std::uint32_t kResultSuccess = 1;
constexpr std::size_t kHeaderBytes = 8;
// Room for the board's reply; it never writes more than one packet.
constexpr std::size_t kOutputRoom = 64;
// Accepting at most this many per wake-up keeps a connect flood from starving served clients.
constexpr int kAcceptBurst = 64;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// How long Stop waits for the request log to take its last lines.
constexpr auto kLogPatience = std::chrono::milliseconds(250);
// Lines the request log holds for its writer: enough that a file loses none while the writer
// waits for a busy machine's processor, so only a log nobody reads drops lines.
constexpr std::size_t kLogQueuedLines = 65536;

std::system_error SystemError(int error, const std::string& what) {
  return std::system_error(error, std::generic_category(), what);
}

// Linux releases the descriptor even when close reports EINTR, so it is never retried.
void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::uint32_t ReadU32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void PutU32(std::uint8_t* bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

sockaddr_un AddressFor(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    throw SystemError(ENAMETOOLONG, "socket path '" + path + "' must be 1 to " +
                                        std::to_string(sizeof address.sun_path - 1) + " bytes");
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

// True only for a socket file nobody listens on any more: what a killed simulator leaves.
bool IsStaleSocket(const std::string& path, const sockaddr_un& address) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
  int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) return false;
  int result;
  do {
    result = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  bool stale = result != 0 && errno == ECONNREFUSED;
  CloseFd(probe);
  return stale;
}

void AppendHex(std::string& text, const std::uint8_t* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < length; ++i) {
    if (i != 0) text += ' ';
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
}

}  // namespace

SimServer::SimServer(SimOptions options) : options_(std::move(options)) {
  tw_board_reset(&board_, options_.serial);
}

SimServer::~SimServer() {
  try {
    Stop();
  } catch (...) {
    // A destructor cannot report; Stop only throws when misused from the server thread.
  }
}

int SimServer::Listen() {
  const sockaddr_un address = AddressFor(options_.socketPath);
  for (int attempt = 0;; ++attempt) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw SystemError(errno, "cannot create the device socket");
    // A socket takes its mode from the umask at bind, and anyone who may write it may connect:
    // bind under a private umask so it is never open to others, not even for a moment. The
    // umask is the whole process's, but a file another thread makes meanwhile only comes out
    // more private.
    const mode_t previousMask = ::umask(0177);
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(previousMask);
    if (bound == 0) {
      struct stat info {};
      if (::stat(options_.socketPath.c_str(), &info) == 0) {
        boundPathKnown_ = true;
        boundDevice_ = static_cast<std::uint64_t>(info.st_dev);
        boundInode_ = static_cast<std::uint64_t>(info.st_ino);
      }
      if (::listen(fd, SOMAXCONN) != 0) {
        int error = errno;
        CloseFd(fd);
        RemovePathLocked();
        throw SystemError(error, "cannot listen on " + options_.socketPath);
      }
      return fd;
    }
    const int error = bindError;
    CloseFd(fd);
    if (error != EADDRINUSE || attempt > 0) {
      throw SystemError(error, "cannot bind " + options_.socketPath);
    }
    if (!IsStaleSocket(options_.socketPath, address)) {
      throw SystemError(error,
                        options_.socketPath + " is served by another process or is not a socket");
    }
    ::unlink(options_.socketPath.c_str());
  }
}

void SimServer::RemovePathLocked() {
  if (!boundPathKnown_) return;
  boundPathKnown_ = false;
  struct stat info {};
  if (::lstat(options_.socketPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
      static_cast<std::uint64_t>(info.st_dev) == boundDevice_ &&
      static_cast<std::uint64_t>(info.st_ino) == boundInode_) {
    ::unlink(options_.socketPath.c_str());
  }
}

void SimServer::Start() {
  std::lock_guard lifecycle(lifecycle_);
  std::lock_guard lock(mutex_);
  if (running_) throw std::logic_error("the simulator is already running");

  if (!options_.logPath.empty()) {
    // Non-blocking: a FIFO nobody has open for reading fails here instead of hanging.
    const int fd = ::open(options_.logPath.c_str(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) throw SystemError(errno, "cannot open the log " + options_.logPath);
    log_ = std::make_unique<Console>(fd, "log", kLogQueuedLines);
  }
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  try {
    if (wake_ < 0) throw SystemError(errno, "cannot create the wake-up descriptor");
    listener_ = Listen();
    tw_board_reset(&board_, options_.serial);
    plugged_ = true;
    stopRequested_ = false;
    dropRequested_ = false;
    thread_ = std::thread(&SimServer::Loop, this);
  } catch (...) {
    CloseFd(listener_);
    RemovePathLocked();
    CloseFd(wake_);
    log_.reset();
    plugged_ = false;
    throw;
  }
  serverThread_ = thread_.get_id();
  running_ = true;
}

void SimServer::Stop() {
  std::lock_guard lifecycle(lifecycle_);
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    if (std::this_thread::get_id() == serverThread_) {
      throw std::logic_error("the simulator cannot be stopped from its own thread");
    }
    stopRequested_ = true;
    Wake();
  }
  thread_.join();

  std::lock_guard lock(mutex_);
  CloseFd(listener_);
  CloseFd(adoptListener_);
  CloseClients();
  RemovePathLocked();
  CloseFd(wake_);
  if (log_ != nullptr) log_->Close(kLogPatience);
  log_.reset();
  running_ = false;
  plugged_ = false;
  serverThread_ = {};
  applied_.notify_all();
}

bool SimServer::Unplug() {
  std::unique_lock lock(mutex_);
  if (!running_) throw std::logic_error("the simulator is not running");
  if (!plugged_) return false;
  plugged_ = false;
  // The path goes first: nobody can open the device from here on.
  RemovePathLocked();
  CloseFd(adoptListener_);
  dropRequested_ = true;
  RunOnServerThread(lock);
  return true;
}

bool SimServer::Plug() {
  std::unique_lock lock(mutex_);
  if (!running_) throw std::logic_error("the simulator is not running");
  if (plugged_) return false;
  CloseFd(adoptListener_);
  adoptListener_ = Listen();
  tw_board_reset(&board_, board_.serial);
  faults_.clear();
  plugged_ = true;
  RunOnServerThread(lock);
  return true;
}

void SimServer::RunOnServerThread(std::unique_lock<std::mutex>& lock) {
  const std::uint64_t ticket = ++requestedOps_;
  // The server thread itself (an OnLoad callback) applies it when the callback returns.
  if (std::this_thread::get_id() == serverThread_) return;
  Wake();
  applied_.wait(lock, [&] { return appliedOps_ >= ticket || !running_; });
}

void SimServer::Wake() const {
  const std::uint64_t one = 1;
  ssize_t written;
  do {
    written = ::write(wake_, &one, sizeof one);
  } while (written < 0 && errno == EINTR);
  // EAGAIN means the counter is already non-zero: the thread wakes anyway.
}

void SimServer::SetSerial(std::uint32_t serial) {
  std::lock_guard lock(mutex_);
  board_.serial = serial;
  options_.serial = serial;
}

void SimServer::QueueFault(FaultKind kind, unsigned calls, unsigned bytes) {
  if (calls > kMaxFaultCalls) {
    throw std::invalid_argument("a fault covers at most " + std::to_string(kMaxFaultCalls) +
                                " calls");
  }
  std::lock_guard lock(mutex_);
  if (calls != 0) faults_.push_back({kind, calls, bytes});
}

void SimServer::FailNext(unsigned calls) {
  QueueFault(FaultKind::kFail, calls, 0);
}

void SimServer::ShortNext(unsigned calls, unsigned bytes) {
  if (bytes >= TW_PACKET_SIZE) {
    throw std::invalid_argument("a short reply carries fewer than 8 data bytes");
  }
  QueueFault(FaultKind::kShort, calls, bytes);
}

void SimServer::HangNext(unsigned calls) {
  QueueFault(FaultKind::kHang, calls, 0);
}

void SimServer::ClearFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

std::uint16_t SimServer::Output() const {
  std::lock_guard lock(mutex_);
  return board_.output;
}

std::uint32_t SimServer::Loads() const {
  std::lock_guard lock(mutex_);
  return board_.loads;
}

bool SimServer::Plugged() const {
  std::lock_guard lock(mutex_);
  return plugged_;
}

std::uint64_t SimServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::uint32_t SimServer::Serial() const {
  std::lock_guard lock(mutex_);
  return board_.serial;
}

SimStatus SimServer::Status() const {
  std::lock_guard lock(mutex_);
  SimStatus status{plugged_, board_.output, board_.loads, board_.serial, requests_};
  for (const Fault& fault : faults_) {
    (fault.kind == FaultKind::kFail    ? status.failQueued
     : fault.kind == FaultKind::kShort ? status.shortQueued
                                       : status.hangQueued) += fault.remaining;
  }
  return status;
}

void SimServer::OnLoad(std::function<void(const Load& load)> callback) {
  std::lock_guard lock(mutex_);
  onLoad_ = std::move(callback);
}

void SimServer::OnClientDropped(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onClientDropped_ = std::move(callback);
}

void SimServer::OnClientRefused(std::function<void()> callback) {
  std::lock_guard lock(mutex_);
  onClientRefused_ = std::move(callback);
}

void SimServer::ApplyPendingLocked() {
  if (dropRequested_) {
    dropRequested_ = false;
    CloseFd(listener_);
    CloseClients();
  }
  if (adoptListener_ >= 0) {
    CloseFd(listener_);
    listener_ = std::exchange(adoptListener_, -1);
  }
  if (appliedOps_ != requestedOps_) {
    appliedOps_ = requestedOps_;
    applied_.notify_all();
  }
}

void SimServer::CloseClients() {
  for (Connection& client : clients_) CloseFd(client.fd);
  clients_.clear();
}

void SimServer::Loop() {
  std::vector<pollfd> polled;
  std::vector<int> finished;
  auto acceptPausedUntil = std::chrono::steady_clock::time_point{};
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopRequested_) return;  // Stop closes everything once this thread is gone
      ApplyPendingLocked();
    }

    polled.clear();
    polled.push_back({wake_, POLLIN, 0});
    const bool acceptPaused = std::chrono::steady_clock::now() < acceptPausedUntil;
    const bool listening = listener_ >= 0 && !acceptPaused;
    if (listening) polled.push_back({listener_, POLLIN, 0});
    const std::size_t firstClient = polled.size();
    for (const Connection& client : clients_) polled.push_back({client.fd, POLLIN | POLLRDHUP, 0});

    const int timeout = acceptPaused ? static_cast<int>(kAcceptPause.count()) : -1;
    if (::poll(polled.data(), polled.size(), timeout) < 0) continue;  // EINTR, or retry

    if ((polled[0].revents & POLLIN) != 0) {
      std::uint64_t count;
      while (::read(wake_, &count, sizeof count) < 0 && errno == EINTR) {
      }
    }
    // Served before accepting, so no client closed to make room is still in `polled`.
    finished.clear();
    for (std::size_t i = firstClient; i < polled.size(); ++i) {
      const short events = polled[i].revents;
      bool open = true;
      // A request sent just before the peer hung up still gets served (and its reply lost).
      if ((events & (POLLIN | POLLRDHUP)) != 0) {
        open = ServeOne(polled[i].fd, events);
        clients_[i - firstClient].lastActive = std::chrono::steady_clock::now();
      } else if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        open = false;
      }
      if (!open) finished.push_back(polled[i].fd);
    }
    for (int fd : finished) {
      std::erase_if(clients_, [fd](const Connection& client) { return client.fd == fd; });
      CloseFd(fd);
    }

    unsigned dropped = 0;
    bool refusing = false;
    if (listening && (polled[1].revents & POLLIN) != 0 && !AcceptClients(dropped, refusing)) {
      acceptPausedUntil = std::chrono::steady_clock::now() + kAcceptPause;
    }
    if (dropped != 0 || refusing) {
      std::function<void()> onDropped;
      std::function<void()> onRefused;
      {
        std::lock_guard lock(mutex_);
        onDropped = onClientDropped_;
        onRefused = onClientRefused_;
      }
      // The device keeps working whatever an observer does.
      try {
        for (; onDropped && dropped != 0; --dropped) onDropped();
        if (onRefused && refusing) onRefused();
      } catch (...) {
      }
    }
  }
}

bool SimServer::AcceptClients(unsigned& dropped, bool& refusing) {
  for (int i = 0; i < kAcceptBurst; ++i) {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      const auto now = std::chrono::steady_clock::now();
      if (clients_.size() >= kMaxClients) {
        auto idlest = std::min_element(
            clients_.begin(), clients_.end(),
            [](const Connection& a, const Connection& b) { return a.lastActive < b.lastActive; });
        // One that made a request lately may be inside its session: it is never cut.
        if (now - idlest->lastActive < options_.idleBeforeClose) {
          CloseFd(fd);
          if (!std::exchange(refusing_, true)) refusing = true;
          continue;
        }
        CloseFd(idlest->fd);
        clients_.erase(idlest);
        ++dropped;
      }
      clients_.push_back({fd, now});
      refusing_ = false;
      continue;
    }
    switch (errno) {
      case EINTR:
      case ECONNABORTED:
        continue;
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        return false;
      default:
        return true;  // EAGAIN: the backlog is empty
    }
  }
  return true;
}

bool SimServer::ServeOne(int fd, short events) {
  std::array<std::uint8_t, kMaxRequestBytes> request{};
  iovec part{request.data(), request.size()};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  ssize_t received;
  do {
    received = ::recvmsg(fd, &message, MSG_DONTWAIT);
  } while (received < 0 && errno == EINTR);
  if (received < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
  // Zero bytes is either an empty datagram (malformed, answered) or the program closing the
  // device; only the latter raises a hang-up.
  if (received == 0 && (events & (POLLHUP | POLLRDHUP)) != 0) return false;
  const auto length = static_cast<std::size_t>(received);
  const bool oversize = (message.msg_flags & MSG_TRUNC) != 0;

  std::array<std::uint8_t, 4 + kOutputRoom> reply{};
  std::size_t replyLength = 4;
  bool answer = true;
  bool loaded = false;
  Load load;
  std::function<void(const Load&)> onLoad;
  {
    std::lock_guard lock(mutex_);
    // Unplugged after this connection was polled: the call never reaches the device.
    if (!plugged_) return false;
    ++requests_;

    FaultKind fault{};
    unsigned shortBytes = 0;
    bool faulted = !faults_.empty();
    if (faulted) {
      fault = faults_.front().kind;
      shortBytes = faults_.front().bytes;
      if (--faults_.front().remaining == 0) faults_.pop_front();
    }

    PutU32(reply.data(), kResultFailure);
    if (faulted && fault == FaultKind::kHang) {
      answer = false;
    } else if ((faulted && fault == FaultKind::kFail) || oversize || length < kHeaderBytes) {
      // The failure reply is already in place.
    } else {
      const std::uint32_t code = ReadU32(request.data());
      const std::size_t capacity = std::min<std::size_t>(ReadU32(request.data() + 4), kOutputRoom);
      std::size_t written = 0;
      int didLoad = 0;
      load.previous = board_.output;
      if (tw_board_control(&board_, code, request.data() + kHeaderBytes, length - kHeaderBytes,
                           reply.data() + 4, capacity, &written, &didLoad) != 0) {
        PutU32(reply.data(), kResultSuccess);
        written = std::min(written, capacity);
        if (faulted && fault == FaultKind::kShort)
          written = std::min<std::size_t>(written, shortBytes);
        replyLength = 4 + written;
      }
      if (didLoad != 0) {
        loaded = true;
        load.counts = board_.output;
        load.loads = board_.loads;
        onLoad = onLoad_;
      }
    }
  }

  LogRequest(request.data(), length, oversize);
  if (loaded && onLoad) {
    try {
      onLoad(load);
    } catch (...) {
      // The device keeps working whatever an observer does.
    }
  }
  if (!answer) return true;
  ssize_t sent;
  do {
    sent = ::send(fd, reply.data(), replyLength, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  // A program that does not read its replies fills the socket: drop it rather than wait.
  return sent == static_cast<ssize_t>(replyLength);
}

void SimServer::LogRequest(const std::uint8_t* data, std::size_t length, bool oversize) {
  if (log_ == nullptr) return;
  std::string line;
  if (oversize) {
    line = "oversize request: more than " + std::to_string(kMaxRequestBytes) + " bytes";
  } else if (length < kHeaderBytes) {
    line = "malformed request: " + std::to_string(length) + " bytes:";
    if (length != 0) line += ' ';
    AppendHex(line, data, length);
  } else {
    std::array<char, 40> head{};
    std::snprintf(head.data(), head.size(), "code=%08x cap=%u in=", ReadU32(data),
                  ReadU32(data + 4));
    line = head.data();
    AppendHex(line, data + kHeaderBytes, length - kHeaderBytes);
  }
  log_->Out(line);
}

}  // namespace tarnwick::sim
