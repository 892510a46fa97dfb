#include "window_running.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/posix_registry.hpp"
#include "platform/unique_fd.hpp"

namespace tarnwick::app {

namespace {

using platform::posix::UniqueFd;

// A file in the registry stand-in's root: a window marks the controller it writes to, so a
// window on another registry (another controller) is rightly not reported. Each window holds
// a read lock on it while it runs; the tool asks whether a write lock would conflict, which
// takes no lock, so it never keeps a starting window from marking itself. A lock ends with
// its process, however that ends.
constexpr char kMarkName[] = "window.lock";

// The root and the mark are believed as the registry's keys and values are.
UniqueFd OpenMark(bool create) {
  const std::string root = platform::posix::RegistryRoot();
  if (root.empty()) return {};
  if (create) ::mkdir(root.c_str(), 0700);  // as the simulator makes it; one that exists stays
  const UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  if (!rootFd || ::fstat(rootFd.get(), &st) != 0 || platform::posix::Distrust(st, true)) {
    return {};
  }
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
  UniqueFd fd(::openat(rootFd.get(), kMarkName, flags, 0600));
  if (!fd || ::fstat(fd.get(), &st) != 0 || platform::posix::Distrust(st, false)) return {};
  return fd;
}

struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

}  // namespace

WindowMark::WindowMark() {
  try {
    UniqueFd fd = OpenMark(true);
    struct flock lock = WholeFile(F_RDLCK);
    if (fd && ::fcntl(fd.get(), F_SETLK, &lock) == 0) fd_ = fd.release();
  } catch (...) {
    // Out of memory before the window even starts: it runs unmarked, as promised.
  }
}

WindowMark::~WindowMark() {
  if (fd_ >= 0) ::close(fd_);
}

bool WindowRunning(long& process) {
  process = 0;
  const UniqueFd fd = OpenMark(false);
  struct flock lock = WholeFile(F_WRLCK);
  if (!fd || ::fcntl(fd.get(), F_GETLK, &lock) != 0 || lock.l_type == F_UNLCK) return false;
  process = static_cast<long>(lock.l_pid);
  return true;
}

}  // namespace tarnwick::app
