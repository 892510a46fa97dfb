// The simulator's server thread: polls the listening socket and the connections, answers each
// request from the board and applies the operations other threads hand it.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

#include "platform/device_wire.hpp"
#include "sim_server.hpp"
#include "sim_text.hpp"

namespace tarnwick::sim {
namespace {

namespace wire = platform::posix;

// Room for the board's reply; it never writes more than one packet.
constexpr std::size_t kOutputRoom = 64;
// Accepting at most this many per wake-up keeps a connect flood from starving served clients.
constexpr int kAcceptBurst = 64;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

}  // namespace

void SimServer::Run() {
  std::string why;
  try {
    Loop();
    return;
  } catch (const std::exception& failure) {
    why = failure.what();
  } catch (...) {
    why = "unknown error";
  }
  std::function<void(const std::string&)> onFailed;
  {
    std::lock_guard lock(mutex_);
    FailLocked();
    onFailed = std::move(onFailed_);
  }
  try {
    if (onFailed) onFailed(why);
  } catch (...) {
    // Nobody is left to tell.
  }
}

// Leaves nothing for a program to find: the path goes and every connection drops. The wake-up
// descriptor and the request log stay for Stop.
void SimServer::FailLocked() {
  failed_ = true;
  plugged_ = false;
  RemovePathLocked();
  listener_.reset();
  adoptListener_.reset();
  clients_.clear();
  appliedOps_ = requestedOps_;
  applied_.notify_all();
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
    polled.push_back({wake_.get(), POLLIN, 0});
    const bool acceptPaused = std::chrono::steady_clock::now() < acceptPausedUntil;
    const bool listening = listener_ && !acceptPaused;
    if (listening) polled.push_back({listener_.get(), POLLIN, 0});
    const std::size_t firstClient = polled.size();
    for (const Connection& client : clients_) {
      polled.push_back({client.fd.get(), POLLIN | POLLRDHUP, 0});
    }

    const int timeout = acceptPaused ? static_cast<int>(kAcceptPause.count()) : -1;
    if (::poll(polled.data(), polled.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "poll");
    }

    if ((polled[0].revents & POLLIN) != 0) {
      std::uint64_t count;
      while (::read(wake_.get(), &count, sizeof count) < 0 && errno == EINTR) {
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
      std::erase_if(clients_, [fd](const Connection& client) { return client.fd.get() == fd; });
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
    UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (fd) {
      const auto now = std::chrono::steady_clock::now();
      if (clients_.size() >= kMaxClients) {
        auto idlest = std::min_element(
            clients_.begin(), clients_.end(),
            [](const Connection& a, const Connection& b) { return a.lastActive < b.lastActive; });
        // One that made a request lately may be inside its session: it is never cut.
        if (now - idlest->lastActive < options_.idleBeforeClose) {
          fd.reset();
          if (!std::exchange(refusing_, true)) refusing = true;
          continue;
        }
        clients_.erase(idlest);
        ++dropped;
      }
      clients_.push_back({std::move(fd), now});  // within the room Start reserved
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

  constexpr std::size_t kResult = wire::kWireResultBytes;
  constexpr std::size_t kHeader = wire::kWireHeaderBytes;
  std::array<std::uint8_t, kResult + kOutputRoom> reply{};
  std::size_t replyLength = kResult;
  bool answer = true;
  bool loaded = false;
  Load load;
  std::function<void(const Load&)> onLoad;
  {
    std::lock_guard lock(mutex_);
    // Unplugged after this connection was polled: the call never reaches the device.
    if (!plugged_) return false;
    ++requests_;

    tw_fault fault{};
    tw_faults_take(&faults_, &fault);  // a kind of 0 when none is queued

    wire::PutU32(reply.data(), wire::kWireFailure);
    if (fault.kind == TW_FAULT_HANG) {
      answer = false;
    } else if (fault.kind == TW_FAULT_FAIL || oversize || length < kHeader) {
      // The failure reply is already in place.
    } else {
      const std::uint32_t code = wire::ReadU32(request.data());
      const std::size_t capacity =
          std::min<std::size_t>(wire::ReadU32(request.data() + 4), kOutputRoom);
      std::size_t written = 0;
      int didLoad = 0;
      load.previous = board_.output;
      if (tw_board_control(&board_, code, request.data() + kHeader, length - kHeader,
                           reply.data() + kResult, capacity, &written, &didLoad) != 0) {
        wire::PutU32(reply.data(), wire::kWireSuccess);
        written = std::min(written, capacity);
        if (fault.kind == TW_FAULT_SHORT) written = std::min<std::size_t>(written, fault.bytes);
        replyLength = kResult + written;
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
  } else if (length < wire::kWireHeaderBytes) {
    line = "malformed request: " + std::to_string(length) + " bytes:";
    if (length != 0) line += ' ';
    line += Hex(data, length);
  } else {
    line = RequestLine(wire::ReadU32(data), wire::ReadU32(data + 4), data + wire::kWireHeaderBytes,
                       length - wire::kWireHeaderBytes);
  }
  log_->Out(line);
}

}  // namespace tarnwick::sim
