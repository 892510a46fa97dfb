#include "platform/posix_registry.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace tarnwick::platform::posix {
namespace {

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
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
    if (Distrust(st, true) != nullptr) return -1;
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

const char* DistrustOwner(uid_t uid) {
  static const uid_t user = geteuid();
  return uid == user || uid == 0 ? nullptr : "belongs to another user";
}

const char* Distrust(const struct stat& st, bool key) {
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (key && !S_ISDIR(st.st_mode)) return "is not a directory";
  if (!key && !S_ISREG(st.st_mode)) return "is not a regular file";
  if (const char* why = DistrustOwner(st.st_uid)) return why;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by group or others";
  return nullptr;
}

const char* Distrust(int fd, bool key) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return "cannot be inspected";
  return Distrust(st, key);
}

std::int32_t OpenKeyDirectory(RegKey root, std::string_view subkey, UniqueFd& key) {
  key.reset();
  if (RootKeyDirectory(root) == nullptr) return kErrorInvalidHandle;
  std::vector<std::string> names;
  if (!KeyDirectories(root, subkey, names)) return kErrorAccessDenied;
  const std::string base = RegistryRoot();
  if (base.empty()) return kErrorFileNotFound;

  // The base may be reached through a link (TARNWICK_REGISTRY pointing anywhere); nothing
  // below it may.
  UniqueFd fd(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return kErrorFileNotFound;
  if (Distrust(fd.get(), true) != nullptr) return kErrorAccessDenied;
  if (const int spelled = OpenSpelledKey(fd.get(), names); spelled != kNotAsSpelled) {
    if (spelled < 0) return kErrorAccessDenied;
    key.reset(spelled);
    return kErrorSuccess;
  }
  for (const std::string& name : names) {
    fd = OpenEntry(fd.get(), name, kOpenFlags | O_DIRECTORY);
    if (!fd) return kErrorFileNotFound;
    if (Distrust(fd.get(), true) != nullptr) return kErrorAccessDenied;
  }
  key = std::move(fd);
  return kErrorSuccess;
}

std::int32_t ReadStringValue(int key, const std::string& name, std::uint32_t& type,
                             std::uint8_t* data, std::uint32_t& size) {
  if (!ValidComponent(name)) return kErrorFileNotFound;
  const UniqueFd fd = OpenEntry(key, name, kOpenFlags);
  if (!fd) return kErrorFileNotFound;
  // A FIFO, device or link in place of a value must never block or be followed.
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || Distrust(st, false) != nullptr) return kErrorAccessDenied;

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

}  // namespace tarnwick::platform::posix
