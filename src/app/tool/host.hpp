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

// Whether a transfer failed because the controller turned the connection away at its limit of
// clients, before it read anything.
bool RefusedError(std::int32_t number);

// Why the session lock is not trusted ("the session lock FILE is not a regular file of yours
// that others cannot write (mode 0666)"), or empty when it is. Empty on Windows, whose lock is
// a mutex.
std::string SessionLockDistrust();

// Why the registry the device path is read from is not trusted ("the registry at DIR is not
// trusted (mode 0777)"), or empty when it is or cannot be told. Empty on Windows.
std::string RegistryDistrust();

}  // namespace tarnwick::app
