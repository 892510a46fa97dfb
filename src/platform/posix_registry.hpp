#pragma once
// The registry stand-in: a directory tree under a per-user root, each key a directory and each
// value a file. Shared by the seam, which reads it, and by the simulated controller, which
// publishes its device path there.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/os.hpp"
#include "platform/unique_fd.hpp"

namespace tarnwick::platform::posix {

// TARNWICK_REGISTRY if set, else $XDG_RUNTIME_DIR/tarnwick-registry, else
// $HOME/.tarnwick-registry.
std::string RegistryRoot();

// The device session lock, one per registry root (so per controller): a file in the root that
// every program holds (flock, exclusive) from a device's open to its close. Kept, never removed:
// a program that locked a removed file would hold a lock nobody else sees.
inline constexpr char kSessionLockFile[] = "device-session.lock";

// The directory that stands for a root key, or nullptr for a root the stand-in does not know.
const char* RootKeyDirectory(RegKey root);

// The directories, outermost first, that stand for subkey under root: root's own, then one
// for each name between backslashes (empty names skipped, as Windows does). False for a root
// the stand-in does not know or a name that would leave the tree.
bool KeyDirectories(RegKey root, std::string_view subkey, std::vector<std::string>& names);

// The trust rule. Why an entry of the tree, or the peer of a device socket, cannot be
// believed, or nullptr when it can: only the user's own or root's, never a link, a key a
// directory and a value a regular file, not writable by group or others. Readers and the
// publisher apply it at every level, so a tree the program would refuse is never written
// either. The lstat of a link says it is one.
const char* Distrust(const struct stat& st, bool key);
const char* Distrust(int fd, bool key);  // what fstat says; a failed fstat is distrusted
const char* DistrustOwner(uid_t uid);

// Opens the key subkey under root, each name matched case-insensitively as Windows does;
// a Windows error number, with the key's directory in `key` on success.
std::int32_t OpenKeyDirectory(RegKey root, std::string_view subkey, UniqueFd& key);

// Reads the value `name` of an open key as RegQueryValueEx reads a string value: the bytes
// and their NUL when they fit `size`, else the size they need and kErrorMoreData (or success
// for a null `data`, asking only the size).
std::int32_t ReadStringValue(int key, const std::string& name, std::uint32_t& type,
                             std::uint8_t* data, std::uint32_t& size);

}  // namespace tarnwick::platform::posix
