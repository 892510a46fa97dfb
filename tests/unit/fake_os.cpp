#include "unit/fake_os.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarnwick::testing {

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    char part[4];
    std::snprintf(part, sizeof part, "%02X", bytes[i]);
    if (i > 0) text += ' ';
    text += part;
  }
  return text;
}

std::int32_t FakeOs::regOpenKey(platform::RegKey root, const std::string& subkey,
                                std::uint32_t options, std::uint32_t access,
                                platform::RegKey& result) {
  char line[200];
  std::snprintf(line, sizeof line, "RegOpenKeyEx(%lX, %s, %u, %u)",
                static_cast<unsigned long>(root), subkey.c_str(), options, access);
  calls.emplace_back(line);
  result = keyExists ? kKey : 0;
  return keyExists ? platform::kErrorSuccess : platform::kErrorFileNotFound;
}

std::int32_t FakeOs::regQueryValue(platform::RegKey key, const std::string& valueName,
                                   std::uint32_t& type, std::uint8_t* data, std::uint32_t& size) {
  calls.push_back("RegQueryValueEx(" + std::to_string(key) + ", " + valueName + ", type " +
                  std::to_string(type) + ", size " + std::to_string(size) + ")");
  if (key != kKey || !deviceName) return platform::kErrorFileNotFound;
  const std::size_t needed = deviceName->size() + 1;
  if (needed > size) {
    size = static_cast<std::uint32_t>(needed);
    return platform::kErrorMoreData;
  }
  std::memcpy(data, deviceName->data(), deviceName->size());
  data[deviceName->size()] = 0;
  size = static_cast<std::uint32_t>(needed);
  type = platform::kRegSz;
  return platform::kErrorSuccess;
}

std::int32_t FakeOs::regCloseKey(platform::RegKey key) {
  calls.push_back("RegCloseKey(" + std::to_string(key) + ")");
  return key == kKey ? platform::kErrorSuccess : platform::kErrorInvalidHandle;
}

platform::Handle FakeOs::createFile(const std::string& path, std::uint32_t access,
                                    std::uint32_t share, std::uint32_t creation,
                                    std::uint32_t flags) {
  // Every byte the link passed, a NUL as \0, so nothing after a NUL can hide.
  std::string shown;
  for (const char c : path) shown += c == '\0' ? std::string("\\0") : std::string(1, c);
  char rest[80];
  std::snprintf(rest, sizeof rest, "\", %X, %u, %u, %u)", access, share, creation, flags);
  calls.push_back("CreateFile(\"" + shown + rest);
  if (onCreate) onCreate();
  if (openResult <= 0) lastError_ = createError;
  return openResult;
}

bool FakeOs::deviceIoControl(platform::Handle handle, std::uint32_t code, const std::uint8_t* in,
                             std::uint32_t inLength, std::uint8_t* out, std::uint32_t outLength,
                             std::uint32_t& bytesReturned) {
  char line[200];
  std::snprintf(line, sizeof line, "DeviceIoControl(%d, %08X, [%s], %u, out %u)", handle, code,
                Hex(in, inLength).c_str(), inLength, outLength);
  calls.emplace_back(line);
  requests.emplace_back(in, in + inLength);
  if (static_cast<int>(requests.size()) - 1 == failIoctlAt) {
    lastError_ = 31;
    return false;
  }
  const std::size_t written = std::min<std::size_t>(reply.size(), outLength);
  if (written > 0) std::memcpy(out, reply.data(), written);
  bytesReturned = static_cast<std::uint32_t>(written);
  return true;
}

bool FakeOs::closeHandle(platform::Handle handle) {
  calls.push_back("CloseHandle(" + std::to_string(handle) + ")");
  return closeResult;
}

std::string FakeOs::errorText(std::int32_t number) {
  return number == 24 ? "Too many open files" : "error " + std::to_string(number);
}

std::vector<std::string> OpenCalls(const std::string& path) {
  return {
      "RegOpenKeyEx(80000002, System\\CurrentControlSet\\Services\\Tarnwick\\TWUSBIO\\"
      "Parameters\\, 0, 1)",
      "RegQueryValueEx(" + std::to_string(FakeOs::kKey) + ", DeviceName, type 0, size 255)",
      "RegCloseKey(" + std::to_string(FakeOs::kKey) + ")",
      "CreateFile(\"" + path + "\", C0000000, 3, 3, 0)",
  };
}

}  // namespace tarnwick::testing
