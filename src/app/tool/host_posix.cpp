#include "host.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <vector>

#include "link/controller_link.hpp"
#include "platform/posix_registry.hpp"

namespace tarnwick::app {

std::string RegistryLocation() {
  std::string location = platform::posix::RegistryRoot();
  if (location.empty()) return "nowhere (set TARNWICK_REGISTRY, XDG_RUNTIME_DIR or HOME)";
  std::vector<std::string> names;
  platform::posix::KeyDirectories(platform::kHKeyLocalMachine, link::kRegistrySubkey, names);
  for (const std::string& name : names) location += '/' + name;
  return location + '/' + link::kRegistryValueName;
}

bool BusyError(std::int32_t number) {
  return number == EBUSY;
}

bool RefusedError(std::int32_t number) {
  return number == ECONNREFUSED;
}

namespace {

// What makes an entry of the registry untrusted, in the words an operator can check with ls.
std::string Why(const struct stat& st, bool key) {
  if (platform::posix::Distrust(st, key) == nullptr) return {};
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISDIR(st.st_mode) && !key) return "a directory";
  if (key ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) return "not a regular file";
  if (platform::posix::DistrustOwner(st.st_uid) != nullptr) {
    return "owned by user " + std::to_string(st.st_uid);
  }
  char mode[16];
  std::snprintf(mode, sizeof mode, "mode %04o", static_cast<unsigned>(st.st_mode & 07777));
  return mode;
}

}  // namespace

std::string SessionLockDistrust() {
  const std::string root = platform::posix::RegistryRoot();
  if (root.empty()) return {};
  const std::string file = root + '/' + platform::posix::kSessionLockFile;
  struct stat st {};
  if (lstat(file.c_str(), &st) != 0) return {};  // made when first needed
  const std::string why = Why(st, false);
  if (why.empty()) return {};
  return "the session lock " + file + " is not a regular file of yours that others cannot write (" +
         why + ")";
}

std::string RegistryDistrust() {
  std::string level = platform::posix::RegistryRoot();
  if (level.empty()) return {};
  std::vector<std::string> names;
  platform::posix::KeyDirectories(platform::kHKeyLocalMachine, link::kRegistrySubkey, names);
  names.emplace_back(link::kRegistryValueName);
  struct stat st {};
  // The root may be reached through a link; nothing below it may be one.
  if (stat(level.c_str(), &st) != 0) return {};
  for (std::size_t i = 0;; ++i) {
    const bool value = i == names.size();
    const std::string why = Why(st, !value);
    if (!why.empty()) return "the registry at " + level + " is not trusted (" + why + ")";
    if (value) return {};
    level += '/' + names[i];
    if (lstat(level.c_str(), &st) != 0) return {};  // absent, or spelled otherwise
  }
}

}  // namespace tarnwick::app
