#include "platform/posix_os.hpp"

#include <cerrno>
#include <system_error>

#include "platform/posix_registry.hpp"

namespace tarnwick::platform::posix {

thread_local std::int32_t PosixOs::lastError_ = 0;

bool PosixOs::Fail(int error) {
  lastError_ = error;
  return false;
}

Handle PosixOs::FailOpen(int error) {
  lastError_ = error;
  return kInvalidHandle;
}

std::int32_t PosixOs::regOpenKey(RegKey root, const std::string& subkey, std::uint32_t,
                                 std::uint32_t, RegKey& result) {
  result = 0;
  UniqueFd key;
  if (const std::int32_t error = OpenKeyDirectory(root, subkey, key); error != kErrorSuccess) {
    return error;
  }
  return AdoptKey(std::move(key), result);
}

std::int32_t PosixOs::AdoptKey(UniqueFd keyFd, RegKey& result) {
  keyFd = AboveZero(std::move(keyFd));
  if (!keyFd) return kErrorFileNotFound;
  const int fd = keyFd.get();
  const std::lock_guard lock(mutex_);
  keys_.emplace(fd, std::move(keyFd));
  result = static_cast<RegKey>(fd);
  return kErrorSuccess;
}

std::int32_t PosixOs::regQueryValue(RegKey key, const std::string& valueName, std::uint32_t& type,
                                    std::uint8_t* data, std::uint32_t& size) {
  {
    const std::lock_guard lock(mutex_);
    if (key > static_cast<RegKey>(INT32_MAX) || keys_.count(static_cast<int>(key)) == 0) {
      return kErrorInvalidHandle;
    }
  }
  return ReadStringValue(static_cast<int>(key), valueName, type, data, size);
}

std::int32_t PosixOs::regCloseKey(RegKey key) {
  const std::lock_guard lock(mutex_);
  if (key > static_cast<RegKey>(INT32_MAX) || keys_.erase(static_cast<int>(key)) == 0) {
    return kErrorInvalidHandle;
  }
  return kErrorSuccess;
}

std::string PosixOs::errorText(std::int32_t number) {
  return std::system_category().message(number);
}

std::int32_t PosixOs::outOfMemoryError() {
  return ENOMEM;
}

}  // namespace tarnwick::platform::posix

namespace tarnwick::platform {
namespace {
posix::PosixOs& System() {
  static posix::PosixOs os;
  return os;
}
}  // namespace

Os& SystemOs() {
  return System();
}

void SetSessionWait(std::chrono::milliseconds wait) {
  System().SetSessionWait(wait);
}
}  // namespace tarnwick::platform
