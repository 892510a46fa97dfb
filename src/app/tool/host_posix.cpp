#include "host.hpp"

#include <cerrno>
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

}  // namespace tarnwick::app
