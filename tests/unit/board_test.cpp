// The board model behind the simulated controller: what each device-control call does to the
// converter and what the controller answers.

#include <gtest/gtest.h>

#include "unit/board_packets.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <utility>
#include <vector>

#include "board.h"

namespace {

using tarnwick::testing::Bytes;
using tarnwick::testing::kIdentify;
using tarnwick::testing::PortWrite;
constexpr std::uint32_t kSerial = 0x0A0B0C0Du;

struct Result {
  int ok;
  int loaded;
  Bytes reply;  // the bytes the board says it wrote
};

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override { tw_board_reset(&board, kSerial); }

  Result Control(const Bytes& in, std::uint32_t code = TW_CONTROL_CODE, std::size_t capacity = 8) {
    std::array<std::uint8_t, 16> out{};
    std::size_t length = 99;
    int loaded = 99;
    const int ok = tw_board_control(&board, code, in.data(), in.size(), out.data(), capacity,
                                    &length, &loaded);
    return {ok, loaded, Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(length))};
  }

  // The program's write, latch high, low, high; `transfers` cuts it short.
  void Write(unsigned counts, int transfers = 3) {
    const bool latches[] = {true, false, true};
    for (int i = 0; i < transfers; ++i) ASSERT_EQ(Control(PortWrite(counts, latches[i])).ok, 1);
  }

  tw_board board{};
};

TEST_F(BoardTest, LoadsOnlyOnTheLatchRisingEdge) {
  EXPECT_EQ(board.output, 0);  // power-up
  EXPECT_EQ(board.latch, 0);
  struct Step {
    unsigned counts;
    bool latch;
    int loaded;
    unsigned output;
  };
  const Step steps[] = {
      {100, false, 0, 0},     // data alone does nothing
      {100, true, 1, 100},    // low to high: load
      {200, true, 0, 100},    // staying high: none
      {300, false, 0, 100},   // high to low: none
      {2047, true, 1, 2047},  // all eleven bits
  };
  std::uint32_t loads = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.counts);
    const Result result = Control(PortWrite(step.counts, step.latch));
    EXPECT_EQ(result.ok, 1);
    EXPECT_EQ(result.loaded, step.loaded);
    loads += static_cast<std::uint32_t>(step.loaded);
    EXPECT_EQ(board.output, step.output);
    EXPECT_EQ(board.loads, loads);
    EXPECT_EQ(board.latch, step.latch ? 1 : 0);
  }
}

TEST_F(BoardTest, WriteCutAfterItsSecondTransferLeavesTheOldOutput) {
  Write(1000);
  const std::uint32_t loads = board.loads;
  Write(500, 2);
  EXPECT_EQ(board.output, 1000);
  EXPECT_EQ(board.loads, loads);
  Write(500);
  EXPECT_EQ(board.output, 500);
  EXPECT_EQ(board.loads, loads + 2);  // the cut left the latch low: two edges this time
}

TEST_F(BoardTest, RepliesEchoAWriteAndGiveTheSerialLeastSignificantByteFirst) {
  const Bytes write = PortWrite(0x5A3, true);
  EXPECT_EQ(Control(write).reply, write);
  const Result identify = Control(kIdentify, TW_CONTROL_CODE, 16);
  EXPECT_EQ(identify.ok, 1);
  EXPECT_EQ(identify.loaded, 0);
  EXPECT_EQ(identify.reply, (Bytes{0x0D, 0x0C, 0x0B, 0x0A, 0, 0, 0, 0}));
  EXPECT_EQ(board.output, 0x5A3);  // identify leaves the converter alone
  EXPECT_EQ(board.latch, 1);

  tw_board_reset(&board, 7);  // powers up again with only the serial given
  EXPECT_EQ(board.output, 0);
  EXPECT_EQ(board.loads, 0u);
  EXPECT_EQ(board.latch, 0);
  EXPECT_EQ(Control(kIdentify).reply, (Bytes{7, 0, 0, 0, 0, 0, 0, 0}));
}

struct Rejected {
  const char* why;
  std::uint32_t code;
  Bytes in;
  std::size_t capacity;
};
void PrintTo(const Rejected& c, std::ostream* out) {
  *out << c.why;
}

class BoardRejects : public BoardTest, public ::testing::WithParamInterface<Rejected> {};

TEST_P(BoardRejects, FailsWithoutTouchingTheBoard) {
  const Result result = Control(GetParam().in, GetParam().code, GetParam().capacity);
  EXPECT_EQ(result.ok, 0);
  EXPECT_EQ(result.loaded, 0);
  EXPECT_TRUE(result.reply.empty());
  EXPECT_EQ(board.output, 0);
  EXPECT_EQ(board.port_data, 0);
  EXPECT_EQ(board.latch, 0);
  EXPECT_EQ(board.loads, 0u);
}

// A port write that would load 1 if it were taken, with one byte changed.
Bytes Good(std::size_t index = 0, std::uint8_t value = 8) {
  Bytes in = PortWrite(1, true);
  in[index] = value;
  return in;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, BoardRejects,
    ::testing::Values(Rejected{"OtherCode", 0x00222024u, Good(), 8},
                      Rejected{"CodeHighBit", TW_CONTROL_CODE | 0x80000000u, Good(), 8},
                      Rejected{"NoInput", TW_CONTROL_CODE, {}, 8},
                      Rejected{"SevenBytes", TW_CONTROL_CODE, {8, 18, 10, 10, 1, 8, 0}, 8},
                      Rejected{"NineBytes", TW_CONTROL_CODE, {8, 18, 10, 10, 1, 8, 0, 0, 0}, 8},
                      Rejected{"NoCapacity", TW_CONTROL_CODE, Good(), 0},
                      Rejected{"SevenBytesOfCapacity", TW_CONTROL_CODE, Good(), 7},
                      Rejected{"OtherTarget", TW_CONTROL_CODE, Good(0, 9), 8},
                      Rejected{"OtherModel", TW_CONTROL_CODE, Good(1, 17), 8},
                      Rejected{"UnknownCommand", TW_CONTROL_CODE, Good(2, 12), 8},
                      Rejected{"OtherSubcommand", TW_CONTROL_CODE, Good(3, 11), 8},
                      Rejected{"ExtraLengthLow", TW_CONTROL_CODE, Good(6, 1), 8},
                      Rejected{"ExtraLengthHigh", TW_CONTROL_CODE, Good(7, 0x80), 8}),
    [](const ::testing::TestParamInfo<Rejected>& test) { return test.param.why; });

TEST(BoardControl, NullBuffersFailAndNullResultPointersAreAllowed) {
  tw_board board;
  tw_board_reset(&board, kSerial);
  const Bytes in = PortWrite(3, true);
  std::array<std::uint8_t, 8> out{};
  std::size_t length = 99;
  EXPECT_EQ(tw_board_control(&board, TW_CONTROL_CODE, nullptr, 8, out.data(), 8, &length, nullptr),
            0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(tw_board_control(&board, TW_CONTROL_CODE, in.data(), 8, nullptr, 8, nullptr, nullptr),
            0);
  EXPECT_EQ(board.loads, 0u);
  EXPECT_EQ(
      tw_board_control(&board, TW_CONTROL_CODE, in.data(), 8, out.data(), 8, nullptr, nullptr), 1);
  EXPECT_EQ(board.output, 3);
}

// Sixteen runs of different faults, then a different one is refused with nothing changed; a
// like fault still extends the last run, and a run never wraps past 2^32 calls.
TEST(FaultQueue, HoldsSixteenRunsAndNeverWrapsARun) {
  tw_fault_queue queue{};
  for (uint32_t i = 0; i < TW_FAULT_SLOTS; ++i) tw_faults_push(&queue, i % 2 + 1, 1, 0);
  EXPECT_EQ(tw_faults_push(&queue, TW_FAULT_HANG, 3, 0), 0);
  EXPECT_EQ(tw_faults_push(&queue, TW_FAULT_SHORT, 2, 0), 1);  // like the last
  EXPECT_EQ(tw_faults_pending(&queue, 0), TW_FAULT_SLOTS + 2);
  tw_faults_clear(&queue);
  tw_faults_push(&queue, TW_FAULT_SLOW, UINT32_MAX - 1, 40);
  tw_faults_push(&queue, TW_FAULT_SLOW, 5, 40);
  EXPECT_EQ(tw_faults_pending(&queue, TW_FAULT_SLOW), uint64_t{UINT32_MAX} + 4);
}

TEST(BoardControl, CountsToTenthsOfAMilliampRounded) {
  // counts * 1000 / 2047: 1 -> 0.49 -> 0, 2 -> 0.98 -> 1, 1000 -> 488.52 -> 489, 2046 -> 999.51
  const std::pair<std::uint16_t, std::uint32_t> table[] = {
      {0, 0}, {1, 0}, {2, 1}, {1000, 489}, {1023, 500}, {1024, 500}, {2046, 1000}, {2047, 1000}};
  for (const auto& [counts, tenths] : table)
    EXPECT_EQ(tw_counts_to_deci_ma(counts), tenths) << counts;
}

}  // namespace
