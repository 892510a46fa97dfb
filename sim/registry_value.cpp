#include "registry_value.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "link/controller_link.hpp"
#include "platform/posix_registry.hpp"
#include "platform/unique_fd.hpp"

namespace tarnwick::sim {
namespace {

namespace posix = platform::posix;
using posix::UniqueFd;

// Every refusal names the value and why, as the daemon prints it: "cannot publish FILE: ...".
[[noreturn]] void Refuse(const std::string& valueFile, const std::string& why) {
  throw std::runtime_error("cannot publish " + valueFile + ": " + why);
}

[[noreturn]] void Fail(int error, const std::string& valueFile, const std::string& what) {
  throw std::system_error(error, std::generic_category(),
                          "cannot publish " + valueFile + ": " + what);
}

std::vector<std::string> ValueKeyDirectories() {
  std::vector<std::string> names;
  posix::KeyDirectories(platform::kHKeyLocalMachine, link::kRegistrySubkey, names);
  return names;
}

// Creates each missing directory of the registry root, which readers may reach through a
// link; the registry holds nothing for group or others.
void MakeRoot(const std::string& root, const std::string& valueFile) {
  for (std::size_t end = root.find('/', 1);; end = root.find('/', end + 1)) {
    const std::string prefix = root.substr(0, end);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      Fail(errno, valueFile, "cannot create " + prefix);
    }
    if (end == std::string::npos) return;
  }
}

// Readers would refuse the value under a level they distrust: saying so here beats a silent
// "no controller" there.
void RefuseIf(const char* distrust, const std::string& shown, const std::string& valueFile) {
  if (distrust != nullptr) {
    Refuse(valueFile, shown + " " + distrust + ", so the program would not read the value there");
  }
}

// One key level below parent, created if missing, never through a link.
UniqueFd OpenKey(int parent, const std::string& name, const std::string& shown,
                 const std::string& valueFile) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd key(::openat(parent, name.c_str(), kFlags));
  if (!key && errno == ENOENT) {
    if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
      Fail(errno, valueFile, "cannot create " + shown);
    }
    key.reset(::openat(parent, name.c_str(), kFlags));
  }
  if (!key) {
    const int error = errno;
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
      RefuseIf(posix::Distrust(info, true), shown, valueFile);
    }
    Fail(error, valueFile, "cannot open " + shown);
  }
  RefuseIf(posix::Distrust(key.get(), true), shown, valueFile);
  return key;
}

void WriteAll(int fd, const std::string& bytes, const std::string& valueFile) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      Fail(errno, valueFile, "cannot write it");
    }
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace

std::string DeviceNameFile(const std::string& root) {
  std::string file = root;
  for (const std::string& name : ValueKeyDirectories()) file += '/' + name;
  file += '/';
  file += link::kRegistryValueName;
  return file;
}

std::string PublishDeviceName(const std::string& root, const std::string& devicePath) {
  if (root.empty()) throw std::runtime_error("no registry root (set TARNWICK_REGISTRY or HOME)");
  const std::string valueFile = DeviceNameFile(root);
  MakeRoot(root, valueFile);
  std::string shown = root;
  UniqueFd key(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!key) Fail(errno, valueFile, "cannot open " + root);
  RefuseIf(posix::Distrust(key.get(), true), shown, valueFile);
  for (const std::string& name : ValueKeyDirectories()) {
    shown += '/' + name;
    key = OpenKey(key.get(), name, shown, valueFile);
  }

  // Written aside and renamed over the value, so a reader sees the old path or the new one.
  std::string temporary;
  UniqueFd file;
  for (unsigned attempt = 0; !file; ++attempt) {
    temporary = std::string(".") + link::kRegistryValueName + '.' + std::to_string(::getpid()) +
                '.' + std::to_string(attempt);
    file.reset(::openat(key.get(), temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file && (errno != EEXIST || attempt == 100)) {
      Fail(errno, valueFile, "cannot create a file in " + shown);
    }
  }
  try {
    WriteAll(file.get(), devicePath, valueFile);
    if (::close(file.release()) != 0 && errno != EINTR) Fail(errno, valueFile, "cannot write it");
    if (::renameat(key.get(), temporary.c_str(), key.get(), link::kRegistryValueName) != 0) {
      Fail(errno, valueFile, "cannot replace it");
    }
  } catch (...) {
    ::unlinkat(key.get(), temporary.c_str(), 0);
    throw;
  }
  return valueFile;
}

bool WithdrawDeviceName(const std::string& valueFile, const std::string& devicePath) {
  const UniqueFd fd(::open(valueFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;
  std::string held;
  std::array<char, 512> buffer{};
  // Reading one byte past our own path is enough to tell a longer one from it.
  while (held.size() <= devicePath.size()) {
    const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    held.append(buffer.data(), static_cast<std::size_t>(got));
  }
  if (held != devicePath) return false;
  return ::unlink(valueFile.c_str()) == 0;
}

std::string LiveDeviceName(const std::string& root, const std::string& devicePath) {
  std::ifstream value(DeviceNameFile(root), std::ios::binary);
  std::string published((std::istreambuf_iterator<char>(value)), std::istreambuf_iterator<char>());
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (published.empty() || published == devicePath || published.size() >= sizeof address.sun_path) {
    return {};
  }
  std::memcpy(address.sun_path, published.data(), published.size());
  const platform::posix::UniqueFd probe(
      ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!probe) return {};
  int result;
  do {
    result = ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  // A full backlog is a live server too.
  return result == 0 || errno == EAGAIN ? published : std::string();
}

}  // namespace tarnwick::sim
