#include "host.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "link/controller_link.hpp"

namespace tarnwick::app {

std::string RegistryLocation() {
  return std::string("HKEY_LOCAL_MACHINE\\") + link::kRegistrySubkey + link::kRegistryValueName;
}

bool BusyError(std::int32_t number) {
  return number == ERROR_BUSY;
}

bool RefusedError(std::int32_t) {
  return false;  // the driver has no limit of clients
}

std::string SessionLockDistrust() {
  return {};
}

std::string RegistryDistrust() {
  return {};
}

}  // namespace tarnwick::app
