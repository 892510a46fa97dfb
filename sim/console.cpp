#include "console.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

namespace tarnwick::sim {
namespace {

struct Line {
  int fd;
  std::string text;
};

// The bytes written before an error such as EPIPE or ENOSPC (in `error`), or all of them.
std::size_t WriteAll(int fd, const std::string& text, int& error) {
  const char* data = text.data();
  std::size_t left = text.size();
  error = 0;
  while (left != 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written > 0) {
      data += written;
      left -= static_cast<std::size_t>(written);
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Whoever started us may have handed over a non-blocking descriptor.
      pollfd polled{fd, POLLOUT, 0};
      ::poll(&polled, 1, -1);
    } else if (written == 0 || errno != EINTR) {
      error = written == 0 ? ENOSPC : errno;
      break;
    }
  }
  return text.size() - left;
}

}  // namespace

struct Console::Shared {
  Shared(int out, int err, std::string name, std::size_t capacity)
      : outFd(out), errFd(err), what(std::move(name)), queuedLines(capacity) {}
  Shared(platform::posix::UniqueFd fd, std::string name, std::size_t capacity,
         std::function<void(const std::string&)> onTrouble)
      : Shared(fd.get(), fd.get(), std::move(name), capacity) {
    owned = std::move(fd);
    trouble = std::move(onTrouble);
  }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;

  const int outFd;
  const int errFd;
  const std::string what;
  const std::size_t queuedLines;
  platform::posix::UniqueFd owned;  // outFd, when it is ours to close
  std::mutex mutex;
  std::condition_variable wake;  // lines queued, or closing
  std::condition_variable idle;  // everything queued has been written
  std::deque<Line> queue;
  std::uint64_t dropped = 0;
  bool writing = false;
  bool closing = false;
  // Writer thread only: lines lost to failed writes since the output last took one.
  std::function<void(const std::string&)> trouble;
  std::uint64_t lost = 0;
  int lostError = 0;

  // One run of whole lines to `fd`. On a failure the lines not wholly written are lost and
  // counted, and a part of one already in a file is cut off again.
  void WriteRun(int fd, const std::string& run) {
    if (fd == outFd && lost != 0) {
      const std::string told =
          std::to_string(lost) + " " + what + " lines lost: " + std::strerror(lostError) + "\n";
      int error = 0;
      if (WriteAll(fd, told, error) != told.size()) return Lose(fd, run, 0, error);
      lost = 0;
    }
    int error = 0;
    const std::size_t written = WriteAll(fd, run, error);
    if (written != run.size()) Lose(fd, run, written, error);
  }

  void Lose(int fd, const std::string& run, std::size_t written, int error) {
    const std::size_t whole = run.rfind('\n', written == 0 ? 0 : written - 1);
    const std::size_t kept = written == 0 || whole == std::string::npos ? 0 : whole + 1;
    struct stat st {};
    if (kept != written && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      static_cast<void>(::ftruncate(fd, st.st_size - static_cast<off_t>(written - kept)));
    }
    const auto lines = static_cast<std::uint64_t>(
        std::count(run.begin() + static_cast<std::ptrdiff_t>(kept), run.end(), '\n'));
    if (lost == 0 && trouble) {
      try {
        trouble("cannot write the " + what + " (" + std::strerror(error) +
                "): its lines are lost and counted until it takes them again");
      } catch (...) {
        // The device keeps working whatever an observer does.
      }
    }
    lost += lines;
    lostError = error;
  }

  void Write() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [this] { return !queue.empty() || closing; });
      if (queue.empty()) return;
      std::deque<Line> batch;
      batch.swap(queue);
      // Lines are only dropped while the queue is full, so the gap comes after this batch.
      if (dropped != 0) {
        batch.push_back({outFd, std::to_string(std::exchange(dropped, 0)) + " " + what +
                                    " lines dropped while the " + what + " was blocked\n"});
      }
      writing = true;
      lock.unlock();
      // One write per run of lines for the same stream keeps a busy console cheap.
      std::string run;
      for (std::size_t i = 0; i < batch.size(); ++i) {
        run += batch[i].text;
        if (i + 1 == batch.size() || batch[i + 1].fd != batch[i].fd) {
          WriteRun(batch[i].fd, run);
          run.clear();
        }
      }
      lock.lock();
      writing = false;
      if (queue.empty()) idle.notify_all();
    }
  }
};

Console::Console()
    : shared_(std::make_shared<Shared>(STDOUT_FILENO, STDERR_FILENO, "console", kQueuedLines)) {
  writer_ = std::thread([shared = shared_] { shared->Write(); });
}

Console::Console(platform::posix::UniqueFd fd, const std::string& what, std::size_t queuedLines,
                 std::function<void(const std::string&)> trouble)
    : shared_(std::make_shared<Shared>(std::move(fd), what, queuedLines, std::move(trouble))) {
  writer_ = std::thread([shared = shared_] { shared->Write(); });
}

Console::~Console() {
  Close(kClosePatience);
}

void Console::Out(const std::string& line) {
  Put(shared_->outFd, line);
}

void Console::Err(const std::string& line) {
  Put(shared_->errFd, line);
}

void Console::Put(int fd, const std::string& line) {
  std::lock_guard lock(shared_->mutex);
  if (shared_->closing) return;
  if (shared_->queue.size() >= shared_->queuedLines) {
    ++shared_->dropped;
    return;
  }
  shared_->queue.push_back({fd, line + '\n'});
  shared_->wake.notify_one();
}

void Console::Close(std::chrono::milliseconds patience) {
  if (!writer_.joinable()) return;
  std::unique_lock lock(shared_->mutex);
  shared_->closing = true;
  shared_->wake.notify_one();
  const bool drained = shared_->idle.wait_for(
      lock, patience, [this] { return shared_->queue.empty() && !shared_->writing; });
  lock.unlock();
  // A drained writer is on its way out; a stuck one ends with the process.
  if (drained) {
    writer_.join();
  } else {
    writer_.detach();
  }
}

}  // namespace tarnwick::sim
