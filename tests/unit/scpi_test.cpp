// The instrument's SCPI, one row per exchange: what a client sends (messages split at "\n"),
// all it is answered, and what reached the converter.
#include <gtest/gtest.h>

#include <string>

#include "scpi/instrument.hpp"

namespace tarnwick::scpi {
namespace {

enum class Board { kAnswers, kBusy, kGone };

class FakeDevice final : public Device {
 public:
  explicit FakeDevice(Board board) : board_(board) {}
  DeviceResult Write(int counts) override {
    if (board_ == Board::kBusy) return {kHardwareError, "in use"};
    if (board_ == Board::kGone) return {kHardwareMissing, "nothing registered"};
    writes.append(writes.empty() ? "" : " ").append(std::to_string(counts));
    return {};
  }
  std::optional<std::uint32_t> Serial() override {
    if (board_ == Board::kAnswers) return 305419896u;
    return std::nullopt;
  }
  std::string writes;

 private:
  Board board_;
};

struct Exchange {
  std::string sent;
  std::string answered;
  std::string written = "";
  Board board = Board::kAnswers;
};

void PrintTo(const Exchange& c, std::ostream* os) {
  *os << '"' << c.sent.substr(0, 60) << '"';
}

std::string Times(int n, const std::string& text) {
  std::string all;
  while (n-- > 0) all += text;
  return all;
}

const std::string kNone = "0,\"No error\"\n";

class Scpi : public ::testing::TestWithParam<Exchange> {};

TEST_P(Scpi, Exchange) {
  const Exchange& c = GetParam();
  FakeDevice device(c.board);
  Instrument instrument(device, "9.9");
  ClientState client;
  std::string answered;
  std::size_t start = 0;
  for (std::size_t end = 0; end != std::string::npos; start = end + 1) {
    end = c.sent.find('\n', start);
    answered += instrument.Execute(client, std::string_view(c.sent).substr(start, end - start));
  }
  EXPECT_EQ(answered, c.answered);
  EXPECT_EQ(device.writes, c.written);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Scpi,
    ::testing::Values(
        // IEEE 488.2 common commands.
        Exchange{"*IDN?", "Tarnwick,Tarnwick Test,305419896,9.9\n"},
        Exchange{"*idn?", "Tarnwick,Tarnwick Test,0,9.9\n", "", Board::kGone},
        Exchange{"*TST?;*TST?", "0;0\n"}, Exchange{"*TST?", "1\n", "", Board::kBusy},
        Exchange{"CURR 0.07\n*RST;CURR?", "0.000000E+00\n", "1433 0"},
        Exchange{"*OPC;*ESR?;*ESR?;*OPC?;*WAI", "1;0;1\n"},
        Exchange{"*ESE 36;*ESE?;*SRE 255;*SRE?", "36;191\n"},
        Exchange{"*ESE 32\nFOO\n*STB?;*ESR?;*STB?", "36;32;4\n"},
        Exchange{"*ESE 32;*SRE 32\nFOO\n*STB?", "100\n"}, Exchange{"*OPC;*STB?", "0\n"},
        Exchange{"FOO\n*CLS\n*ESR?;SYST:ERR:COUN?;*STB?", "0;0;0\n"},
        // The level in amps, its forms and bounds, rounded as the console tool rounds.
        Exchange{"CURR 0.05;SYST:ERR?", kNone, "1024"},
        Exchange{"curr 50mA\nCURR 50 MA\n:SOUR:CURR:LEV:IMM:AMPL +.05\nsource:current:level 5E-2",
                 "", "1024 1024 1024 1024"},
        Exchange{"CURR 50000uA;CURR?", "5.002443E-02\n", "1024"},
        Exchange{"CURR 0.1 A;CURR?;CURR:COUN?", "1.000000E-01;2047\n", "2047"},
        Exchange{"CURR MAX;CURR MIN;CURR DEF;CURR? MAX;CURR? min", "1.000000E-01;0.000000E+00\n",
                 "2047 0 0"},
        Exchange{"CURR 0.1001;SYST:ERR?;:CURR?", "-222,\"Data out of range\";0.000000E+00\n"},
        Exchange{"CURR -1mA;SYST:ERR?", "-222,\"Data out of range\"\n"},
        Exchange{"CURR 1e999;SYST:ERR?", "-222,\"Data out of range\"\n"},
        // The raw counts, and SCPI's path rule.
        Exchange{"CURR:COUN 1000;COUN?;:CURR?", "1000;4.885198E-02\n", "1000"},
        Exchange{"CURR:COUN 2047.5\nCURR:COUN 12.5;:SYST:ERR?", "-222,\"Data out of range\"\n",
                 "12"},
        Exchange{"CURR:COUN 5mA\nSYST:ERR?", "-131,\"Invalid suffix\"\n"},
        Exchange{"SYST:ERR:COUN?;NEXT?;:SYST:VERS?", "0;0,\"No error\";1999.0\n"},
        // Errors, each queued with SCPI's number, nothing written.
        Exchange{"FOO\nSYST:ERR?", "-113,\"Undefined header\"\n"},
        Exchange{"CURR:COUN\nSYST:ERR?\nSYST:ERR?", "-109,\"Missing parameter\"\n" + kNone},
        Exchange{"*IDN? 1\n*RST 0\nCURR 1,2\nCURR? MAX,MIN\nSYST:ERR:COUN?", "4\n"},
        Exchange{"CURR 0.0.5\nSYST:ERR?", "-121,\"Invalid character in number\"\n"},
        Exchange{"CURR .\nCURR 5e+\nSYST:ERR:COUN?", "2\n"},
        Exchange{"CURR 5 kA\nSYST:ERR?", "-131,\"Invalid suffix\"\n"},
        Exchange{"CURR \"5\"\nSYST:ERR?", "-104,\"Data type error\"\n"},
        Exchange{"*ESE MAX\nSYST:ERR?", "-104,\"Data type error\"\n"},
        Exchange{"CURR LOTS\nCURR? 5\nSYST:ERR?;ERR?",
                 "-224,\"Illegal parameter value\";-104,\"Data type error\"\n"},
        Exchange{"CURR$ 5\n?\n*\nCURR::LEV 1\nSYST:ERR:COUN?", "4\n"},
        Exchange{"*ESE 256\nSYST:ERR?", "-222,\"Data out of range\"\n"},
        Exchange{"CURR \"5;SYST:ERR?", ""},
        // A command error ends its message; an execution error does not.
        Exchange{"FOO;CURR 0.05\nCURR 1;CURR?", "0.000000E+00\n"},
        Exchange{"CURR?;FOO;CURR?", "0.000000E+00\n"},
        // The controller's failures: queued, never "No error"; the value is held anyway.
        Exchange{"CURR 0.05;SYST:ERR?;:CURR?;:SYST:ERR?",
                 "-240,\"Hardware error;in use\";5.002443E-02;" + kNone, "", Board::kBusy},
        Exchange{"CURR 0.05;SYST:ERR?", "-241,\"Hardware missing;nothing registered\"\n", "",
                 Board::kGone},
        // Sixteen errors at most; the newest becomes -350.
        Exchange{Times(20, "FOO\n") + "SYST:ERR:COUN?", "16\n"},
        Exchange{Times(17, "FOO\n") + Times(16, "SYST:ERR?\n") + "SYST:ERR?",
                 Times(15, "-113,\"Undefined header\"\n") + "-350,\"Queue overflow\"\n" + kNone},
        // Only queries answer; empty units and messages carry nothing.
        Exchange{"CURR 0.02;;\n\n  ", "", "409"}));

TEST(ScpiMessages, CutAtNewlinesAndBounded) {
  MessageBuffer buffer;
  std::string lines;
  int overruns = 0;
  const auto line = [&lines](std::string_view text) { lines += std::string(text) + "|"; };
  const auto overrun = [&overruns] { ++overruns; };
  for (const char c : std::string("*IDN?\r\nCURR 1\n\n")) buffer.Feed({&c, 1}, line, overrun);
  buffer.Feed(std::string(4096, 'x') + "\r\n" + std::string(4097, 'y') + "\nA", line, overrun);
  buffer.Feed(std::string(10000, 'z'), line, overrun);
  buffer.Feed(std::string(10000, 'z') + "\nB\n", line, overrun);
  EXPECT_EQ(lines, "*IDN?|CURR 1||" + std::string(4096, 'x') + "|B|");
  EXPECT_EQ(overruns, 2);
}

}  // namespace
}  // namespace tarnwick::scpi
