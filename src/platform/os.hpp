#pragma once
// The seam between the portable core and the operating system. Each call mirrors one
// platform call the controller link makes, so the link's algorithms can be checked call by
// call against a recording fake. Names start lower-case so they never meet the Windows
// headers' A/W macros (CreateFile, RegOpenKeyEx, ...).

#include <chrono>
#include <cstdint>
#include <string>

namespace tarnwick::platform {

using RegKey = std::uintptr_t;  // 0 means "no key"
using Handle = std::int32_t;    // greater than zero means open

inline constexpr RegKey kHKeyLocalMachine = 0x80000002u;
inline constexpr std::uint32_t kKeyQueryValue = 1;

inline constexpr std::uint32_t kGenericReadWrite = 0xC0000000u;
inline constexpr std::uint32_t kFileShareReadWrite = 3;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr Handle kInvalidHandle = -1;

inline constexpr std::uint32_t kRegSz = 1;

// Windows error numbers. The registry calls return them on both platforms (the POSIX stand-in
// too), so the link reads their results alike; lastError() is each platform's own number.
inline constexpr std::int32_t kErrorSuccess = 0;
inline constexpr std::int32_t kErrorFileNotFound = 2;
inline constexpr std::int32_t kErrorAccessDenied = 5;
inline constexpr std::int32_t kErrorInvalidHandle = 6;
inline constexpr std::int32_t kErrorMoreData = 234;

class Os {
 public:
  virtual ~Os() = default;

  // Registry: results are Windows error codes (0 on success).
  virtual std::int32_t regOpenKey(RegKey root, const std::string& subkey, std::uint32_t options,
                                  std::uint32_t access, RegKey& result) = 0;
  virtual std::int32_t regQueryValue(RegKey key, const std::string& valueName, std::uint32_t& type,
                                     std::uint8_t* data, std::uint32_t& size) = 0;
  virtual std::int32_t regCloseKey(RegKey key) = 0;

  // Device: createFile returns a handle, or a value not greater than zero on failure.
  // An exception from here means the platform itself is in trouble (out of descriptors,
  // out of memory), not that the device is absent.
  virtual Handle createFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                            std::uint32_t creation, std::uint32_t flags) = 0;
  virtual bool deviceIoControl(Handle handle, std::uint32_t code, const std::uint8_t* in,
                               std::uint32_t inLength, std::uint8_t* out, std::uint32_t outLength,
                               std::uint32_t& bytesReturned) = 0;
  virtual bool closeHandle(Handle handle) = 0;

  // The platform's error facility, in its own numbers: GetLastError()'s on Windows, errno on
  // POSIX, with the platform's text for each.
  virtual std::int32_t lastError() = 0;
  virtual std::string errorText(std::int32_t number) = 0;
  virtual std::int32_t outOfMemoryError() = 0;
};

// The implementation for the platform this program was built for.
Os& SystemOs();

// A device session (open to close) is exclusive machine-wide (on POSIX, per registry root, so per
// controller): createFile waits at most this long for another program's session to end, then fails
// busy with nothing sent. The default keeps a key press and a poll of the window within their
// bounds; a program that holds up no window (the console tool) may wait longer. Set it before the
// first open.
inline constexpr std::chrono::milliseconds kWindowSessionWait{40};
void SetSessionWait(std::chrono::milliseconds wait);

}  // namespace tarnwick::platform
