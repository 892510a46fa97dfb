#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <sddl.h>

#include <new>
#include <string>
#include <utility>

#include "setpoint_mark.hpp"
#include "ui/window_identity.hpp"

namespace tarnwick::app {

namespace {

// Machine-wide, every session's: the same access list as the device session's mutex, so a
// holder in one user's session is seen from every other.
constexpr char kMarkName[] = "Global\\TarnwickTest.SetpointHolder";
// One per kind, made by the holder once it has the mark and closed before it lets it go: its
// existence names the holder without anyone waiting on the mark.
constexpr const char* kKindNames[] = {"Global\\TarnwickTest.SetpointHolder.Window",
                                      "Global\\TarnwickTest.SetpointHolder.ScriptDriver",
                                      "Global\\TarnwickTest.SetpointHolder.Server"};

// A mutex is recursive for its owner: a second take on the same thread would succeed.
thread_local bool takenHere = false;

PSECURITY_DESCRIPTOR Descriptor() {
  static const PSECURITY_DESCRIPTOR descriptor = [] {
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;AU)", SDDL_REVISION_1, &made, nullptr)) {
      return PSECURITY_DESCRIPTOR{nullptr};
    }
    return made;
  }();
  return descriptor;
}

HANDLE MakeMutex(const char* name) {
  SECURITY_ATTRIBUTES attributes{sizeof attributes, Descriptor(), FALSE};
  return CreateMutexExA(attributes.lpSecurityDescriptor ? &attributes : nullptr, name, 0,
                        SYNCHRONIZE | MUTEX_MODIFY_STATE);
}

std::string ErrorText(DWORD error) {
  char buffer[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(error) : text;
}

MarkReading Unknown(std::string reason) {
  MarkReading reading;
  reading.state = MarkReading::State::kUnknown;
  reading.reason = std::move(reason);
  return reading;
}

}  // namespace

struct SetpointMark::Held {
  HANDLE mark = nullptr;
  HANDLE kind = nullptr;
  ~Held() {
    if (kind != nullptr) CloseHandle(kind);
    ReleaseMutex(mark);
    CloseHandle(mark);
    takenHere = false;
  }
};

SetpointMark::SetpointMark(Holder holder) {
  try {
    if (std::exchange(takenHere, true)) {
      refusal_.state = MarkReading::State::kHeld;
      refusal_.holder = holder;
      refusal_.process = static_cast<long>(GetCurrentProcessId());
      return;
    }
    const HANDLE mark = MakeMutex(kMarkName);
    if (mark == nullptr) {
      takenHere = false;
      refusal_ = Unknown(std::string("the mark ") + kMarkName +
                         " cannot be opened: " + ErrorText(GetLastError()));
      return;
    }
    const DWORD waited = WaitForSingleObject(mark, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
      CloseHandle(mark);
      takenHere = false;
      // The holder names its kind just after it takes the mark: give it a moment to.
      for (int i = 0; i < 20; ++i) {
        refusal_ = ReadMark();
        if (refusal_.state != MarkReading::State::kFree) break;
        Sleep(10);
      }
      if (refusal_.state == MarkReading::State::kFree) refusal_.state = MarkReading::State::kHeld;
      return;
    }
    held_ = std::make_unique<Held>();
    held_->mark = mark;
    held_->kind = MakeMutex(kKindNames[static_cast<int>(holder)]);
  } catch (const std::bad_alloc&) {
    held_.reset();
    refusal_.state = MarkReading::State::kUnknown;
    refusal_.reason = "out of memory";
  }
}

SetpointMark::~SetpointMark() = default;

MarkReading ReadMark() {
  for (int kind = 0; kind < 3; ++kind) {
    const HANDLE named = OpenMutexA(SYNCHRONIZE, FALSE, kKindNames[kind]);
    if (named == nullptr) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) continue;
      return Unknown(std::string("the mark ") + kKindNames[kind] +
                     " cannot be read: " + ErrorText(error));
    }
    CloseHandle(named);
    MarkReading reading;
    reading.state = MarkReading::State::kHeld;
    reading.holder = static_cast<Holder>(kind);
    if (reading.holder == Holder::kWindow) {
      // In this session only: by class, not title, since another program's window could
      // carry the title.
      if (const HWND window = FindWindowA(ui::kWindowClass, nullptr); window != nullptr) {
        DWORD id = 0;
        GetWindowThreadProcessId(window, &id);
        reading.process = static_cast<long>(id);
      }
    }
    return reading;
  }
  return {};
}

}  // namespace tarnwick::app
