#pragma once
// Where the POSIX registry stand-in lives; shared by the seam and by the simulated controller,
// which publishes its device path there.

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/os.hpp"

namespace tarnwick::platform::posix {

// TARNWICK_REGISTRY if set, else $XDG_RUNTIME_DIR/tarnwick-registry, else
// $HOME/.tarnwick-registry.
std::string RegistryRoot();

// The machine-wide device session lock: a file in the registry root that every program holds
// (flock, exclusive) from a device's open to its close. Kept, never removed: a program that
// locked a removed file would hold a lock nobody else sees.
inline constexpr char kSessionLockFile[] = "device-session.lock";

// The directory that stands for a root key, or nullptr for a root the stand-in does not know.
const char* RootKeyDirectory(RegKey root);

// The directories, outermost first, that stand for subkey under root: root's own, then one
// for each name between backslashes (empty names skipped, as Windows does). False for a root
// the stand-in does not know or a name that would leave the tree.
bool KeyDirectories(RegKey root, std::string_view subkey, std::vector<std::string>& names);

// Whose keys, values and devices are believed: the user's own, or root's.
bool TrustedUser(uid_t uid);

// Why an entry of the tree cannot be believed (a key is a directory, a value a regular file;
// the lstat of a link says it is one), or nullptr when it can. Readers and the publisher
// apply this at every level, so a tree the program would refuse is never written either.
const char* Distrust(const struct stat& st, bool key);

}  // namespace tarnwick::platform::posix
