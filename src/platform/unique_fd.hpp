#pragma once
// Sole owner of a POSIX descriptor: an exception (out of memory, say) between opening a
// descriptor and handing it on must not leak it.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <utility>

namespace tarnwick::platform::posix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// The descriptor moved off 0, which the link takes for "not open"; an empty owner, with errno
// of the failed move, when that cannot be done.
inline UniqueFd AboveZero(UniqueFd fd) {
  if (fd.get() != 0) return fd;
  UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 1));
  const int error = errno;
  fd.reset();
  errno = error;
  return moved;
}

}  // namespace tarnwick::platform::posix
