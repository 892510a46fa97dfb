#pragma once
// Publishes the simulator's device path where the program looks for the controller: the
// DeviceName value under the driver's Parameters key in the POSIX registry stand-in.

#include <string>

namespace tarnwick::sim {

// The file that stands for the DeviceName value in the registry rooted at root.
std::string DeviceNameFile(const std::string& root);

// Writes devicePath as the DeviceName value and returns the value's file. Missing keys are
// created with mode 0700 and the value is replaced atomically, so a reader sees the old path
// or the new one, never half of one. Below the root each key is walked as the program reads
// it: no level may be a link, be another user's (not ours or root's) or be writable by group
// or others. Throws std::runtime_error for such a tree and std::system_error when the file
// system says no; either says "cannot publish FILE: why".
std::string PublishDeviceName(const std::string& root, const std::string& devicePath);

// The device path published in the registry rooted at root when something serves it and it
// is not devicePath: another simulator runs on this registry. Empty otherwise.
std::string LiveDeviceName(const std::string& root, const std::string& devicePath);

// Removes the value file, but only while it still holds devicePath: another simulator may have
// published its own path since. True when the file was removed.
bool WithdrawDeviceName(const std::string& valueFile, const std::string& devicePath);

}  // namespace tarnwick::sim
