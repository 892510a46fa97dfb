// The real link and POSIX stand-ins against a real tarnwick-sim process over real sockets.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "control/setpoint_write.hpp"
#include "e2e/sim_process.hpp"
#include "link/controller_link.hpp"
#include "platform/posix_os.hpp"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;
using control::UpdateDAC;
using testing::OpenDescriptorCount;
using testing::SimProcess;

class TextWindow final : public control::SetpointWindow {
 public:
  std::string text;
  std::string caption = "untouched";
  std::uint32_t colour = control::kColourGrey;
  std::string SetpointText() const override { return text; }
  void SetSerialCaption(const std::string& value) override { caption = value; }
  void SetSetpointColour(std::uint32_t value) override { colour = value; }
};

struct WriteE2E : ::testing::Test {
  SimProcess sim{{"--serial", "305419896"}};  // 0x12345678
  platform::posix::PosixOs os{500ms};
  std::string status;
  link::ControllerLink link{os, status};
  TextWindow window;

  void Write(const std::string& text) {
    window.text = text;
    UpdateDAC(link, window);
  }
  // One transfer on its own, as a sequence cut short would leave it.
  void SendPort(int counts, bool latch) {
    link::ControllerPacket packet;
    packet.Command = control::kCommandPortWrite;
    packet.SubCommand = control::kSubCommand;
    packet.LowByte = static_cast<std::uint8_t>(counts & 0xFF);
    packet.HighByte = static_cast<std::uint8_t>((counts >> 8) | (latch ? 8 : 0));
    link.SendPacket(packet);
  }
  link::ControllerReply Identify() {
    link::ControllerPacket packet;
    packet.Command = control::kCommandIdentify;
    packet.SubCommand = control::kSubCommand;
    return link.SendPacket(packet);
  }
};

TEST_F(WriteE2E, WholeNumbersLandOnTheConverterAndAreReported) {
  for (const int counts : {1000, 0, 1, 101, 255, 256, 1023, 1024, 2046, 2047}) {
    Write(std::to_string(counts));
    EXPECT_EQ(status, "");
    EXPECT_EQ(window.colour, control::kColourBlack);
    EXPECT_EQ(sim.Status().output, counts);
  }
  Write("1023.5");  // rounds to 1024, never to 768
  EXPECT_EQ(sim.Status().output, 1024);
  ASSERT_FALSE(sim.Loads().empty());
  EXPECT_EQ(sim.Loads().front(), "loaded 1000 counts = 48.9 mA");
  EXPECT_EQ(sim.LastLoad(), "loaded 1024 counts = 50.0 mA");
}

TEST_F(WriteE2E, SequenceCutAfterItsSecondTransferLeavesTheOldOutput) {
  Write("1000");
  ASSERT_EQ(sim.Status().output, 1000);
  ASSERT_TRUE(link.OpenDevice());
  SendPort(500, true);
  SendPort(500, false);
  link.CloseDevice();
  EXPECT_EQ(sim.Status().output, 1000);
  Write("500");
  EXPECT_EQ(sim.Status().output, 500);
}

TEST_F(WriteE2E, AnotherWriterCannotCutIntoASessionAndGoesThroughAfterIt) {
  Write("1000");
  ASSERT_TRUE(link.OpenDevice());
  SendPort(100, true);
  SendPort(100, false);
  // Another program's whole write, between our second and third transfers: with the latch
  // left high by it, our third would load nothing.
  platform::posix::PosixOs otherOs{500ms};
  std::string otherStatus;
  link::ControllerLink other{otherOs, otherStatus};
  TextWindow otherWindow;
  otherWindow.text = "900";
  UpdateDAC(other, otherWindow);
  EXPECT_EQ(otherStatus, link::kNoControllerText);
  EXPECT_EQ(otherOs.lastError(), EBUSY);
  SendPort(100, true);
  link.CloseDevice();
  EXPECT_EQ(sim.Status().output, 100);
  UpdateDAC(other, otherWindow);
  EXPECT_EQ(otherStatus, "");
  EXPECT_EQ(sim.Status().output, 900);
}

TEST_F(WriteE2E, SerialNumberIsReadLeastSignificantByteFirst) {
  ASSERT_TRUE(link.OpenDevice());
  EXPECT_EQ(Identify(), (link::ControllerReply{0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}));
  link.CloseDevice();
  EXPECT_EQ(sim.Command("serial 2147483648").rfind("ok", 0), 0u);
  ASSERT_TRUE(link.OpenDevice());
  EXPECT_EQ(Identify(), (link::ControllerReply{0, 0, 0, 0x80, 0, 0, 0, 0}));
  link.CloseDevice();
}

TEST_F(WriteE2E, UnplugAndPlugWhileWriting) {
  Write("700");
  ASSERT_EQ(sim.Command("unplug").rfind("ok", 0), 0u);
  window.caption = "untouched";
  Write("800");  // the path is still published, the device is gone
  EXPECT_EQ(status, link::kNoControllerText);
  EXPECT_EQ(window.caption, "untouched");
  EXPECT_EQ(window.colour, control::kColourBlack);
  EXPECT_FALSE(sim.Status().plugged);

  ASSERT_EQ(sim.Command("plug").rfind("ok", 0), 0u);
  EXPECT_EQ(sim.Status().output, 0);  // a controller plugged back in starts from power-up
  Write("800");
  EXPECT_EQ(status, "");
  EXPECT_EQ(sim.Status().output, 800);

  // Pulled between the transfers of one write: the rest fail, nothing hangs or stays open.
  const int descriptors = OpenDescriptorCount();
  ASSERT_TRUE(link.OpenDevice());
  SendPort(900, true);
  ASSERT_EQ(sim.Command("unplug").rfind("ok", 0), 0u);
  SendPort(900, false);
  SendPort(900, true);
  EXPECT_EQ(Identify(), link::ControllerReply{});
  link.CloseDevice();
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  ASSERT_EQ(sim.Command("plug").rfind("ok", 0), 0u);
  Write("900");
  EXPECT_EQ(sim.Status().output, 900);
}

struct FaultCase {
  const char* name;
  const char* command;   // armed just before the transfer at `atTransfer`
  int atTransfer;        // 0, 1 or 2 within the write
  bool expectNewOutput;  // whether the write still loads the converter
};

void PrintTo(const FaultCase& c, std::ostream* os) {
  *os << c.name;
}

class FaultE2E : public WriteE2E, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultE2E, FaultsWithinAWrite) {
  const FaultCase& c = GetParam();
  Write("1000");
  ASSERT_TRUE(link.OpenDevice());
  for (int transfer = 0; transfer < 3; ++transfer) {
    if (transfer == c.atTransfer) {
      ASSERT_EQ(sim.Command(c.command).rfind("ok", 0), 0u);
    }
    SendPort(1500, transfer != 1);
  }
  link.CloseDevice();
  EXPECT_EQ(sim.Status().output, c.expectNewOutput ? 1500 : 1000) << c.name;
  // The next write is whole again, once a hung request can no longer land.
  if (c.command[0] == 'h') std::this_thread::sleep_for(platform::posix::PosixOs::kLateReplyBound);
  Write("1200");
  EXPECT_EQ(sim.Status().output, 1200) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultE2E,
    ::testing::Values(
        // The latch was left high by the last write, so the first transfer is no edge.
        FaultCase{"FailFirst", "fail 1", 0, true}, FaultCase{"FailSecond", "fail 1", 1, false},
        FaultCase{"FailThird", "fail 1", 2, false}, FaultCase{"ShortThird", "short 1 2", 2, true},
        // A hung reply fails its transfer; the ones after it on that handle fail at once.
        FaultCase{"HangFirst", "hang 1", 0, false}, FaultCase{"HangThird", "hang 1", 2, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(WriteE2E, ShortIdentifyReplyKeepsOnlyTheBytesSent) {
  ASSERT_EQ(sim.Command("short 1 2").rfind("ok", 0), 0u);
  ASSERT_TRUE(link.OpenDevice());
  EXPECT_EQ(Identify(), (link::ControllerReply{0x78, 0x56, 0, 0, 0, 0, 0, 0}));
  link.CloseDevice();
}

TEST_F(WriteE2E, HungControllerNeverFreezesAWrite) {
  Write("100");
  ASSERT_EQ(sim.Command("hang 1").rfind("ok", 0), 0u);
  const auto start = std::chrono::steady_clock::now();
  Write("200");
  // Bounded by the reply timeout, not by the controller; generous for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
  EXPECT_EQ(sim.Status().output, 100);
  // The hung request may still land: the session is kept, and nothing goes out, until its bound.
  const long requests = sim.Status().requests;
  Write("200");
  EXPECT_EQ(os.lastError(), EBUSY);
  EXPECT_EQ(sim.Status().requests, requests);
  std::this_thread::sleep_for(platform::posix::PosixOs::kLateReplyBound);
  Write("200");
  EXPECT_EQ(sim.Status().output, 200);
}

TEST_F(WriteE2E, ThousandsOfRoundsLeaveNoDescriptorOpen) {
  const int before = OpenDescriptorCount();
  const long requestsBefore = sim.Status().requests;
  constexpr int kRounds = 2000;
  for (int round = 0; round < kRounds; ++round) {
    Write(std::to_string(round % 2048));
    if (round % 4 == 0) {
      ASSERT_TRUE(link.OpenDevice());
      Identify();
      link.CloseDevice();
    }
  }
  EXPECT_EQ(OpenDescriptorCount(), before);
  const testing::SimStatus after = sim.Status();
  EXPECT_EQ(after.output, (kRounds - 1) % 2048);
  EXPECT_EQ(after.requests - requestsBefore, kRounds * 3 + kRounds / 4);
}

TEST(SimE2E, LogsEveryRequestInHexAndCleansUpTheRegistryOnQuit) {
  char pattern[] = "/tmp/tw-log-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path log = std::filesystem::path(pattern) / "requests.log";
  std::filesystem::path value;
  {
    SimProcess sim({"--log", log.string()});
    value = std::filesystem::path(sim.RegistryRoot()) /
            "HKEY_LOCAL_MACHINE/System/CurrentControlSet/Services/Tarnwick/TWUSBIO/Parameters/"
            "DeviceName";
    std::ifstream published(value);
    std::string path;
    std::getline(published, path);
    EXPECT_EQ(path, sim.SocketPath());

    platform::posix::PosixOs os;
    std::string status;
    link::ControllerLink link(os, status);
    TextWindow window;
    window.text = "1000";
    UpdateDAC(link, window);
    EXPECT_EQ(sim.Quit(), 0);
    EXPECT_FALSE(std::filesystem::exists(value));
    EXPECT_FALSE(std::filesystem::exists(sim.SocketPath()));
  }
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("08 12 0a 0a e8 0b 00 00"), std::string::npos) << text.str();
  EXPECT_NE(text.str().find("08 12 0a 0a e8 03 00 00"), std::string::npos) << text.str();
  std::filesystem::remove_all(pattern);
}

}  // namespace
}  // namespace tarnwick
