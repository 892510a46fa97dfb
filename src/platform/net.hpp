#pragma once
// The instrument server's sockets: TCP, every call non-blocking, and the stop signals that end
// its wait. Each platform maps these to its own calls (POSIX sockets, Winsock); the server's
// loop above them is portable.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarnwick::platform::net {

using Socket = std::int64_t;  // a descriptor, or a Winsock SOCKET
inline constexpr Socket kNoSocket = -1;

// What Receive and Send return besides a count of bytes.
inline constexpr long kWouldBlock = -1;
inline constexpr long kFailed = -2;

// Readies the sockets and makes SIGINT, SIGTERM and SIGHUP (on Windows Ctrl+C, Ctrl+Break and
// closing the console) ask for a stop instead of ending the program; false with the reason if
// not.
bool Start(std::string& reason);
bool StopRequested();

// Listens on HOST (a name or a numeric address) and PORT (a number; 0 picks one). bound is
// the address as bound ("127.0.0.1:5025", "[::1]:5025"); on failure kNoSocket and the
// system's reason, inUse when the address is taken.
Socket Listen(const std::string& host, const std::string& port, std::string& bound,
              std::string& reason, bool& inUse);
// A waiting connection, or kNoSocket when none waits; peer is its address.
Socket Accept(Socket listener, std::string& peer);
// Bytes read, 0 when the peer closed, kWouldBlock or kFailed.
long Receive(Socket socket, char* data, std::size_t size);
// Bytes sent (perhaps fewer than size), kWouldBlock or kFailed.
long Send(Socket socket, const char* data, std::size_t size);
void Close(Socket socket);

struct Watch {
  Socket socket = kNoSocket;
  bool wantWrite = false;
  bool readable = false;  // also set on a hang-up or an error, for Receive to find out
  bool writable = false;
};
// Waits until a watched socket is ready, timeout passes or a stop is asked; false when the
// wait itself failed.
bool Wait(std::vector<Watch>& watches, std::chrono::milliseconds timeout);

}  // namespace tarnwick::platform::net
