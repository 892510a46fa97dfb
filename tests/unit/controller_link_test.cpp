#include "link/controller_link.hpp"

#include <gtest/gtest.h>

#include <new>
#include <system_error>

#include "unit/fake_os.hpp"

namespace tarnwick::link {
namespace {

using testing::FakeOs;
using testing::OpenCalls;

constexpr char kPath[] = "\\\\.\\TWUSBIO0";

struct LinkFixture : ::testing::Test {
  FakeOs os;
  std::string status = "stale";
  ControllerLink link{os, status};
};

using SendPacketTest = LinkFixture;

TEST_F(SendPacketTest, HandleNotOpenMakesNoCallAndLeavesThePacketAlone) {
  // 0 before any open; -1 after an open that failed.
  for (const platform::Handle openResult : {0, -1}) {
    os.calls.clear();
    if (openResult != 0) {
      os.deviceName = kPath;
      os.openResult = openResult;
      ASSERT_TRUE(link.OpenDevice());
      os.calls.clear();
    }
    ControllerPacket packet;
    packet.Target = 0x55;
    packet.Model = 0x66;
    packet.Command = 11;
    EXPECT_EQ(link.SendPacket(packet), ControllerReply{}) << openResult;
    EXPECT_EQ(packet.Target, 0x55);
    EXPECT_EQ(packet.Model, 0x66);
    EXPECT_TRUE(os.calls.empty()) << openResult;
  }
}

TEST_F(SendPacketTest, DriverSeesExactlyTheEightBytesAndTheCallerGetsTargetAndModel) {
  os.deviceName = kPath;
  ASSERT_TRUE(link.OpenDevice());
  os.calls.clear();
  os.reply = {0x39, 0x30, 0, 0, 9, 9, 9, 9};
  ControllerPacket packet;
  packet.Command = 10;
  packet.SubCommand = 10;
  packet.LowByte = 0xE8;
  packet.HighByte = 0x0B;
  const ControllerReply reply = link.SendPacket(packet);
  EXPECT_EQ(reply, (ControllerReply{0x39, 0x30, 0, 0, 9, 9, 9, 9}));
  EXPECT_EQ(packet.Target, 8);
  EXPECT_EQ(packet.Model, 18);
  ASSERT_EQ(os.calls.size(), 1u);
  EXPECT_EQ(os.calls[0], "DeviceIoControl(7, 00222028, [08 12 0A 0A E8 0B 00 00], 8, out 8)");
}

TEST_F(SendPacketTest, ShortAndFailedRepliesAreZeroFilled) {
  os.deviceName = kPath;
  ASSERT_TRUE(link.OpenDevice());
  ControllerPacket packet;
  os.reply = {1, 2, 3};
  EXPECT_EQ(link.SendPacket(packet), (ControllerReply{1, 2, 3, 0, 0, 0, 0, 0}));
  os.reply = {1, 2, 3, 4, 5, 6, 7, 8};
  os.failIoctlAt = 1;
  EXPECT_EQ(link.SendPacket(packet), ControllerReply{});
}

TEST_F(SendPacketTest, PacketClaimingExtensionBytesIsNeverSent) {
  os.deviceName = kPath;
  ASSERT_TRUE(link.OpenDevice());
  os.calls.clear();
  os.reply = {1, 2, 3, 4, 5, 6, 7, 8};
  for (const std::int16_t extra : std::array<std::int16_t, 6>{1, -1, -8, 32759, 32760, -32768}) {
    ControllerPacket packet;
    packet.ExtraLength = extra;
    EXPECT_EQ(link.SendPacket(packet), ControllerReply{}) << extra;
  }
  EXPECT_TRUE(os.calls.empty());
}

TEST(PacketLayout, SerializesLittleEndian) {
  ControllerPacket packet{1, 2, 3, 4, 5, 6, static_cast<std::int16_t>(-2)};
  EXPECT_EQ(Serialize(packet), (PacketBytes{1, 2, 3, 4, 5, 6, 0xFE, 0xFF}));
  packet.ExtraLength = 0x0102;
  EXPECT_EQ(Serialize(packet), (PacketBytes{1, 2, 3, 4, 5, 6, 0x02, 0x01}));
}

struct RegistryCase {
  const char* name;
  bool keyExists;
  std::optional<std::string> value;
  platform::Handle openResult;
  bool expectResult;
  const char* expectStatus;
  platform::Handle expectHandle;
  bool expectOpenCall;
};

void PrintTo(const RegistryCase& c, std::ostream* os) {
  *os << c.name;
}

class OpenDeviceTest : public ::testing::TestWithParam<RegistryCase> {};

TEST_P(OpenDeviceTest, ResultStatusHandleAndCalls) {
  const RegistryCase& c = GetParam();
  FakeOs os;
  os.keyExists = c.keyExists;
  os.deviceName = c.value;
  os.openResult = c.openResult;
  std::string status = "stale";
  ControllerLink link(os, status);

  EXPECT_EQ(link.OpenDevice(), c.expectResult);
  EXPECT_EQ(status, c.expectStatus);
  EXPECT_EQ(link.DeviceHandle(), c.expectHandle);

  std::vector<std::string> expected = OpenCalls(c.value ? *c.value : "");
  if (!c.keyExists) {
    expected[1] = "RegQueryValueEx(0, DeviceName, type 0, size 255)";
    expected[2] = "RegCloseKey(0)";
  }
  if (!c.expectOpenCall) expected.pop_back();
  EXPECT_EQ(os.calls, expected);

  // Whatever happened, the close leaves no handle, and only an open one reaches the platform.
  os.calls.clear();
  EXPECT_EQ(link.CloseDevice(), c.expectHandle > 0);
  EXPECT_EQ(link.DeviceHandle(), 0);
  if (c.expectHandle > 0) {
    EXPECT_EQ(os.calls, std::vector<std::string>{"CloseHandle(7)"});
  } else {
    EXPECT_TRUE(os.calls.empty());
  }
}

const std::string kLongest(254, 'p');  // 254 bytes and the NUL fill the 255-byte buffer
const std::string kOversized(255, 'p');

INSTANTIATE_TEST_SUITE_P(
    RegistrySituations, OpenDeviceTest,
    ::testing::Values(
        RegistryCase{"KeyAbsent", false, std::nullopt, 7, false, kNoControllerText, 0, false},
        RegistryCase{"ValueAbsent", true, std::nullopt, 7, false, kNoControllerText, 0, false},
        RegistryCase{"ValueEmpty", true, "", -1, true, kNoControllerText, -1, true},
        RegistryCase{"DeviceWontOpen", true, kPath, -1, true, kNoControllerText, -1, true},
        RegistryCase{"DeviceOpens", true, kPath, 7, true, "", 7, true},
        RegistryCase{"LongestPathFits", true, kLongest, 7, true, "", 7, true},
        RegistryCase{"Oversized", true, kOversized, 7, false, kNoControllerText, 0, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(LinkFixture, RegistryStringIsTheWholeBufferAsRead) {
  os.deviceName = "abc";
  const std::string text = link.ReadRegistryString(platform::kHKeyLocalMachine, "k", "v", "dflt");
  EXPECT_EQ(text, std::string("abc") + '\0' + std::string(251, ' '));
  os.deviceName.reset();
  EXPECT_EQ(link.ReadRegistryString(platform::kHKeyLocalMachine, "k", "v", "dflt"), "dflt");
}

TEST_F(LinkFixture, PathIsCutAtItsFirstNul) {
  os.deviceName = std::string("/run/dev") + '\0' + "junk";
  EXPECT_TRUE(link.OpenDevice());
  EXPECT_EQ(os.calls.back(), "CreateFile(\"/run/dev\", C0000000, 3, 3, 0)");
}

TEST_F(LinkFixture, UnexpectedFailureInsideOpenIsReportedWithNumberAndText) {
  os.deviceName = kPath;
  struct Case {
    std::function<void()> fail;
    const char* status;
  } cases[] = {
      {[] { throw std::system_error(24, std::system_category()); },
       "OpenDevice() ERROR # 24 : Too many open files"},
      {[] { throw std::bad_alloc(); }, "OpenDevice() ERROR # 8 : error 8"},
      {[] { throw std::system_error(-5, std::system_category()); },
       "OpenDevice() ERROR #-5 : error -5"},
  };
  for (const Case& c : cases) {
    os.onCreate = c.fail;
    EXPECT_FALSE(link.OpenDevice());
    EXPECT_EQ(status, c.status);
    EXPECT_LE(link.DeviceHandle(), 0);
  }
}

TEST(OpenDeviceErrorText, LeadingBlankOnlyWhenNotNegative) {
  EXPECT_EQ(OpenDeviceErrorText(5, "Access is denied."),
            "OpenDevice() ERROR # 5 : Access is denied.");
  EXPECT_EQ(OpenDeviceErrorText(0, "x"), "OpenDevice() ERROR # 0 : x");
  EXPECT_EQ(OpenDeviceErrorText(-2147483647 - 1, "x"), "OpenDevice() ERROR #-2147483648 : x");
}

}  // namespace
}  // namespace tarnwick::link
