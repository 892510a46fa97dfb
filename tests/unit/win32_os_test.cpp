// The Win32 seam on the real registry and device calls (under Wine on Linux machines). The
// tests own the value they write and remove it again.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "control/setpoint_write.hpp"
#include "link/controller_link.hpp"
#include "mark/setpoint_mark.hpp"

namespace tarnwick {
namespace {

class RegistryValue {
 public:
  explicit RegistryValue(const std::string& value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, link::kRegistrySubkey, 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
      throw std::runtime_error("cannot create the test key");
    }
    RegSetValueExA(key, link::kRegistryValueName, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
  }
  ~RegistryValue() { Remove(); }
  static void Remove() {
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, link::kRegistrySubkey, link::kRegistryValueName);
  }
};

struct Win32Link : ::testing::Test {
  std::string status;
  link::ControllerLink link{platform::SystemOs(), status};
  void SetUp() override { RegistryValue::Remove(); }
};

TEST_F(Win32Link, NoValueMeansNoController) {
  EXPECT_FALSE(link.OpenDevice());
  EXPECT_EQ(status, link::kNoControllerText);
  EXPECT_EQ(link.DeviceHandle(), 0);
  EXPECT_FALSE(link.CloseDevice());
}

TEST_F(Win32Link, OversizedValueIsNotRead) {
  RegistryValue value(std::string(255, 'x'));
  EXPECT_FALSE(link.OpenDevice());
  EXPECT_EQ(status, link::kNoControllerText);
}

TEST_F(Win32Link, PathThatWillNotOpenStillCountsAsFound) {
  RegistryValue value("\\\\.\\TarnwickNoSuchDevice");
  EXPECT_TRUE(link.OpenDevice());
  EXPECT_EQ(status, link::kNoControllerText);
  EXPECT_LE(link.DeviceHandle(), 0);
  EXPECT_FALSE(link.CloseDevice());
  EXPECT_EQ(link.DeviceHandle(), 0);
}

TEST_F(Win32Link, OpenDeviceThatRefusesTheControlCodeGivesZeroReplies) {
  // The null device opens but knows no controller: every transfer fails quietly.
  RegistryValue value("NUL");
  ASSERT_TRUE(link.OpenDevice());
  EXPECT_EQ(status, "");
  EXPECT_GT(link.DeviceHandle(), 0);
  link::ControllerPacket packet;
  packet.Command = 11;
  packet.SubCommand = 10;
  EXPECT_EQ(link.SendPacket(packet), link::ControllerReply{});
  EXPECT_EQ(packet.Target, 8);
  EXPECT_TRUE(link.CloseDevice());
  EXPECT_EQ(link.DeviceHandle(), 0);
}

// Another thread stands in for another program: the session lock belongs to a thread.
TEST_F(Win32Link, OneSessionAtATimeAndNoneOutlivesItsHolder) {
  RegistryValue value("NUL");
  const struct {
    const char* name;
    bool holderEnds;  // without closing, as a program that crashed
  } rows[] = {{"held", false}, {"holder ended", true}};
  for (const auto& row : rows) {
    std::string holderStatus;
    link::ControllerLink holder{platform::SystemOs(), holderStatus};
    const HANDLE opened = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread thread([&] {
      holder.OpenDevice();
      SetEvent(opened);
      if (row.holderEnds) return;
      WaitForSingleObject(done, INFINITE);
      holder.CloseDevice();
    });
    WaitForSingleObject(opened, INFINITE);
    ASSERT_GT(holder.DeviceHandle(), 0) << row.name;
    if (row.holderEnds) thread.join();
    EXPECT_TRUE(link.OpenDevice());
    const std::int32_t error = platform::SystemOs().lastError();
    EXPECT_EQ(link.DeviceHandle() > 0, row.holderEnds) << row.name;
    if (!row.holderEnds) {
      EXPECT_EQ(status, link::kNoControllerText);
      EXPECT_EQ(error, ERROR_BUSY);
    }
    link.CloseDevice();
    SetEvent(done);
    if (thread.joinable()) thread.join();
    EXPECT_TRUE(link.OpenDevice());  // free again
    EXPECT_EQ(status, "") << row.name;
    link.CloseDevice();
    CloseHandle(opened);
    CloseHandle(done);
  }
  // A second session on the thread holding one is refused, never let in by the recursive mutex.
  std::string nestedStatus;
  link::ControllerLink nested{platform::SystemOs(), nestedStatus};
  ASSERT_TRUE(link.OpenDevice());
  EXPECT_TRUE(nested.OpenDevice());
  EXPECT_EQ(platform::SystemOs().lastError(), ERROR_BUSY);
  EXPECT_EQ(nestedStatus, link::kNoControllerText);
  nested.CloseDevice();
  link.CloseDevice();
}

// Threads stand in for programs: a mutex belongs to a thread.
TEST(Win32Mark, OneHolderPerMachineNamedByItsKind) {
  using app::MarkReading;
  EXPECT_EQ(app::ReadMark().state, MarkReading::State::kFree);
  {
    const app::SetpointMark driver(app::Holder::kScriptDriver);
    ASSERT_TRUE(driver.Taken());
    EXPECT_EQ(app::ReadMark().holder, app::Holder::kScriptDriver);
    std::thread([] {
      const app::SetpointMark window(app::Holder::kWindow);
      EXPECT_FALSE(window.Taken());
      EXPECT_EQ(window.Refusal().state, MarkReading::State::kHeld);
      EXPECT_EQ(window.Refusal().holder, app::Holder::kScriptDriver);
    }).join();
    EXPECT_FALSE(app::SetpointMark(app::Holder::kServer).Taken());  // nor on its own thread
  }
  EXPECT_EQ(app::ReadMark().state, MarkReading::State::kFree);
  std::thread([] { EXPECT_TRUE(app::SetpointMark(app::Holder::kWindow).Taken()); }).join();
}

TEST(Win32Errors, ErrorTextComesFromTheSystem) {
  const std::string text = platform::SystemOs().errorText(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(link::OpenDeviceErrorText(5, text).rfind("OpenDevice() ERROR # 5 : ", 0), 0u);
}

}  // namespace
}  // namespace tarnwick
