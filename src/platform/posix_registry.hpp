#pragma once
// Where the POSIX registry stand-in lives; shared by the seam and by the simulated controller,
// which publishes its device path there.

#include <string>

#include "platform/os.hpp"

namespace tarnwick::platform::posix {

// TARNWICK_REGISTRY if set, else $XDG_RUNTIME_DIR/tarnwick-registry, else
// $HOME/.tarnwick-registry.
std::string RegistryRoot();

// The directory that stands for a root key, or nullptr for a root the stand-in does not know.
const char* RootKeyDirectory(RegKey root);

}  // namespace tarnwick::platform::posix
