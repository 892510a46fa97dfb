#include "e2e/sim_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tarnwick::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

int OpenDescriptorCount() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

SimProcess::SimProcess(std::vector<std::string> extraArgs) {
  const char* binary = std::getenv("TARNWICK_SIM");
  if (binary == nullptr) throw std::runtime_error("TARNWICK_SIM is not set");
  char pattern[] = "/tmp/tw-e2e-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  registry_ = dir_ + "/registry";
  socket_ = dir_ + "/controller.sock";
  setenv("TARNWICK_REGISTRY", registry_.c_str(), 1);

  std::vector<std::string> args{binary, "--socket", socket_};
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlive a crashed test
    dup2(in[0], 0);
    dup2(out[1], 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  toSim_ = in[1];
  fromSim_ = out[0];
  reader_ = std::thread([this] { Read(); });
  try {
    while (NextLine(10s) != "ready") {
    }
  } catch (...) {
    Cleanup();
    throw;
  }
}

SimProcess::~SimProcess() {
  Cleanup();
}

void SimProcess::Cleanup() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
  if (toSim_ >= 0) close(toSim_);
  toSim_ = -1;
  if (reader_.joinable()) reader_.join();  // ends at the closed pipe's end of file
  if (fromSim_ >= 0) close(fromSim_);
  fromSim_ = -1;
  unsetenv("TARNWICK_REGISTRY");
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void SimProcess::Read() {
  std::string pending;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fromSim_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    const std::lock_guard lock(mutex_);
    if (got <= 0) {
      closed_ = true;
      arrived_.notify_all();
      return;
    }
    pending.append(buffer, static_cast<std::size_t>(got));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.rfind("loaded ", 0) == 0) {
        if (loads_.size() < 1000) loads_.push_back(line);
        lastLoad_ = std::move(line);
      } else {
        lines_.push_back(std::move(line));
      }
    }
    arrived_.notify_all();
  }
}

std::string SimProcess::NextLine(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!arrived_.wait_for(lock, timeout, [this] { return !lines_.empty() || closed_; })) {
    throw std::runtime_error("tarnwick-sim said nothing in time");
  }
  if (lines_.empty()) throw std::runtime_error("tarnwick-sim closed its output");
  std::string line = std::move(lines_.front());
  lines_.pop_front();
  return line;
}

std::vector<std::string> SimProcess::Loads() {
  const std::lock_guard lock(mutex_);
  return loads_;
}

std::string SimProcess::LastLoad() {
  const std::lock_guard lock(mutex_);
  return lastLoad_;
}

std::string SimProcess::Command(const std::string& line) {
  const std::string text = line + "\n";
  if (write(toSim_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("cannot talk to tarnwick-sim");
  }
  for (;;) {
    std::string answer = NextLine(10s);
    if (answer.rfind("ok", 0) == 0 || answer.rfind("error:", 0) == 0 ||
        answer.rfind("status ", 0) == 0) {
      return answer;
    }
  }
}

SimStatus SimProcess::Status() {
  std::istringstream words(Command("status"));
  SimStatus status;
  std::string word;
  while (words >> word) {
    const auto eq = word.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = word.substr(0, eq);
    const std::string value = word.substr(eq + 1);
    if (key == "plugged") status.plugged = value == "1";
    if (key == "output") status.output = std::stoi(value);
    if (key == "loads") status.loads = std::stol(value);
    if (key == "serial") status.serial = static_cast<std::uint32_t>(std::stoul(value));
    if (key == "requests") status.requests = std::stol(value);
  }
  return status;
}

int SimProcess::Quit() {
  const std::string text = "quit\n";
  if (write(toSim_, text.data(), text.size()) < 0) return -1;
  int status = 0;
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(50ms);
  }
  return -1;
}

}  // namespace tarnwick::testing
