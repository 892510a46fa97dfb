// The stand-in driver twusbio_sim.sys through the Win32 calls the program uses, on the edges
// the program itself never reaches: wrong codes and sizes, stale handles, faults, several
// threads at once. Needs the driver started in the Wine session, so wine_e2e_test.sh runs it;
// it leaves the controller plugged with the serial number it found.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "board.h"
#include "platform/little_endian.hpp"
#include "twsim_control.h"

namespace {

using Packet = std::array<std::uint8_t, 8>;

constexpr Packet kIdentify = {TW_TARGET, TW_MODEL, TW_CMD_IDENTIFY, TW_SUBCOMMAND, 0, 0, 0, 0};

Packet PortWrite(std::uint16_t counts, bool latch) {
  return {TW_TARGET,
          TW_MODEL,
          TW_CMD_PORT_WRITE,
          TW_SUBCOMMAND,
          static_cast<std::uint8_t>(counts & 0xFFu),
          static_cast<std::uint8_t>((counts >> 8) | (latch ? TW_LATCH_BIT : 0u)),
          0,
          0};
}

class Handle {
 public:
  explicit Handle(const char* path)
      : handle_(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr)),
        error_(handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0) {}
  ~Handle() {
    if (Valid()) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  DWORD OpenError() const { return error_; }
  HANDLE Get() const { return handle_; }

 private:
  HANDLE handle_;
  DWORD error_;
};

struct Call {
  bool ok = false;
  DWORD returned = 0;
  DWORD error = 0;
  std::array<std::uint8_t, 16> out{};
};

Call Control(const Handle& device, DWORD code, const void* in, DWORD inLength, DWORD outLength) {
  Call call;
  // Filled with a marker, so bytes the driver did not return stand out.
  call.out.fill(0xEE);
  call.ok = DeviceIoControl(device.Get(), code, const_cast<void*>(in), inLength, call.out.data(),
                            outLength, &call.returned, nullptr) != FALSE;
  call.error = call.ok ? 0 : GetLastError();
  return call;
}

Call Send(const Handle& device, const Packet& packet, DWORD outLength = 8) {
  return Control(device, TW_CONTROL_CODE, packet.data(), 8, outLength);
}

std::unique_ptr<twsim_state> Sim(std::uint32_t op, std::uint32_t arg1 = 0, std::uint32_t arg2 = 0) {
  Handle control(TWSIM_CONTROL_PATH);
  if (!control.Valid()) return nullptr;
  const twsim_request request{TWSIM_MAGIC, op, arg1, arg2};
  auto state = std::make_unique<twsim_state>();
  DWORD returned = 0;
  if (DeviceIoControl(control.Get(), TWSIM_CONTROL_CODE, const_cast<twsim_request*>(&request),
                      sizeof request, state.get(), sizeof *state, &returned, nullptr) == FALSE ||
      returned != sizeof *state) {
    return nullptr;
  }
  return state;
}

std::uint32_t SerialOf(const Call& call) {
  return tarnwick::platform::ReadU32(call.out.data());
}

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto state = Sim(TWSIM_OP_STATUS);
    ASSERT_NE(state, nullptr) << "the twusbio_sim driver is not started";
    serial_ = state->serial;
    if (state->plugged == 0) {
      ASSERT_EQ(Sim(TWSIM_OP_PLUG)->outcome, TWSIM_DONE);
    }
  }
  void TearDown() override {
    const auto state = Sim(TWSIM_OP_STATUS);
    ASSERT_NE(state, nullptr);
    ASSERT_EQ(state->pending_faults, 0u) << "a test left faults queued";
    if (state->plugged == 0) Sim(TWSIM_OP_PLUG);
    Sim(TWSIM_OP_SERIAL, serial_);
  }
  std::uint32_t serial_ = 0;
};

TEST_F(Driver, IdentifyRepliesWithTheSerialLittleEndian) {
  ASSERT_EQ(Sim(TWSIM_OP_SERIAL, 0xA1B2C3D4u)->outcome, TWSIM_DONE);
  Handle device(TWSIM_CONTROLLER_PATH);
  ASSERT_TRUE(device.Valid()) << device.OpenError();
  const Call call = Send(device, kIdentify);
  ASSERT_TRUE(call.ok) << call.error;
  EXPECT_EQ(call.returned, 8u);
  EXPECT_EQ(SerialOf(call), 0xA1B2C3D4u);
  for (std::size_t i = 4; i < 8; ++i) EXPECT_EQ(call.out[i], 0) << i;
}

TEST_F(Driver, ConverterLoadsOnTheLatchRisingEdgeOnly) {
  Handle device(TWSIM_CONTROLLER_PATH);
  ASSERT_TRUE(device.Valid());
  ASSERT_TRUE(Send(device, PortWrite(0, false)).ok);
  const std::uint32_t loads = Sim(TWSIM_OP_STATUS)->loads;
  const Call rising = Send(device, PortWrite(1234, true));
  ASSERT_TRUE(rising.ok);
  // A port write comes back as it went.
  const Packet sent = PortWrite(1234, true);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(rising.out[i], sent[i]) << i;
  auto state = Sim(TWSIM_OP_STATUS);
  EXPECT_EQ(state->output, 1234u);
  EXPECT_EQ(state->loads, loads + 1);
  // Latch held high: new data bits, no load.
  ASSERT_TRUE(Send(device, PortWrite(99, true)).ok);
  state = Sim(TWSIM_OP_STATUS);
  EXPECT_EQ(state->output, 1234u);
  EXPECT_EQ(state->loads, loads + 1);
}

TEST_F(Driver, WrongCodesAndSizesFailWithoutReachingTheBoard) {
  Handle device(TWSIM_CONTROLLER_PATH);
  ASSERT_TRUE(device.Valid());
  ASSERT_TRUE(Send(device, PortWrite(0, false)).ok);
  const Packet write = PortWrite(777, true);
  const std::uint32_t loads = Sim(TWSIM_OP_STATUS)->loads;

  const Call otherCode = Control(device, TW_CONTROL_CODE + 4u, write.data(), 8, 8);
  EXPECT_FALSE(otherCode.ok);
  EXPECT_EQ(otherCode.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_FALSE(Control(device, TWSIM_CONTROL_CODE, write.data(), 8, 8).ok);
  const Call shorter = Control(device, TW_CONTROL_CODE, write.data(), 7, 8);
  EXPECT_FALSE(shorter.ok);
  EXPECT_EQ(shorter.error, static_cast<DWORD>(ERROR_IO_DEVICE));
  const std::array<std::uint8_t, 9> longer = {write[0], write[1], write[2], write[3], write[4],
                                              write[5], write[6], write[7], 0};
  EXPECT_FALSE(Control(device, TW_CONTROL_CODE, longer.data(), 9, 16).ok);
  EXPECT_FALSE(Control(device, TW_CONTROL_CODE, write.data(), 8, 7).ok);
  Packet wrongTarget = write;
  wrongTarget[0] = TW_TARGET + 1;
  EXPECT_FALSE(Send(device, wrongTarget).ok);
  Packet extension = write;
  extension[6] = 1;
  EXPECT_FALSE(Send(device, extension).ok);
  auto state = Sim(TWSIM_OP_STATUS);
  EXPECT_EQ(state->loads, loads);
  EXPECT_NE(state->output, 777u);

  // A larger output buffer is fine: 8 bytes come back.
  const Call roomy = Send(device, write, 16);
  ASSERT_TRUE(roomy.ok);
  EXPECT_EQ(roomy.returned, 8u);
  EXPECT_EQ(Sim(TWSIM_OP_STATUS)->output, 777u);

  // The control device takes only its own code.
  Handle control(TWSIM_CONTROL_PATH);
  ASSERT_TRUE(control.Valid());
  EXPECT_FALSE(Control(control, TW_CONTROL_CODE, write.data(), 8, 8).ok);
}

TEST_F(Driver, EveryCallIsCountedAndLogged) {
  Handle device(TWSIM_CONTROLLER_PATH);
  ASSERT_TRUE(device.Valid());
  const std::uint64_t before = Sim(TWSIM_OP_STATUS)->requests;
  ASSERT_TRUE(Send(device, kIdentify).ok);
  EXPECT_FALSE(Control(device, TW_CONTROL_CODE, kIdentify.data(), 7, 8).ok);
  const auto state = Sim(TWSIM_OP_STATUS);
  EXPECT_EQ(state->requests, before + 2);
  ASSERT_GE(state->log_count, 2u);
  const twsim_log_entry& good = state->log[state->log_count - 2];
  const twsim_log_entry& bad = state->log[state->log_count - 1];
  EXPECT_EQ(good.code, TW_CONTROL_CODE);
  EXPECT_EQ(good.capacity, 8u);
  EXPECT_EQ(good.in_length, 8u);
  EXPECT_EQ(good.succeeded, 1u);
  EXPECT_EQ(good.reply_bytes, 8u);
  for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(good.bytes[i], kIdentify[i]) << i;
  EXPECT_EQ(bad.in_length, 7u);
  EXPECT_EQ(bad.succeeded, 0u);
  EXPECT_EQ(bad.reply_bytes, 0u);
}

TEST_F(Driver, UnplugLeavesOpenHandlesDeadEvenAfterThePlug) {
  Handle before(TWSIM_CONTROLLER_PATH);
  ASSERT_TRUE(before.Valid());
  ASSERT_TRUE(Send(before, PortWrite(0, false)).ok);
  ASSERT_TRUE(Send(before, PortWrite(500, true)).ok);
  ASSERT_EQ(Sim(TWSIM_OP_STATUS)->output, 500u);

  ASSERT_EQ(Sim(TWSIM_OP_UNPLUG)->outcome, TWSIM_DONE);
  EXPECT_EQ(Sim(TWSIM_OP_UNPLUG)->outcome, TWSIM_ALREADY);
  const std::uint64_t requests = Sim(TWSIM_OP_STATUS)->requests;
  Handle gone(TWSIM_CONTROLLER_PATH);
  EXPECT_FALSE(gone.Valid());
  EXPECT_EQ(gone.OpenError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(Send(before, kIdentify).ok);
  EXPECT_EQ(Sim(TWSIM_OP_STATUS)->requests, requests) << "an unplugged device saw a call";

  const auto plugged = Sim(TWSIM_OP_PLUG);
  ASSERT_EQ(plugged->outcome, TWSIM_DONE);
  EXPECT_EQ(plugged->output, 0u) << "the board did not power up afresh";
  EXPECT_EQ(plugged->loads, 0u);
  EXPECT_FALSE(Send(before, kIdentify).ok) << "a handle from before the unplug came back";
  Handle after(TWSIM_CONTROLLER_PATH);
  ASSERT_TRUE(after.Valid()) << after.OpenError();
  EXPECT_TRUE(Send(after, kIdentify).ok);
}

TEST_F(Driver, FaultsApplyToTheNextCallsInOrder) {
  ASSERT_EQ(Sim(TWSIM_OP_SERIAL, 0x11223344u)->outcome, TWSIM_DONE);
  Handle device(TWSIM_CONTROLLER_PATH);
  ASSERT_TRUE(device.Valid());
  ASSERT_EQ(Sim(TWSIM_OP_FAIL, 2)->outcome, TWSIM_DONE);
  ASSERT_EQ(Sim(TWSIM_OP_SHORT, 1, 3)->outcome, TWSIM_DONE);
  EXPECT_EQ(Sim(TWSIM_OP_STATUS)->pending_faults, 3u);
  EXPECT_EQ(Sim(TWSIM_OP_SHORT, 1, 8)->outcome, TWSIM_BAD_ARGUMENT);

  EXPECT_FALSE(Send(device, kIdentify).ok);
  EXPECT_FALSE(Send(device, kIdentify).ok);
  const Call cut = Send(device, kIdentify);
  ASSERT_TRUE(cut.ok);
  EXPECT_EQ(cut.returned, 3u);
  EXPECT_EQ(cut.out[0], 0x44);
  EXPECT_EQ(cut.out[2], 0x22);
  EXPECT_EQ(cut.out[3], 0xEE) << "a byte beyond the short reply was written";
  const Call whole = Send(device, kIdentify);
  ASSERT_TRUE(whole.ok);
  EXPECT_EQ(whole.returned, 8u);
  EXPECT_EQ(SerialOf(whole), 0x11223344u);

  // A failed port write never reaches the board.
  ASSERT_TRUE(Send(device, PortWrite(0, false)).ok);
  ASSERT_EQ(Sim(TWSIM_OP_FAIL, 1)->outcome, TWSIM_DONE);
  EXPECT_FALSE(Send(device, PortWrite(321, true)).ok);
  EXPECT_NE(Sim(TWSIM_OP_STATUS)->output, 321u);
}

TEST_F(Driver, CallsFromSeveralThreadsAreAllServed) {
  ASSERT_EQ(Sim(TWSIM_OP_SERIAL, 4242u)->outcome, TWSIM_DONE);
  const std::uint64_t before = Sim(TWSIM_OP_STATUS)->requests;
  constexpr int kThreads = 4;
  constexpr int kCalls = 200;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&wrong] {
      Handle device(TWSIM_CONTROLLER_PATH);
      for (int i = 0; i < kCalls; ++i) {
        const Call call = Send(device, kIdentify);
        if (!call.ok || call.returned != 8 || SerialOf(call) != 4242u) ++wrong;
      }
    });
  }
  // State reads interleave with the calls.
  for (int i = 0; i < 50; ++i) {
    if (Sim(TWSIM_OP_STATUS) == nullptr) ++wrong;
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(Sim(TWSIM_OP_STATUS)->requests, before + kThreads * kCalls);
}

TEST_F(Driver, ControlRequestsOfAnotherLayoutAreRefused) {
  Handle control(TWSIM_CONTROL_PATH);
  ASSERT_TRUE(control.Valid());
  twsim_request request{TWSIM_MAGIC + 1u, TWSIM_OP_STATUS, 0, 0};
  auto state = std::make_unique<twsim_state>();
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(control.Get(), TWSIM_CONTROL_CODE, &request, sizeof request,
                               state.get(), sizeof *state, &returned, nullptr));
  request.magic = TWSIM_MAGIC;
  EXPECT_FALSE(DeviceIoControl(control.Get(), TWSIM_CONTROL_CODE, &request, sizeof request,
                               state.get(), sizeof *state - 8, &returned, nullptr));
  request.op = 99;
  ASSERT_TRUE(DeviceIoControl(control.Get(), TWSIM_CONTROL_CODE, &request, sizeof request,
                              state.get(), sizeof *state, &returned, nullptr));
  EXPECT_EQ(state->outcome, TWSIM_BAD_ARGUMENT);
}

}  // namespace
