#include "platform/posix_os.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/posix_registry.hpp"
#include "platform/unique_fd.hpp"

namespace tarnwick::platform::posix {

namespace {

using namespace std::chrono_literals;

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;

bool Trusted(const struct stat& st, bool directory) {
  return Distrust(st, directory) == nullptr;
}

bool Trusted(int fd, bool directory) {
  struct stat st {};
  return fstat(fd, &st) == 0 && Trusted(st, directory);
}

constexpr int kNotAsSpelled = -2;

// The common case, every name spelled as on disk: each level is checked without opening it
// and the key is opened in one call. Only the tree's owner could swap a checked level for a
// link before the open, and the owner is trusted anyway. kNotAsSpelled sends the caller to
// the case-insensitive walk; -1 means refused.
int OpenSpelledKey(int baseFd, const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& name : names) {
    if (!path.empty()) path += '/';
    path += name;
    struct stat st {};
    if (fstatat(baseFd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return errno == ENOENT ? kNotAsSpelled : -1;
    }
    if (!Trusted(st, true)) return -1;
  }
  return openat(baseFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_DIRECTORY);
}

bool ValidComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

// Opens a name in a directory, matching it case-insensitively as the registry does.
// Returns an empty owner when there is no such entry or it cannot be opened.
UniqueFd OpenEntry(int dirFd, const std::string& name, int flags) {
  UniqueFd fd(openat(dirFd, name.c_str(), flags));
  if (fd || errno != ENOENT) return fd;
  std::string match;
  {
    UniqueFd scanFd(openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!scanFd) return fd;
    const std::unique_ptr<DIR, DirCloser> dir(fdopendir(scanFd.get()));
    if (dir == nullptr) return fd;
    scanFd.release();
    while (const dirent* entry = readdir(dir.get())) {
      if (strcasecmp(entry->d_name, name.c_str()) == 0) {
        match = entry->d_name;
        break;
      }
    }
  }
  if (match.empty()) return fd;
  return UniqueFd(openat(dirFd, match.c_str(), flags));
}

// Makes sure the descriptor is not 0, which the link treats as "not open". Keeps errno of a
// failed move for the caller.
UniqueFd AboveZero(UniqueFd fd) {
  if (fd.get() != 0) return fd;
  UniqueFd moved(fcntl(fd.get(), F_DUPFD_CLOEXEC, 1));
  const int error = errno;
  fd.reset();
  errno = error;
  return moved;
}

bool ResourceExhausted(int error) {
  return error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS;
}

// Takes the session lock within `wait`: 0 with the lock's descriptor in `lock`, else the error
// (EBUSY when another session held it all along). The file is trusted as a registry value is,
// so nobody else can hand us a lock they hold, and it is never followed through a link.
int TakeSessionLock(std::chrono::milliseconds wait, UniqueFd& lock) {
  const std::string base = RegistryRoot();
  if (base.empty()) return ENOENT;
  // The root is the one the registry read that found the device path has just checked; only
  // its owner could change it since. Read-only is enough for flock, and lets a tree's owner
  // share a lock file it made.
  lock = UniqueFd(open((base + '/' + kSessionLockFile).c_str(),
                       O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
  if (!lock) return errno;
  if (!Trusted(lock.get(), false)) return EACCES;
  // flock cannot wait with a bound, so ask again with growing pauses: short enough to follow
  // sessions well under a millisecond long, few enough to cost nothing while waiting (a long
  // wait, as under a crowd of programs, pauses longer).
  const auto deadline = std::chrono::steady_clock::now() + wait;
  const auto longest = std::clamp<std::chrono::microseconds>(wait / 20, 2ms, 10ms);
  auto pause = std::chrono::microseconds(100);
  for (;;) {
    if (flock(lock.get(), LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) return errno;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return EBUSY;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min<std::chrono::microseconds>(pause * 2, longest);
  }
}

void PutU32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFFu));
  }
}

}  // namespace

std::string RegistryRoot() {
  if (const char* root = std::getenv("TARNWICK_REGISTRY"); root != nullptr && *root != '\0') {
    return root;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime) {
    return std::string(runtime) + "/tarnwick-registry";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
    return std::string(home) + "/.tarnwick-registry";
  }
  if (const passwd* user = getpwuid(geteuid()); user != nullptr && user->pw_dir != nullptr) {
    return std::string(user->pw_dir) + "/.tarnwick-registry";
  }
  return {};
}

const char* RootKeyDirectory(RegKey root) {
  return root == kHKeyLocalMachine ? "HKEY_LOCAL_MACHINE" : nullptr;
}

bool KeyDirectories(RegKey root, std::string_view subkey, std::vector<std::string>& names) {
  names.clear();
  const char* rootName = RootKeyDirectory(root);
  if (rootName == nullptr) return false;
  names.emplace_back(rootName);
  while (!subkey.empty()) {
    const auto cut = subkey.find('\\');
    const std::string_view name = subkey.substr(0, cut);
    subkey = cut == std::string_view::npos ? std::string_view{} : subkey.substr(cut + 1);
    if (name.empty()) continue;
    if (!ValidComponent(name)) return false;
    names.emplace_back(name);
  }
  return true;
}

bool TrustedUser(uid_t uid) {
  static const uid_t user = geteuid();
  return uid == user || uid == 0;
}

const char* Distrust(const struct stat& st, bool key) {
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (key && !S_ISDIR(st.st_mode)) return "is not a directory";
  if (!key && !S_ISREG(st.st_mode)) return "is not a regular file";
  if (!TrustedUser(st.st_uid)) return "belongs to another user";
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
  return nullptr;
}

PosixOs::~PosixOs() {
  for (const int fd : keys_) close(fd);
  for (const auto& [device, lock] : devices_) {
    close(device);
    close(lock);
  }
}

bool PosixOs::Fail(int error) {
  lastError_ = error;
  return false;
}

Handle PosixOs::FailOpen(int error) {
  lastError_ = error;
  return kInvalidHandle;
}

std::int32_t PosixOs::regOpenKey(RegKey root, const std::string& subkey, std::uint32_t,
                                 std::uint32_t, RegKey& result) {
  result = 0;
  if (RootKeyDirectory(root) == nullptr) return kErrorInvalidHandle;
  std::vector<std::string> names;
  if (!KeyDirectories(root, subkey, names)) return kErrorAccessDenied;
  const std::string base = RegistryRoot();
  if (base.empty()) return kErrorFileNotFound;

  // The base may be reached through a link (TARNWICK_REGISTRY pointing anywhere); nothing
  // below it may.
  UniqueFd fd(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return kErrorFileNotFound;
  if (!Trusted(fd.get(), true)) return kErrorAccessDenied;
  if (const int key = OpenSpelledKey(fd.get(), names); key != kNotAsSpelled) {
    if (key < 0) return kErrorAccessDenied;
    return Remember(UniqueFd(key), result);
  }
  for (const std::string& name : names) {
    fd = OpenEntry(fd.get(), name, kOpenFlags | O_DIRECTORY);
    if (!fd) return kErrorFileNotFound;
    if (!Trusted(fd.get(), true)) return kErrorAccessDenied;
  }
  return Remember(std::move(fd), result);
}

std::int32_t PosixOs::Remember(UniqueFd keyFd, RegKey& result) {
  keyFd = AboveZero(std::move(keyFd));
  if (!keyFd) return kErrorFileNotFound;
  const std::lock_guard lock(mutex_);
  keys_.insert(keyFd.get());
  result = static_cast<RegKey>(keyFd.release());
  return kErrorSuccess;
}

std::int32_t PosixOs::regQueryValue(RegKey key, const std::string& valueName, std::uint32_t& type,
                                    std::uint8_t* data, std::uint32_t& size) {
  {
    const std::lock_guard lock(mutex_);
    if (key > static_cast<RegKey>(INT32_MAX) || keys_.count(static_cast<int>(key)) == 0) {
      return kErrorInvalidHandle;
    }
  }
  if (!ValidComponent(valueName)) return kErrorFileNotFound;
  const UniqueFd fd = OpenEntry(static_cast<int>(key), valueName, kOpenFlags);
  if (!fd) return kErrorFileNotFound;
  // A FIFO, device or link in place of a value must never block or be followed.
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !Trusted(st, false)) return kErrorAccessDenied;

  const auto length = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t needed = length + 1;  // a string value comes back with its NUL
  if (data == nullptr || needed > size) {
    size = needed > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(needed);
    return data == nullptr ? kErrorSuccess : kErrorMoreData;
  }
  std::uint64_t got = 0;
  while (got < length) {
    const ssize_t n = read(fd.get(), data + got, static_cast<std::size_t>(length - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the file shrank under us: take what is there
    got += static_cast<std::uint64_t>(n);
  }
  data[got] = 0;
  size = static_cast<std::uint32_t>(got + 1);
  type = kRegSz;
  return kErrorSuccess;
}

std::int32_t PosixOs::regCloseKey(RegKey key) {
  const std::lock_guard lock(mutex_);
  if (key > static_cast<RegKey>(INT32_MAX) || keys_.erase(static_cast<int>(key)) == 0) {
    return kErrorInvalidHandle;
  }
  close(static_cast<int>(key));
  return kErrorSuccess;
}

Handle PosixOs::createFile(const std::string& path, std::uint32_t, std::uint32_t, std::uint32_t,
                           std::uint32_t) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty()) return FailOpen(ENOENT);
  if (path.size() >= sizeof address.sun_path) return FailOpen(ENAMETOOLONG);
  std::memcpy(address.sun_path, path.data(), path.size());

  // The session is ours alone from here to closeHandle; nothing is sent without it.
  UniqueFd lock;
  if (const int error = TakeSessionLock(sessionWait_, lock); error != 0) {
    if (ResourceExhausted(error)) {
      lastError_ = error;
      throw std::system_error(error, std::system_category(), "session lock");
    }
    return FailOpen(error);
  }

  // Only ever a connect: a FIFO or a file at the path must not block or be written.
  UniqueFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (fd) fd = AboveZero(std::move(fd));
  if (!fd) {
    const int error = errno;
    if (ResourceExhausted(error)) {
      lastError_ = error;
      throw std::system_error(error, std::system_category(), "socket");
    }
    return FailOpen(error);
  }
  // The kernel bounds every wait on this socket, the connect to a full backlog included: a
  // driver that hangs costs a failed transfer, never a frozen window.
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(replyTimeout_).count();
  const timeval bound{static_cast<time_t>(micros / 1000000),
                      static_cast<suseconds_t>(micros % 1000000)};
  int rc = setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  if (rc == 0) rc = setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  if (rc == 0) {
    rc = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    // Interrupted, the connect goes on in the background; asked again it says so.
    while (rc != 0 && errno == EINTR) {
      rc = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
      if (rc != 0 && errno == EISCONN) rc = 0;
    }
  }
  if (rc != 0) return FailOpen(errno);
  // The device is trusted as the registry is: a driver another user serves could report any
  // serial and swallow every write.
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) != 0) return FailOpen(errno);
  if (!TrustedUser(peer.uid)) return FailOpen(EACCES);
  const std::lock_guard guard(mutex_);
  devices_.emplace(fd.get(), lock.get());
  lock.release();
  return fd.release();
}

bool PosixOs::deviceIoControl(Handle handle, std::uint32_t code, const std::uint8_t* in,
                              std::uint32_t inLength, std::uint8_t* out, std::uint32_t outLength,
                              std::uint32_t& bytesReturned) {
  bytesReturned = 0;
  {
    const std::lock_guard lock(mutex_);
    if (devices_.count(handle) == 0) return Fail(EBADF);
    if (broken_.count(handle) != 0) return Fail(EPIPE);
  }
  if (inLength > 0 && in == nullptr) return Fail(EFAULT);
  if (outLength > 0 && out == nullptr) return Fail(EFAULT);

  std::vector<std::uint8_t> request;
  request.reserve(8 + std::size_t{inLength});
  PutU32(request, code);
  PutU32(request, outLength);
  request.insert(request.end(), in, in + inLength);

  auto markBroken = [&](int error) {
    const std::lock_guard lock(mutex_);
    broken_.insert(handle);
    return Fail(error);
  };
  auto timedOut = [] { return errno == EAGAIN || errno == EWOULDBLOCK; };
  for (;;) {
    const ssize_t sent = send(handle, request.data(), request.size(), MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(request.size())) break;
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && timedOut()) return markBroken(ETIMEDOUT);
    return Fail(sent < 0 ? errno : EPROTO);
  }

  std::vector<std::uint8_t> reply(4 + std::size_t{outLength});
  for (;;) {
    iovec part{reply.data(), reply.size()};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t got = recvmsg(handle, &message, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && timedOut()) return markBroken(ETIMEDOUT);
    if (got < 0) return Fail(errno);
    if (got == 0) return Fail(ECONNRESET);  // the controller went away
    if (got < 4 || (message.msg_flags & MSG_TRUNC) != 0) return markBroken(EPROTO);
    const std::uint32_t result =
        static_cast<std::uint32_t>(reply[0]) | static_cast<std::uint32_t>(reply[1]) << 8 |
        static_cast<std::uint32_t>(reply[2]) << 16 | static_cast<std::uint32_t>(reply[3]) << 24;
    if (result == 0) return Fail(EIO);
    const auto written = static_cast<std::uint32_t>(got - 4);
    std::memcpy(out, reply.data() + 4, written);
    bytesReturned = written;
    return true;
  }
}

bool PosixOs::closeHandle(Handle handle) {
  const std::lock_guard guard(mutex_);
  // Only descriptors this layer opened: closing 0 or -1, or one it does not own, is refused.
  const auto device = devices_.find(handle);
  if (device == devices_.end()) return Fail(EBADF);
  const int sessionLock = device->second;
  devices_.erase(device);
  broken_.erase(handle);
  close(handle);
  close(sessionLock);  // after the device, so the next session never overlaps this connection
  return true;
}

std::string PosixOs::errorText(std::int32_t number) {
  return std::system_category().message(number);
}

std::int32_t PosixOs::outOfMemoryError() {
  return ENOMEM;
}

}  // namespace tarnwick::platform::posix

namespace tarnwick::platform {
namespace {
posix::PosixOs& System() {
  static posix::PosixOs os;
  return os;
}
}  // namespace

Os& SystemOs() {
  return System();
}

void SetSessionWait(std::chrono::milliseconds wait) {
  System().SetSessionWait(wait);
}
}  // namespace tarnwick::platform
