#include "registry_value.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "link/controller_link.hpp"
#include "platform/posix_registry.hpp"

namespace tarnwick::sim {
namespace {

std::system_error SystemError(int error, const std::string& what) {
  return std::system_error(error, std::generic_category(), what);
}

// Creates each missing directory of path; the registry holds nothing for group or others.
void MakeDirectories(const std::string& path) {
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0) {
      const int error = errno;
      struct stat info {};
      if (error != EEXIST || ::stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        throw SystemError(error == EEXIST ? ENOTDIR : error, "cannot create " + prefix);
      }
    }
    if (end == std::string::npos) return;
  }
}

void RequirePrivate(const std::string& directory) {
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0)
    throw SystemError(errno, "cannot inspect " + directory);
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw std::runtime_error(directory +
                             " is writable by group or others, so readers refuse the registry "
                             "there (chmod go-w it)");
  }
}

void WriteAll(int fd, const std::string& bytes, const std::string& name) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      throw SystemError(errno, "cannot write " + name);
    }
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace

std::string DeviceNameFile(const std::string& root) {
  std::string file = root;
  file += '/';
  file += platform::posix::RootKeyDirectory(platform::kHKeyLocalMachine);
  std::string component;
  for (const char c : std::string(link::kRegistrySubkey) + '\\') {
    if (c != '\\') {
      component += c;
    } else if (!component.empty()) {
      file += '/';
      file += component;
      component.clear();
    }
  }
  file += '/';
  file += link::kRegistryValueName;
  return file;
}

std::string PublishDeviceName(const std::string& root, const std::string& devicePath) {
  if (root.empty()) throw std::runtime_error("no registry root (set TARNWICK_REGISTRY or HOME)");
  MakeDirectories(root);
  const std::string valueFile = DeviceNameFile(root);
  const std::string directory = valueFile.substr(0, valueFile.rfind('/'));
  MakeDirectories(directory);
  // Readers refuse a key that others could write; saying so here beats a silent "no controller".
  for (std::string key = directory;; key = key.substr(0, key.rfind('/'))) {
    RequirePrivate(key);
    if (key.size() <= root.size()) break;
  }

  std::string temporary = directory + "/.DeviceName.XXXXXX";
  std::vector<char> name(temporary.begin(), temporary.end());
  name.push_back('\0');
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) throw SystemError(errno, "cannot create a file in " + directory);
  temporary = name.data();
  try {
    WriteAll(fd, devicePath, temporary);
  } catch (...) {
    ::close(fd);
    ::unlink(temporary.c_str());
    throw;
  }
  if (::close(fd) != 0 && errno != EINTR) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw SystemError(error, "cannot write " + temporary);
  }
  if (::rename(temporary.c_str(), valueFile.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw SystemError(error, "cannot replace " + valueFile);
  }
  return valueFile;
}

bool WithdrawDeviceName(const std::string& valueFile, const std::string& devicePath) {
  const int fd = ::open(valueFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  std::string held;
  std::array<char, 512> buffer{};
  // Reading one byte past our own path is enough to tell a longer one from it.
  while (held.size() <= devicePath.size()) {
    const ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    held.append(buffer.data(), static_cast<std::size_t>(got));
  }
  ::close(fd);
  if (held != devicePath) return false;
  return ::unlink(valueFile.c_str()) == 0;
}

}  // namespace tarnwick::sim
