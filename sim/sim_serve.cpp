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
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

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
  std::vector<Connection*> polledClients;
  auto acceptPausedUntil = std::chrono::steady_clock::time_point{};
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopRequested_) return;  // Stop closes everything once this thread is gone
      ApplyPendingLocked();
    }
    const int nextDue = ServeDelayed();

    polled.clear();
    polledClients.clear();
    polled.push_back({wake_.get(), POLLIN, 0});
    const bool acceptPaused = std::chrono::steady_clock::now() < acceptPausedUntil;
    const bool listening = listener_ && !acceptPaused;
    if (listening) polled.push_back({listener_.get(), POLLIN, 0});
    const std::size_t firstClient = polled.size();
    for (Connection& client : clients_) {
      if (client.delayed) continue;  // its next request waits for the one in hand
      polled.push_back({client.fd.get(), POLLIN | POLLRDHUP, 0});
      polledClients.push_back(&client);
    }

    int timeout = acceptPaused ? static_cast<int>(kAcceptPause.count()) : -1;
    if (nextDue >= 0 && (timeout < 0 || nextDue < timeout)) timeout = nextDue;
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
    bool closing = false;
    for (std::size_t i = firstClient; i < polled.size(); ++i) {
      const short events = polled[i].revents;
      Connection& client = *polledClients[i - firstClient];
      bool open = true;
      // A request sent just before the peer hung up still gets served (and its reply lost).
      if ((events & (POLLIN | POLLRDHUP)) != 0) {
        open = ServeOne(client, events);
        client.lastActive = std::chrono::steady_clock::now();
      } else if ((events & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        open = false;
      }
      if (!open) {
        client.fd.reset();
        closing = true;
      }
    }
    if (closing) std::erase_if(clients_, [](const Connection& client) { return !client.fd; });

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
          // Told why before it is closed, so its program can say nothing was sent.
          std::array<std::uint8_t, wire::kWireResultBytes> refused{};
          platform::PutU32(refused.data(), wire::kWireRefused);
          static_cast<void>(
              ::send(fd.get(), refused.data(), refused.size(), MSG_DONTWAIT | MSG_NOSIGNAL));
          // Closed with a request unread, the connection would be reset and the word lost.
          std::array<std::uint8_t, kMaxRequestBytes> unread;
          while (::recv(fd.get(), unread.data(), unread.size(), MSG_DONTWAIT) > 0) {
          }
          fd.reset();
          if (!std::exchange(refusing_, true)) refusing = true;
          continue;
        }
        clients_.erase(idlest);
        ++dropped;
      }
      clients_.push_back({std::move(fd), now, nullptr});  // within the room Start reserved
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

bool SimServer::ServeOne(Connection& client, short events) {
  const int fd = client.fd.get();
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

  tw_fault fault{};
  {
    std::lock_guard lock(mutex_);
    // Unplugged after this connection was polled: the call never reaches the device.
    if (!plugged_) return false;
    ++requests_;
    tw_faults_take(&faults_, &fault);  // a kind of 0 when none is queued
  }
  if (fault.kind == TW_FAULT_SLOW && fault.bytes != 0) {
    client.delayed = std::make_unique<Delayed>(
        Delayed{std::vector<std::uint8_t>(request.begin(), request.begin() + length), oversize,
                std::chrono::steady_clock::now() + std::chrono::milliseconds(fault.bytes)});
    return true;
  }
  return Answer(fd, request.data(), length, oversize, fault);
}

int SimServer::ServeDelayed() {
  const auto now = std::chrono::steady_clock::now();
  auto next = std::chrono::steady_clock::time_point::max();
  bool closing = false;
  for (Connection& client : clients_) {
    if (!client.delayed) continue;
    if (client.delayed->due > now) {
      next = std::min(next, client.delayed->due);
      continue;
    }
    const std::unique_ptr<Delayed> delayed = std::move(client.delayed);
    {
      std::lock_guard lock(mutex_);
      if (!plugged_) continue;  // dropped with the device
    }
    // Its program may have gone meanwhile: the board still carries it out, as a driver does
    // with a request it has taken in.
    if (!Answer(client.fd.get(), delayed->bytes.data(), delayed->bytes.size(), delayed->oversize,
                tw_fault{})) {
      client.fd.reset();
      closing = true;
    }
  }
  if (closing) std::erase_if(clients_, [](const Connection& client) { return !client.fd; });
  if (next == std::chrono::steady_clock::time_point::max()) return -1;
  // Rounded up, so the wait never ends just before the request is due.
  return static_cast<int>(
      std::chrono::ceil<std::chrono::milliseconds>(next - std::chrono::steady_clock::now())
          .count());
}

bool SimServer::Answer(int fd, const std::uint8_t* request, std::size_t length, bool oversize,
                       const tw_fault& fault) {
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
    if (!plugged_) return false;
    platform::PutU32(reply.data(), wire::kWireFailure);
    if (fault.kind == TW_FAULT_HANG) {
      answer = false;
    } else if (fault.kind == TW_FAULT_FAIL || oversize || length < kHeader) {
      // The failure reply is already in place.
    } else {
      const std::uint32_t code = platform::ReadU32(request);
      const std::size_t capacity =
          std::min<std::size_t>(platform::ReadU32(request + 4), kOutputRoom);
      std::size_t written = 0;
      int didLoad = 0;
      load.previous = board_.output;
      if (tw_board_control(&board_, code, request + kHeader, length - kHeader,
                           reply.data() + kResult, capacity, &written, &didLoad) != 0) {
        platform::PutU32(reply.data(), wire::kWireSuccess);
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

  LogRequest(request, length, oversize);
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
    line = RequestLine(platform::ReadU32(data), platform::ReadU32(data + 4),
                       data + wire::kWireHeaderBytes, length - wire::kWireHeaderBytes);
  }
  log_->Out(line);
}

}  // namespace tarnwick::sim
