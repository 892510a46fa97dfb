#pragma once
// tarnwick-sim's console and request log. The device must keep answering whatever its outputs
// do: a pipe nobody drains, or a terminal stopped with Ctrl+S, blocks every write to it. So
// lines go to a writer thread through a bounded queue and are never waited for; when the queue
// is full they are dropped and counted, and one line says how many once there is room again.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/unique_fd.hpp"

namespace tarnwick::sim {

class Console {
 public:
  static constexpr std::size_t kQueuedLines = 512;
  static constexpr std::chrono::milliseconds kClosePatience{500};

  Console();  // standard output and standard error
  // Every line to `fd`, closed once its writer is done with it; `what` names it in the line
  // that counts dropped lines. At most `queuedLines` wait for the writer. A write that fails
  // (a full disk) loses whole lines only, never part of one: they are counted, `trouble` is
  // told once when a run of failures begins (on the writer thread), and a line in `fd` says
  // how many were lost once it takes lines again.
  Console(platform::posix::UniqueFd fd, const std::string& what, std::size_t queuedLines,
          std::function<void(const std::string&)> trouble = {});
  ~Console();  // closes with kClosePatience
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Each line goes out whole, after every line queued before it. Never blocks for the console.
  void Out(const std::string& line);
  void Err(const std::string& line);

  // Waits at most `patience` for the queued lines to go out, then lets the writer be: one
  // stuck in a write nobody will ever read must not keep the process from ending. Lines given
  // after this are dropped.
  void Close(std::chrono::milliseconds patience);

 private:
  struct Shared;
  void Put(int fd, const std::string& line);

  std::shared_ptr<Shared> shared_;  // outlives us in a writer left stuck by Close
  std::thread writer_;
};

}  // namespace tarnwick::sim
