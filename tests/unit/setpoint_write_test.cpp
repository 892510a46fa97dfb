#include "control/setpoint_write.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

#include "unit/fake_os.hpp"

namespace tarnwick::control {
namespace {

using testing::FakeOs;
using testing::OpenCalls;

constexpr char kPath[] = "/run/twusbio";

class FakeWindow final : public SetpointWindow {
 public:
  std::string text = "0";
  std::string caption = "untouched";
  std::uint32_t colour = kColourGrey;
  bool throwOnRead = false;
  std::string SetpointText() const override {
    if (throwOnRead) throw std::runtime_error("window gone");
    return text;
  }
  void SetSerialCaption(const std::string& value) override { caption = value; }
  void SetSetpointColour(std::uint32_t value) override { colour = value; }
};

struct WriteFixture : ::testing::Test {
  FakeOs os;
  std::string status;
  link::ControllerLink link{os, status};
  FakeWindow window;
};

std::string WriteCall(int low, int high) {
  char line[100];
  std::snprintf(line, sizeof line,
                "DeviceIoControl(7, 00222028, [08 12 0A 0A %02X %02X 00 00], 8, out 8)", low, high);
  return line;
}

struct WriteCase {
  const char* text;
  int low;
  int high;  // without the latch
};

void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << '"' << c.text << '"';
}

class UpdateDacBytes : public ::testing::TestWithParam<WriteCase> {};

TEST_P(UpdateDacBytes, ExactCallsWithLatchHighLowHigh) {
  const WriteCase& c = GetParam();
  FakeOs os;
  os.deviceName = kPath;
  std::string status;
  link::ControllerLink link(os, status);
  FakeWindow window;
  window.text = c.text;

  UpdateDAC(link, window);

  std::vector<std::string> expected = OpenCalls(kPath);
  expected.push_back(WriteCall(c.low, c.high | 8));
  expected.push_back(WriteCall(c.low, c.high));
  expected.push_back(WriteCall(c.low, c.high | 8));
  expected.push_back("CloseHandle(7)");
  EXPECT_EQ(os.calls, expected);
  EXPECT_EQ(window.colour, kColourBlack);
  EXPECT_EQ(window.caption, "untouched");
  EXPECT_EQ(link.DeviceHandle(), 0);
}

INSTANTIATE_TEST_SUITE_P(Setpoints, UpdateDacBytes,
                         ::testing::Values(
                             // Whole numbers: the bytes the controller has always been sent.
                             WriteCase{"0", 0, 0}, WriteCase{"101", 101, 0},
                             WriteCase{"1000", 232, 3}, WriteCase{"2047", 255, 7},
                             WriteCase{"", 0, 0}, WriteCase{"256", 0, 1},
                             // Rounded once, halves to even, and both bytes from that one integer.
                             WriteCase{"12.7", 13, 0}, WriteCase{"255.5", 0, 1},
                             WriteCase{"1023.5", 0, 4}, WriteCase{"254.5", 254, 0},
                             WriteCase{"0.5", 0, 0}, WriteCase{"1.5", 2, 0},
                             WriteCase{"2046.5", 254, 7}, WriteCase{"767.5", 0, 3},
                             // Out of range never wraps into another current.
                             WriteCase{"2047.5", 255, 7}, WriteCase{"3000", 255, 7},
                             WriteCase{"-4", 0, 0}, WriteCase{"99999999999999999999999", 255, 7}));

TEST(SetpointBytes, EveryCountSplitsIntoItsOwnBytes) {
  for (int counts = 0; counts <= kFullScale; ++counts) {
    const ConverterBytes bytes = SetpointBytes(counts);
    ASSERT_EQ(bytes.low | bytes.high << 8, counts);
    ASSERT_LE(bytes.high, 7);
    // A value a hair off a whole number still lands on it.
    ASSERT_EQ(SetpointBytes(counts + 0.49).low, bytes.low);
    ASSERT_EQ(SetpointBytes(counts - 0.49 < 0 ? 0 : counts - 0.49).high, bytes.high);
  }
}

TEST_F(WriteFixture, NoRegistryPathShowsStatusAndSendsNothing) {
  UpdateDAC(link, window);
  EXPECT_EQ(window.caption, link::kNoControllerText);
  EXPECT_EQ(window.colour, kColourBlack);
  EXPECT_EQ(os.requests.size(), 0u);
  EXPECT_EQ(os.calls.size(), 3u);  // the registry read only: no close of a handle never opened
}

TEST_F(WriteFixture, DeviceThatWillNotOpenLeavesTheCaptionAndSendsNothing) {
  os.deviceName = kPath;
  os.openResult = -1;
  UpdateDAC(link, window);
  EXPECT_EQ(window.caption, "untouched");
  EXPECT_EQ(status, link::kNoControllerText);
  EXPECT_EQ(window.colour, kColourBlack);
  EXPECT_EQ(os.calls, OpenCalls(kPath));
  EXPECT_EQ(link.DeviceHandle(), 0);
}

TEST_F(WriteFixture, FailedTransferIsSkippedAndTheRestStillRuns) {
  os.deviceName = kPath;
  window.text = "1000";
  for (int failing = 0; failing < 3; ++failing) {
    os.calls.clear();
    os.requests.clear();
    os.failIoctlAt = failing;
    UpdateDAC(link, window);
    EXPECT_EQ(os.requests.size(), 3u) << failing;
    EXPECT_EQ(os.calls.back(), "CloseHandle(7)") << failing;
  }
}

TEST_F(WriteFixture, DeviceIsClosedEvenWhenTheWindowThrows) {
  os.deviceName = kPath;
  window.throwOnRead = true;
  EXPECT_THROW(UpdateDAC(link, window), std::runtime_error);
  EXPECT_EQ(os.calls.back(), "CloseHandle(7)");
  EXPECT_EQ(link.DeviceHandle(), 0);
}

}  // namespace
}  // namespace tarnwick::control
