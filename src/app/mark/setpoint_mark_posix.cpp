#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "platform/posix_registry.hpp"
#include "platform/unique_fd.hpp"
#include "setpoint_mark.hpp"

namespace tarnwick::app {

using platform::posix::UniqueFd;

struct SetpointMark::Held {
  UniqueFd fd;
};

namespace {

constexpr char kMarkName[] = "window.lock";
constexpr int kKinds = 3;  // bytes 0 to 2 of the file, one per Holder

// Why a file (or, as key, a directory) there cannot be believed, in an operator's words.
std::string Why(const struct stat& st, bool key = false) {
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (key && !S_ISDIR(st.st_mode)) return "not a directory";
  if (!key && S_ISFIFO(st.st_mode)) return "a FIFO";
  if (!key && S_ISDIR(st.st_mode)) return "a directory";
  if (!key && !S_ISREG(st.st_mode)) return "not a regular file";
  if (platform::posix::DistrustOwner(st.st_uid) != nullptr) return "another user's";
  char mode[16];
  std::snprintf(mode, sizeof mode, "mode %04o", static_cast<unsigned>(st.st_mode & 07777));
  return mode;
}

MarkReading Unknown(std::string reason) {
  MarkReading reading;
  reading.state = MarkReading::State::kUnknown;
  reading.reason = std::move(reason);
  return reading;
}

// The mark, believed as the registry's keys and values are; an empty owner and the reason
// otherwise. Without create, a missing root or file is no reason: nothing ever held it.
UniqueFd OpenMark(bool create, std::string& reason) {
  const std::string root = platform::posix::RegistryRoot();
  if (root.empty()) {
    reason = "no registry root: neither TARNWICK_REGISTRY, XDG_RUNTIME_DIR nor HOME is set";
    return {};
  }
  if (create) ::mkdir(root.c_str(), 0700);  // as the simulator makes it; one that exists stays
  const UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd) {
    if (!create && errno == ENOENT) return {};
    reason = "the registry at " + root + " cannot be opened: " + std::strerror(errno);
    return {};
  }
  struct stat st {};
  if (::fstat(rootFd.get(), &st) != 0 || platform::posix::Distrust(st, true) != nullptr) {
    reason = "the registry at " + root + " is not trusted (" + Why(st, true) + ")";
    return {};
  }
  const std::string path = root + "/" + kMarkName;
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
  UniqueFd fd(::openat(rootFd.get(), kMarkName, flags, 0600));
  if (!fd) {
    const int error = errno;
    if (!create && error == ENOENT) return {};
    if (::fstatat(rootFd.get(), kMarkName, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        platform::posix::Distrust(st, false) != nullptr) {
      reason = "the window mark " + path +
               " is not a regular file of yours that others cannot write (" + Why(st) + ")";
    } else {
      reason = "the window mark " + path + " cannot be opened: " + std::strerror(error);
    }
    return {};
  }
  if (::fstat(fd.get(), &st) != 0 || platform::posix::Distrust(st, false) != nullptr) {
    reason = "the window mark " + path +
             " is not a regular file of yours that others cannot write (" + Why(st) + ")";
    return {};
  }
  return fd;
}

// The holder's kind and process, from the byte its read lock covers; takes no lock.
MarkReading Holding(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_len = kKinds;
  if (::fcntl(fd, F_GETLK, &lock) != 0) {
    return Unknown(std::string("the window mark cannot be read: ") + std::strerror(errno));
  }
  MarkReading reading;
  if (lock.l_type == F_UNLCK) return reading;
  reading.state = MarkReading::State::kHeld;
  if (lock.l_start > 0 && lock.l_start < kKinds) reading.holder = static_cast<Holder>(lock.l_start);
  reading.process = static_cast<long>(lock.l_pid);
  return reading;
}

}  // namespace

SetpointMark::SetpointMark(Holder holder) {
  try {
    std::string reason;
    UniqueFd fd = OpenMark(true, reason);
    if (!fd) {
      refusal_ = Unknown(reason);
      return;
    }
    // flock excludes every other holder; it works on a read-only descriptor, so a root-owned
    // tree whose mark root made 0644 beforehand still serves its users.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) {
        refusal_ =
            Unknown(std::string("the window mark cannot be locked: ") + std::strerror(errno));
        return;
      }
      // The holder names itself just after its flock: give it a moment to.
      for (int i = 0; i < 20; ++i) {
        refusal_ = Holding(fd.get());
        if (refusal_.state != MarkReading::State::kFree) break;
        ::usleep(10000);
      }
      if (refusal_.state == MarkReading::State::kFree) refusal_.state = MarkReading::State::kHeld;
      return;
    }
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = static_cast<off_t>(holder);
    lock.l_len = 1;
    if (::fcntl(fd.get(), F_SETLK, &lock) != 0) {
      refusal_ = Unknown(std::string("the window mark cannot be locked: ") + std::strerror(errno));
      return;
    }
    held_ = std::make_unique<Held>(Held{std::move(fd)});
  } catch (const std::bad_alloc&) {
    held_.reset();
    refusal_.state = MarkReading::State::kUnknown;
    refusal_.reason = "out of memory";
  }
}

SetpointMark::~SetpointMark() = default;

MarkReading ReadMark() {
  std::string reason;
  const UniqueFd fd = OpenMark(false, reason);
  if (!fd) return reason.empty() ? MarkReading{} : Unknown(reason);
  return Holding(fd.get());
}

}  // namespace tarnwick::app
