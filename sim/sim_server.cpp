#include "sim_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "control/setpoint_write.hpp"

namespace tarnwick::sim {
namespace {

// The board model is plain C for the kernel driver's sake, so it keeps its own full scale.
static_assert(TW_FULL_SCALE == control::kFullScale &&
                  TW_FULL_SCALE_MA == control::kFullScaleMilliamps,
              "the board's full scale is the window's");

// How long Stop waits for the request log to take its last lines.
constexpr auto kLogPatience = std::chrono::milliseconds(250);
// Lines the request log holds for its writer: enough that a file loses none while the writer
// waits for a busy machine's processor, so only a log nobody reads drops lines.
constexpr std::size_t kLogQueuedLines = 65536;

std::system_error SystemError(int error, const std::string& what) {
  return std::system_error(error, std::generic_category(), what);
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
  const platform::posix::UniqueFd probe(
      ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe) return false;
  int result;
  do {
    result = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  return result != 0 && errno == ECONNREFUSED;
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

SimServer::UniqueFd SimServer::Listen() {
  const sockaddr_un address = AddressFor(options_.socketPath);
  for (int attempt = 0;; ++attempt) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) throw SystemError(errno, "cannot create the device socket");
    // A socket takes its mode from the umask at bind, and anyone who may write it may connect:
    // bind under a private umask so it is never open to others, not even for a moment. The
    // umask is the whole process's, but a file another thread makes meanwhile only comes out
    // more private.
    const mode_t previousMask = ::umask(0177);
    const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int bindError = errno;
    ::umask(previousMask);
    if (bound == 0) {
      struct stat info {};
      if (::stat(options_.socketPath.c_str(), &info) == 0) {
        boundPathKnown_ = true;
        boundDevice_ = static_cast<std::uint64_t>(info.st_dev);
        boundInode_ = static_cast<std::uint64_t>(info.st_ino);
      }
      if (::listen(fd.get(), SOMAXCONN) != 0) {
        const int error = errno;
        fd.reset();
        RemovePathLocked();
        throw SystemError(error, "cannot listen on " + options_.socketPath);
      }
      return fd;
    }
    const int error = bindError;
    fd.reset();
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
    UniqueFd fd(::open(options_.logPath.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                       0666));
    if (!fd) throw SystemError(errno, "cannot open the log " + options_.logPath);
    log_ = std::make_unique<Console>(std::move(fd), "log", kLogQueuedLines, options_.onLogTrouble);
  }
  try {
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) throw SystemError(errno, "cannot create the wake-up descriptor");
    listener_ = Listen();
    // Room for every client up front: accepting never allocates.
    clients_.reserve(kMaxClients);
    tw_board_reset(&board_, options_.serial);
    plugged_ = true;
    stopRequested_ = false;
    dropRequested_ = false;
    failed_ = false;
    thread_ = std::thread(&SimServer::Run, this);
  } catch (...) {
    listener_.reset();
    RemovePathLocked();
    wake_.reset();
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
  listener_.reset();
  adoptListener_.reset();
  clients_.clear();
  RemovePathLocked();
  wake_.reset();
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
  adoptListener_.reset();
  dropRequested_ = true;
  RunOnServerThread(lock);
  return true;
}

bool SimServer::Plug() {
  std::unique_lock lock(mutex_);
  if (!running_) throw std::logic_error("the simulator is not running");
  if (plugged_ || failed_) return false;
  adoptListener_.reset();
  adoptListener_ = Listen();
  tw_board_reset(&board_, board_.serial);
  tw_faults_clear(&faults_);
  plugged_ = true;
  RunOnServerThread(lock);
  return true;
}

void SimServer::RunOnServerThread(std::unique_lock<std::mutex>& lock) {
  const std::uint64_t ticket = ++requestedOps_;
  // The server thread itself (an OnLoad callback) applies it when the callback returns.
  if (std::this_thread::get_id() == serverThread_) return;
  Wake();
  applied_.wait(lock, [&] { return appliedOps_ >= ticket || !running_ || failed_; });
}

void SimServer::Wake() const {
  const std::uint64_t one = 1;
  ssize_t written;
  do {
    written = ::write(wake_.get(), &one, sizeof one);
  } while (written < 0 && errno == EINTR);
  // EAGAIN means the counter is already non-zero: the thread wakes anyway.
}

void SimServer::SetSerial(std::uint32_t serial) {
  std::lock_guard lock(mutex_);
  board_.serial = serial;
  options_.serial = serial;
}

void SimServer::QueueFault(std::uint32_t kind, unsigned calls, unsigned bytes) {
  if (calls > kMaxFaultCalls) {
    throw std::invalid_argument("a fault covers at most " + std::to_string(kMaxFaultCalls) +
                                " calls");
  }
  std::lock_guard lock(mutex_);
  if (tw_faults_push(&faults_, kind, calls, bytes) == 0) {
    throw std::length_error("too many faults queued (at most " + std::to_string(TW_FAULT_SLOTS) +
                            ")");
  }
}

void SimServer::FailNext(unsigned calls) {
  QueueFault(TW_FAULT_FAIL, calls, 0);
}

void SimServer::ShortNext(unsigned calls, unsigned bytes) {
  if (bytes >= TW_PACKET_SIZE) {
    throw std::invalid_argument("a short reply carries fewer than 8 data bytes");
  }
  QueueFault(TW_FAULT_SHORT, calls, bytes);
}

void SimServer::HangNext(unsigned calls) {
  QueueFault(TW_FAULT_HANG, calls, 0);
}

void SimServer::SlowNext(unsigned calls, unsigned ms) {
  if (ms > kMaxSlowMs) {
    throw std::invalid_argument("a slow call waits at most " + std::to_string(kMaxSlowMs) + " ms");
  }
  QueueFault(TW_FAULT_SLOW, calls, ms);
}

void SimServer::ClearFaults() {
  std::lock_guard lock(mutex_);
  tw_faults_clear(&faults_);
}

SimStatus SimServer::Status() const {
  std::lock_guard lock(mutex_);
  return {plugged_,
          board_.output,
          board_.loads,
          board_.serial,
          requests_,
          tw_faults_pending(&faults_, TW_FAULT_FAIL),
          tw_faults_pending(&faults_, TW_FAULT_SHORT),
          tw_faults_pending(&faults_, TW_FAULT_HANG),
          tw_faults_pending(&faults_, TW_FAULT_SLOW)};
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

void SimServer::OnFailed(std::function<void(const std::string&)> callback) {
  std::lock_guard lock(mutex_);
  onFailed_ = std::move(callback);
}

void SimServer::ApplyPendingLocked() {
  if (dropRequested_) {
    dropRequested_ = false;
    listener_.reset();
    clients_.clear();
  }
  if (adoptListener_) listener_ = std::move(adoptListener_);
  if (appliedOps_ != requestedOps_) {
    appliedOps_ = requestedOps_;
    applied_.notify_all();
  }
}

}  // namespace tarnwick::sim
