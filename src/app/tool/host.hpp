#pragma once
// What the tool asks of the system it runs on, beyond the controller link.

#include <cstdint>
#include <string>

namespace tarnwick::app {

// Where the controller's device path is looked up: the registry value on Windows, the file
// that stands for it on POSIX.
std::string RegistryLocation();

// Whether an open failed because another program holds the controller's session.
bool BusyError(std::int32_t number);

}  // namespace tarnwick::app
