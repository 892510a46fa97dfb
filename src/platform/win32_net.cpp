// The instrument server's sockets on Winsock.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
// winsock2.h first: ws2tcpip.h and windows.h need it ahead of them.
#include <windows.h>
#include <ws2tcpip.h>

#include <atomic>
#include <string>

#include "platform/net.hpp"

namespace tarnwick::platform::net {

namespace {

std::atomic<bool> stopRequested{false};
// A datagram to this socket wakes the wait: the console's handler runs on a thread of its own.
SOCKET wake = INVALID_SOCKET;
sockaddr_in wakeAddress{};

std::string Text(int error) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
  std::string text = length > 0 ? std::string(buffer, length) : "error " + std::to_string(error);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  stopRequested = true;
  const char byte = 1;
  sendto(wake, &byte, 1, 0, reinterpret_cast<const sockaddr*>(&wakeAddress), sizeof wakeAddress);
  // Closing the console ends the process once this returns: give the loop time to let go.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    Sleep(1500);
  }
  return TRUE;
}

SOCKET ToSocket(Socket socket) {
  return static_cast<SOCKET>(socket);
}

std::string Address(const sockaddr* address, int length) {
  char host[NI_MAXHOST] = "";
  char port[NI_MAXSERV] = "";
  if (getnameinfo(address, length, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    return "?";
  }
  const bool v6 = address->sa_family == AF_INET6;
  std::string text = v6 ? "[" : "";
  text.append(host).append(v6 ? "]:" : ":").append(port);
  return text;
}

// Non-blocking, and not inherited by programs this one starts.
bool Prepare(SOCKET socket) {
  u_long on = 1;
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
  return ioctlsocket(socket, static_cast<long>(FIONBIO), &on) == 0;
}

}  // namespace

bool Start(std::string& reason) {
  WSADATA data;
  if (const int error = WSAStartup(MAKEWORD(2, 2), &data); error != 0) {
    reason = Text(error);
    return false;
  }
  wake = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  wakeAddress.sin_family = AF_INET;
  wakeAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof wakeAddress;
  if (wake == INVALID_SOCKET || !Prepare(wake) ||
      bind(wake, reinterpret_cast<sockaddr*>(&wakeAddress), sizeof wakeAddress) != 0 ||
      getsockname(wake, reinterpret_cast<sockaddr*>(&wakeAddress), &length) != 0 ||
      !SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
    reason = Text(WSAGetLastError());
    return false;
  }
  return true;
}

bool StopRequested() {
  return stopRequested;
}

Socket Listen(const std::string& host, const std::string& port, std::string& bound,
              std::string& reason, bool& inUse) {
  inUse = false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); error != 0) {
    reason = Text(error);
    return kNoSocket;
  }
  const SOCKET listener = socket(found->ai_family, SOCK_STREAM, IPPROTO_TCP);
  // Exclusive: on Windows another program could otherwise bind the same port over ours.
  BOOL on = TRUE;
  const bool ok = listener != INVALID_SOCKET && Prepare(listener) &&
                  setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                             reinterpret_cast<const char*>(&on), sizeof on) == 0 &&
                  bind(listener, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0 &&
                  listen(listener, 16) == 0;
  freeaddrinfo(found);
  if (!ok) {
    const int error = WSAGetLastError();
    inUse = error == WSAEADDRINUSE || error == WSAEACCES;
    reason = Text(error);
    if (listener != INVALID_SOCKET) closesocket(listener);
    return kNoSocket;
  }
  sockaddr_storage address{};
  int length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  bound = Address(reinterpret_cast<sockaddr*>(&address), length);
  return static_cast<Socket>(listener);
}

Socket Accept(Socket listener, std::string& peer) {
  sockaddr_storage address{};
  int length = sizeof address;
  const SOCKET socket = accept(ToSocket(listener), reinterpret_cast<sockaddr*>(&address), &length);
  if (socket == INVALID_SOCKET) return kNoSocket;
  if (!Prepare(socket)) {
    closesocket(socket);
    return kNoSocket;
  }
  peer = Address(reinterpret_cast<sockaddr*>(&address), length);
  return static_cast<Socket>(socket);
}

long Receive(Socket socket, char* data, std::size_t size) {
  const int got = recv(ToSocket(socket), data, static_cast<int>(size), 0);
  if (got != SOCKET_ERROR) return got;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kFailed;
}

long Send(Socket socket, const char* data, std::size_t size) {
  const int sent = send(ToSocket(socket), data, static_cast<int>(size), 0);
  if (sent != SOCKET_ERROR) return sent;
  return WSAGetLastError() == WSAEWOULDBLOCK ? kWouldBlock : kFailed;
}

void Close(Socket socket) {
  if (socket != kNoSocket) closesocket(ToSocket(socket));
}

bool Wait(std::vector<Watch>& watches, std::chrono::milliseconds timeout) {
  std::vector<WSAPOLLFD> fds;
  fds.reserve(watches.size() + 1);
  fds.push_back({wake, POLLRDNORM, 0});
  for (const Watch& watch : watches) {
    fds.push_back({ToSocket(watch.socket),
                   static_cast<SHORT>(POLLRDNORM | (watch.wantWrite ? POLLWRNORM : 0)), 0});
  }
  if (stopRequested) return true;
  const int ready =
      WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), static_cast<INT>(timeout.count()));
  if (ready == SOCKET_ERROR) return false;
  for (std::size_t i = 0; i < watches.size(); ++i) {
    const SHORT events = fds[i + 1].revents;
    watches[i].readable = (events & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
    watches[i].writable = (events & POLLWRNORM) != 0;
  }
  return true;
}

}  // namespace tarnwick::platform::net
