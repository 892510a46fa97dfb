#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>

#include "platform/net.hpp"

namespace tarnwick::platform::net {

namespace {

volatile std::sig_atomic_t stopRequested = 0;
int wakeRead = -1;  // the self-pipe: a signal between the check and poll still wakes it
int wakeWrite = -1;

extern "C" void OnNetStopSignal(int) {
  const int saved = errno;
  stopRequested = 1;
  if (wakeWrite >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeWrite, &byte, 1);
  }
  errno = saved;
}

std::string Address(const sockaddr* address, socklen_t length) {
  char host[NI_MAXHOST] = "";
  char port[NI_MAXSERV] = "";
  if (::getnameinfo(address, length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  const bool v6 = address->sa_family == AF_INET6;
  std::string text = v6 ? "[" : "";
  text.append(host).append(v6 ? "]:" : ":").append(port);
  return text;
}

}  // namespace

bool Start(std::string& reason) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
    reason = std::strerror(errno);
    return false;
  }
  wakeRead = pipeEnds[0];
  wakeWrite = pipeEnds[1];
  struct sigaction action {};
  action.sa_handler = OnNetStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);  // its terminal closed
  std::signal(SIGPIPE, SIG_IGN);          // a client gone is a failed send, not the server's end
  return true;
}

bool StopRequested() {
  return stopRequested != 0;
}

Socket Listen(const std::string& host, const std::string& port, std::string& bound,
              std::string& reason, bool& inUse) {
  inUse = false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); error != 0) {
    reason = ::gai_strerror(error);
    return kNoSocket;
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
  const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    reason = std::strerror(errno);
    return kNoSocket;
  }
  // A restart may bind at once while the last run's connections linger; a port another
  // program listens on still fails.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 16) != 0) {
    inUse = errno == EADDRINUSE;
    reason = std::strerror(errno);
    ::close(fd);
    return kNoSocket;
  }
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  bound = Address(reinterpret_cast<sockaddr*>(&address), length);
  return fd;
}

Socket Accept(Socket listener, std::string& peer) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address),
                           &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return kNoSocket;
  peer = Address(reinterpret_cast<sockaddr*>(&address), length);
  return fd;
}

long Receive(Socket socket, char* data, std::size_t size) {
  const ssize_t got = ::recv(static_cast<int>(socket), data, size, 0);
  if (got >= 0) return static_cast<long>(got);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kWouldBlock : kFailed;
}

long Send(Socket socket, const char* data, std::size_t size) {
  const ssize_t sent = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
  if (sent >= 0) return static_cast<long>(sent);
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? kWouldBlock : kFailed;
}

void Close(Socket socket) {
  if (socket >= 0) ::close(static_cast<int>(socket));
}

bool Wait(std::vector<Watch>& watches, std::chrono::milliseconds timeout) {
  std::vector<pollfd> fds;
  fds.reserve(watches.size() + 1);
  fds.push_back({wakeRead, POLLIN, 0});
  for (const Watch& watch : watches) {
    fds.push_back({static_cast<int>(watch.socket),
                   static_cast<short>(POLLIN | (watch.wantWrite ? POLLOUT : 0)), 0});
  }
  if (stopRequested != 0) return true;
  const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
  if (ready < 0) return errno == EINTR;
  for (std::size_t i = 0; i < watches.size(); ++i) {
    const short events = fds[i + 1].revents;
    watches[i].readable = (events & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
    watches[i].writable = (events & POLLOUT) != 0;
  }
  return true;
}

}  // namespace tarnwick::platform::net
