#include "host.hpp"

#include <vector>

#include "link/controller_link.hpp"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>

#include "platform/posix_registry.hpp"
#endif

namespace tarnwick::app {

#ifdef _WIN32
std::string RegistryLocation() {
  return std::string("HKEY_LOCAL_MACHINE\\") + link::kRegistrySubkey + link::kRegistryValueName;
}

bool BusyError(std::int32_t number) {
  return number == ERROR_BUSY;
}
#else
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
#endif

}  // namespace tarnwick::app
