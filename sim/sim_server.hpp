#pragma once
// The simulated controller: a stand-in for the kernel driver and the board behind it. It
// serves the device path as a Unix-domain SOCK_SEQPACKET socket on its own thread, one
// request datagram per device-control call and one reply datagram back.
//
// Request: u32 control code, u32 output capacity, then the input bytes (little-endian).
// Reply:   u32 result (1 success, 0 failure), then at most `capacity` bytes of output.

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

namespace tarnwick::sim {

struct SimOptions {
  std::string socketPath;
  std::uint32_t serial = 12345;
  std::string logPath;  // hex log of every request; empty for none
};

// Largest request the stand-in driver takes; anything longer gets a failure reply.
inline constexpr std::size_t kMaxRequestBytes = 1024;

// Connections served at once. The program opens the device, makes its calls and closes it
// within one event, so a new connection at the limit takes the place of the longest-idle one:
// a few connections left idle cannot lock the program out.
inline constexpr std::size_t kMaxClients = 16;

// One converter load, as the OnLoad callback sees it.
struct Load {
  std::uint16_t counts = 0;    // what the converter holds now
  std::uint16_t previous = 0;  // what it held before this load
  std::uint32_t loads = 0;     // loads since power-up, this one included
};

// One consistent reading of the simulator's state.
struct SimStatus {
  bool plugged = false;
  std::uint16_t output = 0;
  std::uint32_t loads = 0;
  std::uint32_t serial = 0;
  std::uint64_t requests = 0;
};

class SimServer {
 public:
  explicit SimServer(SimOptions options);
  ~SimServer();
  SimServer(const SimServer&) = delete;
  SimServer& operator=(const SimServer&) = delete;

  // Binds and listens on the socket path and starts serving. Throws std::system_error when
  // the path cannot be served (too long, taken by a live server or by something that is not a
  // socket, ...). A stale socket left by a dead simulator is replaced.
  void Start();
  // Stops serving, closes every descriptor and removes the socket path. Idempotent.
  void Stop();

  // The device goes away: the path is removed and open connections drop. When this returns
  // the path is gone and no further request is served. False if it was already unplugged.
  // Called from the OnLoad callback it does not wait for the connections to drop.
  bool Unplug();
  // The device comes back, powered up afresh (output 0, latch low) with the same serial.
  // False if it was already plugged. Throws std::system_error when the path cannot be served.
  bool Plug();

  void SetSerial(std::uint32_t serial);

  // Faults queue up and apply to the following calls in arrival order.
  void FailNext(unsigned calls);  // failure reply, the board never sees the call
  // The board handles the call but the reply carries only `bytes` (< 8) of its output.
  // Throws std::invalid_argument for 8 bytes or more, which would be no fault at all.
  void ShortNext(unsigned calls, unsigned bytes);
  void HangNext(unsigned calls);  // no reply and no processing; the connection stays open

  std::uint16_t Output() const;
  std::uint32_t Loads() const;
  bool Plugged() const;
  std::uint64_t Requests() const;
  std::uint32_t Serial() const;
  SimStatus Status() const;
  const std::string& SocketPath() const { return options_.socketPath; }

  // Called on the server thread, with no lock held, on each converter load and before the
  // reply that caused it is sent.
  void OnLoad(std::function<void(const Load& load)> callback);
  // Called on the server thread, with no lock held, each time a new connection at the limit
  // closed the longest-idle one.
  void OnClientDropped(std::function<void()> callback);

 private:
  enum class FaultKind { kFail, kShort, kHang };
  struct Connection {
    int fd;
    std::uint64_t lastActive;  // when it was accepted or last sent a request, in server turns
  };
  struct Fault {
    FaultKind kind;
    unsigned remaining;
    unsigned bytes;
  };

  void Loop();
  void ApplyPendingLocked();
  // False when out of descriptors: stop accepting for a moment. Counts the clients it closed
  // to stay within kMaxClients.
  bool AcceptClients(unsigned& dropped);
  bool ServeOne(int fd, short events);  // false when the connection should be closed
  void CloseClients();
  int Listen();  // a new listening socket on the path; throws std::system_error
  void RemovePathLocked();
  // Hands the pending operation to the server thread and waits until it is done there.
  void RunOnServerThread(std::unique_lock<std::mutex>& lock);
  void Wake() const;
  void LogRequest(const std::uint8_t* data, std::size_t length, bool oversize);

  SimOptions options_;
  std::mutex lifecycle_;  // serialises Start and Stop
  mutable std::mutex mutex_;
  std::condition_variable applied_;
  tw_board board_{};
  bool running_ = false;
  std::thread::id serverThread_;
  bool plugged_ = false;
  bool stopRequested_ = false;
  std::uint64_t requests_ = 0;
  std::deque<Fault> faults_;
  std::function<void(const Load&)> onLoad_;
  std::function<void()> onClientDropped_;

  // Operations for the server thread: callers bump requestedOps_ and wait for appliedOps_.
  std::uint64_t requestedOps_ = 0;
  std::uint64_t appliedOps_ = 0;
  bool dropRequested_ = false;
  int adoptListener_ = -1;

  // The socket file we bound, so we never remove another server's.
  bool boundPathKnown_ = false;
  std::uint64_t boundDevice_ = 0;
  std::uint64_t boundInode_ = 0;

  // Owned by the server thread while it runs, by the caller of Start/Stop otherwise.
  int listener_ = -1;
  int wake_ = -1;
  std::vector<Connection> clients_;
  std::uint64_t turn_ = 0;
  std::FILE* log_ = nullptr;
  std::thread thread_;
};

}  // namespace tarnwick::sim
