#pragma once
// The simulated controller: a stand-in for the kernel driver and the board behind it. It
// serves the device path as a Unix-domain SOCK_SEQPACKET socket on its own thread, one
// request datagram per device-control call and one reply datagram back.
//
// Request: u32 control code, u32 output capacity, then the input bytes (little-endian).
// Reply:   u32 result (1 success, 0 failure), then at most `capacity` bytes of output.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "console.hpp"
#include "platform/unique_fd.hpp"

namespace tarnwick::sim {

struct SimOptions {
  std::string socketPath;
  std::uint32_t serial = 12345;
  std::string logPath;  // hex log of every request; empty for none
  // Told, on the log's own thread, when writes to the log begin to fail.
  std::function<void(const std::string&)> onLogTrouble{};
  // A connection with no request for this long counts as left open, not inside a session.
  std::chrono::milliseconds idleBeforeClose{1000};
};

// Largest request the stand-in driver takes; anything longer gets a failure reply.
inline constexpr std::size_t kMaxRequestBytes = 1024;

// Connections served at once. The program opens the device, makes its calls and closes it
// within one event, so a new connection at the limit takes the place of the longest-idle one
// that has been idle for SimOptions::idleBeforeClose: a few connections left open cannot lock
// the program out, and none is cut inside its session. With none that idle, the newcomer is
// refused.
inline constexpr std::size_t kMaxClients = 16;

// Most calls one fault command may cover; more is surely a typo.
inline constexpr unsigned kMaxFaultCalls = 1000000;

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
  // Calls each kind of queued fault still covers.
  std::uint64_t failQueued = 0;
  std::uint64_t shortQueued = 0;
  std::uint64_t hangQueued = 0;
  std::uint64_t slowQueued = 0;
};

// Longest delay a slow fault may give a call.
inline constexpr unsigned kMaxSlowMs = 60000;

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
  // The device comes back, powered up afresh (output 0, latch low, no queued fault) with the
  // same serial. False if it was already plugged. Throws std::system_error when the path
  // cannot be served.
  bool Plug();

  void SetSerial(std::uint32_t serial);

  // Faults queue up and apply to the following calls in arrival order. Each throws
  // std::invalid_argument for more than kMaxFaultCalls calls, and std::length_error when
  // TW_FAULT_SLOTS runs of different faults are queued already.
  void FailNext(unsigned calls);  // failure reply, the board never sees the call
  // The board handles the call but the reply carries only `bytes` (< 8) of its output.
  // Throws std::invalid_argument for 8 bytes or more, which would be no fault at all.
  void ShortNext(unsigned calls, unsigned bytes);
  void HangNext(unsigned calls);  // no reply and no processing; the connection stays open
  // The board handles the call, and answers it, only `ms` milliseconds after it arrived, as a
  // driver busy elsewhere: other connections are served meanwhile, and a call whose program
  // has hung up in the meantime still reaches the board. Throws std::invalid_argument beyond
  // kMaxSlowMs.
  void SlowNext(unsigned calls, unsigned ms);
  void ClearFaults();

  SimStatus Status() const;
  const std::string& SocketPath() const { return options_.socketPath; }

  // Called on the server thread, with no lock held, on each converter load and before the
  // reply that caused it is sent.
  void OnLoad(std::function<void(const Load& load)> callback);
  // Called on the server thread, with no lock held, each time a new connection at the limit
  // closed the longest-idle one.
  void OnClientDropped(std::function<void()> callback);
  // Called likewise when a new connection was refused because none was idle; once for a run
  // of refusals, until a new connection is taken again.
  void OnClientRefused(std::function<void()> callback);
  // Called on the server thread, with no lock held, when it stops serving on an error it
  // cannot get past (poll failing, memory running out). The device is unplugged and its path
  // removed by then; Stop still ends the run.
  void OnFailed(std::function<void(const std::string& why)> callback);

 private:
  using UniqueFd = platform::posix::UniqueFd;
  // A request taken in but not yet handled (a slow fault): its connection reads nothing more
  // until it is, as a driver serves one handle's calls in order.
  struct Delayed {
    std::vector<std::uint8_t> bytes;
    bool oversize = false;
    std::chrono::steady_clock::time_point due;
  };
  struct Connection {
    UniqueFd fd;
    std::chrono::steady_clock::time_point lastActive;  // accepted, or its last request
    std::unique_ptr<Delayed> delayed;
  };

  void Run();  // the server thread: Loop behind a barrier no exception passes
  void Loop();
  void FailLocked();  // the server thread stops serving for good
  void ApplyPendingLocked();
  void QueueFault(std::uint32_t kind, unsigned calls, unsigned bytes);
  // False when out of descriptors: stop accepting for a moment. Counts the idle clients it
  // closed to stay within kMaxClients, and whether a run of refusals began.
  bool AcceptClients(unsigned& dropped, bool& refusing);
  bool ServeOne(Connection& client, short events);  // false when it should be closed
  // Handles one request and sends its reply; false when the connection should be closed.
  bool Answer(int fd, const std::uint8_t* request, std::size_t length, bool oversize,
              const tw_fault& fault);
  // Handles the delayed requests that are due; the milliseconds until the next one, or -1.
  int ServeDelayed();
  UniqueFd Listen();  // a new listening socket on the path; throws std::system_error
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
  tw_fault_queue faults_{};
  std::function<void(const Load&)> onLoad_;
  std::function<void()> onClientDropped_;
  std::function<void()> onClientRefused_;
  std::function<void(const std::string&)> onFailed_;
  bool failed_ = false;  // the server thread has stopped serving

  // Operations for the server thread: callers bump requestedOps_ and wait for appliedOps_.
  std::uint64_t requestedOps_ = 0;
  std::uint64_t appliedOps_ = 0;
  bool dropRequested_ = false;
  UniqueFd adoptListener_;

  // The socket file we bound, so we never remove another server's.
  bool boundPathKnown_ = false;
  std::uint64_t boundDevice_ = 0;
  std::uint64_t boundInode_ = 0;

  // Owned by the server thread while it runs, by the caller of Start/Stop otherwise.
  UniqueFd listener_;
  UniqueFd wake_;
  std::vector<Connection> clients_;
  bool refusing_ = false;  // refusing newcomers, and has said so
  // The request log's own writer: a log nobody reads must not hold up the device.
  std::unique_ptr<Console> log_;
  std::thread thread_;
};

}  // namespace tarnwick::sim
