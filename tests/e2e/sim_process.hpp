#pragma once
// A real tarnwick-sim process for end-to-end tests: its own registry root and socket in a
// private temporary directory, commands on its stdin, answers read from its stdout.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarnwick::testing {

struct SimStatus {
  bool plugged = false;
  int output = -1;
  long loads = -1;
  std::uint32_t serial = 0;
  long requests = -1;
};

class SimProcess {
 public:
  // Starts the simulator (the binary named by $TARNWICK_SIM) and points this process's
  // registry stand-in at it. Extra arguments go to the simulator.
  explicit SimProcess(std::vector<std::string> extraArgs = {});
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Sends one command line and returns its answer line ("ok ...", "error: ..." or "status ...").
  std::string Command(const std::string& line);
  SimStatus Status();
  // The first "loaded ..." lines printed (up to a thousand, so a soak does not grow them)
  // and the latest one.
  std::vector<std::string> Loads();
  std::string LastLoad();
  // Stops it as an operator would (quit) and returns its exit status.
  int Quit();

  const std::string& Directory() const { return dir_; }
  const std::string& SocketPath() const { return socket_; }
  pid_t Pid() const { return pid_; }
  const std::string& RegistryRoot() const { return registry_; }

 private:
  void Cleanup();
  // Drains the simulator's output all the time, so it never blocks on a full pipe.
  void Read();
  std::string NextLine(std::chrono::milliseconds timeout);

  std::string dir_;
  std::string registry_;
  std::string socket_;
  pid_t pid_ = -1;
  int toSim_ = -1;
  int fromSim_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::string> lines_;  // everything but the load lines
  std::vector<std::string> loads_;
  std::string lastLoad_;
  bool closed_ = false;
};

int OpenDescriptorCount();

}  // namespace tarnwick::testing
