#include "ui/main_form.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "text/json_string.hpp"
#include "ui/renderings.hpp"
#include "ui/state_json.hpp"
#include "unit/fake_os.hpp"

namespace tarnwick::ui {
namespace {

using control::kColourBlack;
using control::kColourGrey;
using testing::FakeOs;
using text::JsonString;

constexpr char kPath[] = "/run/twusbio";

// The written set-points, one "low/high" pair per transfer, read from the recorded requests.
std::vector<std::string> Writes(const FakeOs& os) {
  std::vector<std::string> writes;
  for (const auto& request : os.requests) {
    if (request.size() == 8 && request[2] == 10) {
      writes.push_back(std::to_string(request[4]) + "/" + std::to_string(request[5]));
    }
  }
  return writes;
}

struct FormFixture : ::testing::Test {
  FakeOs os;
  MainForm form{os};
  int changes = 0;

  void SetUp() override {
    os.deviceName = kPath;
    os.reply = {0x39, 0x30, 0, 0, 0, 0, 0, 0};
    // Count the change handler's runs, nested ones included.
    form.txtCurrent.OnChange([this] {
      ++changes;
      form.txtCurrent_Change();
    });
  }
  void Paste(const std::string& text) { form.txtCurrent.Edit(text, text.size()); }
};

struct EntryCase {
  std::string pasted;
  std::string text;   // after the change handling
  std::string label;  // the milliamp label after it
  int counts;         // what the next write sends
};

void PrintTo(const EntryCase& c, std::ostream* out) {
  *out << '"' << c.pasted.substr(0, 30) << '"';
}

class EntryRules : public FormFixture, public ::testing::WithParamInterface<EntryCase> {};

TEST_P(EntryRules, NormalisesClampsGreysAndLabels) {
  const EntryCase& c = GetParam();
  form.Form_Load();
  ASSERT_EQ(form.txtCurrent.Colour(), kColourBlack);
  Paste(c.pasted);
  EXPECT_EQ(form.txtCurrent.Text(), c.text);
  EXPECT_EQ(form.lblMv.caption, c.label);
  EXPECT_EQ(form.txtCurrent.Colour(), kColourGrey);
  EXPECT_LE(changes, 4) << "the change handling must settle";
  EXPECT_EQ(form.txtCurrent.Caret(), form.txtCurrent.Text().size());
  // Running the change handling again leaves everything as it is.
  form.txtCurrent_Change();
  EXPECT_EQ(form.txtCurrent.Text(), c.text);
  EXPECT_EQ(form.lblMv.caption, c.label);
  // What is written is what is shown.
  os.requests.clear();
  form.UpdateDAC();
  const auto writes = Writes(os);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(writes[1], std::to_string(c.counts & 0xFF) + "/" + std::to_string(c.counts >> 8));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EntryRules,
    ::testing::Values(EntryCase{"007", "7", "0.3mA", 7}, EntryCase{"12abc", "12", "0.6mA", 12},
                      EntryCase{"abc", "0", "0.0mA", 0}, EntryCase{"-", "0", "0.0mA", 0},
                      EntryCase{" 5", " 5", "0.2mA", 5}, EntryCase{"5 ", "5 ", "0.2mA", 5},
                      EntryCase{"3000", "2047", "100.0mA", 2047}, EntryCase{"-4", "0", "0.0mA", 0},
                      EntryCase{"1024", "1024", "50.0mA", 1024}, EntryCase{"1", "1", "0.0mA", 1},
                      EntryCase{"101", "101", "4.9mA", 101}, EntryCase{".5", ".5", "0.0mA", 0},
                      EntryCase{"0.5", "0.5", "0.0mA", 0}, EntryCase{"12.70", "12.7", "0.6mA", 13},
                      EntryCase{"00.5", "0.5", "0.0mA", 0}, EntryCase{"-0", "0", "0.0mA", 0},
                      EntryCase{"1e3", "1", "0.0mA", 1}, EntryCase{"0x10", "0", "0.0mA", 0},
                      EntryCase{"2047.5", "2047", "100.0mA", 2047},
                      EntryCase{"2046.6", "2046.6", "100.0mA", 2047},
                      EntryCase{"1 0", "10", "0.5mA", 10}, EntryCase{"   ", "0", "0.0mA", 0},
                      EntryCase{"0.0000000000000000001", "0.0000000000000000001", "0.0mA", 0},
                      EntryCase{".0000000000000000001", ".0000000000000000001", "0.0mA", 0},
                      EntryCase{"1234.56789012345678", "1234.56789012346", "60.3mA", 1235},
                      EntryCase{std::string(400, '9'), "2047", "100.0mA", 2047},
                      EntryCase{"-" + std::string(400, '9'), "0", "0.0mA", 0},
                      EntryCase{" 0", " 0", "0.0mA", 0}));

TEST_F(FormFixture, EmptyTextStaysEmptyAndGreyWithTheLabelUnchanged) {
  form.Form_Load();
  Paste("1024");
  Paste("");
  EXPECT_EQ(form.txtCurrent.Text(), "");
  EXPECT_EQ(form.txtCurrent.Colour(), kColourGrey);
  EXPECT_EQ(form.lblMv.caption, "50.0mA");
  os.requests.clear();
  form.txtCurrent_KeyDown('5', 0);
  EXPECT_EQ(Writes(os), (std::vector<std::string>{"0/8", "0/0", "0/8"}));
}

TEST_F(FormFixture, IdenticalTextRaisesNoChange) {
  form.txtCurrent.SetText("0");
  Paste("0");
  EXPECT_EQ(changes, 0);
  Paste("0.5");  // replaced by the same text: one run only
  EXPECT_EQ(changes, 1);
  Paste("007");  // replaced once, which runs the handling again inside the first run
  EXPECT_EQ(changes, 3);
}

struct StepCase {
  std::string start;
  std::uint16_t key;
  std::string text;
  int counts;  // what the key's write sends
};

void PrintTo(const StepCase& c, std::ostream* out) {
  *out << c.start << " key " << c.key;
}

class StepKeys : public FormFixture, public ::testing::WithParamInterface<StepCase> {};

TEST_P(StepKeys, StepClampAndWriteTheClampedValue) {
  const StepCase& c = GetParam();
  form.txtCurrent.SetText(c.start);
  os.requests.clear();
  form.txtCurrent_KeyDown(c.key, 0);
  EXPECT_EQ(form.txtCurrent.Text(), c.text);
  EXPECT_EQ(form.txtCurrent.Colour(), kColourBlack);
  const std::string low = std::to_string(c.counts & 0xFF) + "/";
  const int high = c.counts >> 8;
  EXPECT_EQ(Writes(os),
            (std::vector<std::string>{low + std::to_string(high | 8), low + std::to_string(high),
                                      low + std::to_string(high | 8)}));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, StepKeys,
    ::testing::Values(StepCase{"100", kKeyUp, "101", 101}, StepCase{"2047", kKeyUp, "2047", 2047},
                      StepCase{"0", kKeyDown, "0", 0}, StepCase{"2040", kKeyPageUp, "2047", 2047},
                      StepCase{"5", kKeyPageDown, "0", 0}, StepCase{"1", kKeyDown, "0", 0},
                      StepCase{"2046", kKeyUp, "2047", 2047}, StepCase{"", kKeyUp, "1", 1},
                      StepCase{"12abc", kKeyUp, "13", 13}, StepCase{"0.5", kKeyUp, "1.5", 2},
                      StepCase{"1000", 'A', "1000", 1000}, StepCase{"1000", 37, "1000", 1000},
                      StepCase{"100", kKeyPageUp, "110", 110},
                      StepCase{"100", kKeyPageDown, "90", 90}));

TEST_F(FormFixture, RoadOfOneKeyPress) {
  form.txtCurrent.SetText("100");
  os.calls.clear();
  os.requests.clear();
  form.txtCurrent_KeyDown(kKeyUp, 0);
  EXPECT_EQ(form.txtCurrent.Text(), "101");
  EXPECT_EQ(form.lblMv.caption, "4.9mA");
  EXPECT_EQ(form.txtCurrent.Colour(), kColourBlack);
  EXPECT_EQ(Writes(os), (std::vector<std::string>{"101/8", "101/0", "101/8"}));
  EXPECT_EQ(os.calls.back(), "CloseHandle(7)");
}

TEST_F(FormFixture, DigitTypedAfterTenIsWrittenOnlyAtTheNextKeyOrPoll) {
  form.txtCurrent.SetText("10");
  form.Form_Load();
  // The next key: any key, Alt (with its own Alt bit) and F10 as well; or the poll.
  const struct {
    std::uint16_t key;
    int shift;
  } nextKeys[] = {{39, 0}, {18, 4}, {121, 0}, {0, -1}};
  for (const auto& next : nextKeys) {
    const bool byPoll = next.shift < 0;
    form.txtCurrent.SetText("10");
    form.UpdateDAC();
    os.requests.clear();
    form.txtCurrent_KeyDown('5', 0);  // runs before the key's own effect
    form.txtCurrent.Insert('5');
    EXPECT_EQ(form.txtCurrent.Text(), "105");
    EXPECT_EQ(form.txtCurrent.Colour(), kColourGrey);
    EXPECT_EQ(Writes(os), (std::vector<std::string>{"10/8", "10/0", "10/8"}));
    os.requests.clear();
    if (byPoll) {
      form.tmrSN_Timer();
    } else {
      form.txtCurrent_KeyDown(next.key, next.shift);
    }
    EXPECT_EQ(Writes(os), (std::vector<std::string>{"105/8", "105/0", "105/8"})) << next.key;
    EXPECT_EQ(form.txtCurrent.Colour(), kColourBlack);
  }
}

TEST_F(FormFixture, StartUpWithAndWithoutARegistryPath) {
  form.Form_Load();
  EXPECT_EQ(form.lblSerNum.caption, "");
  EXPECT_EQ(form.txtCurrent.Text(), "0");
  EXPECT_EQ(form.txtCurrent.Colour(), kColourBlack);
  EXPECT_EQ(form.lblMv.caption, "0mA");
  EXPECT_EQ(Writes(os), (std::vector<std::string>{"0/8", "0/0", "0/8"}));

  FakeOs bare;
  MainForm lonely(bare);
  lonely.Form_Load();
  EXPECT_EQ(lonely.lblSerNum.caption, link::kNoControllerText);
  EXPECT_EQ(lonely.lblMv.caption, "0mA");
  EXPECT_EQ(lonely.txtCurrent.Colour(), kColourBlack);
  lonely.tmrSN_Timer();
  EXPECT_EQ(lonely.lblSerNum.caption, "Serial Number: 0");
  EXPECT_TRUE(bare.requests.empty());
}

TEST_F(FormFixture, PollWritesTheCaptionOnlyWhenTheLineChanges) {
  form.Form_Load();
  form.tmrSN_Timer();
  EXPECT_EQ(form.lblSerNum.caption, "Serial Number: 12345");
  form.lblSerNum.caption = "something in between";
  os.requests.clear();
  form.tmrSN_Timer();
  EXPECT_EQ(form.lblSerNum.caption, "something in between");
  // One read, then the set-point again on every poll with the controller there.
  ASSERT_EQ(os.requests.size(), 4u);
  EXPECT_EQ(os.requests[0][2], 11);
  os.reply = {0x3A, 0x30, 0, 0};
  form.tmrSN_Timer();
  EXPECT_EQ(form.lblSerNum.caption, "Serial Number: 12346");
}

TEST_F(FormFixture, PollRewritesOnlyWhileTheControllerOpens) {
  form.Form_Load();
  os.openResult = -1;  // unplugged: the path stays, the device does not open
  os.requests.clear();
  form.tmrSN_Timer();
  EXPECT_EQ(form.lblSerNum.caption, "Serial Number: 0");
  EXPECT_EQ(form.StatusText(), link::kNoControllerText);
  EXPECT_TRUE(os.requests.empty());
  os.openResult = 7;  // back
  form.tmrSN_Timer();
  EXPECT_EQ(form.lblSerNum.caption, "Serial Number: 12345");
  EXPECT_EQ(Writes(os), (std::vector<std::string>{"0/8", "0/0", "0/8"}));
}

TEST_F(FormFixture, SerialNumberIsTheUnsignedValueOfItsFourBytes) {
  const struct {
    std::vector<std::uint8_t> reply;
    const char* line;
  } cases[] = {
      {{0x39, 0x30, 0, 0}, "Serial Number: 12345"},
      {{0, 0x80, 0, 0}, "Serial Number: 32768"},
      {{0, 0, 0, 1}, "Serial Number: 16777216"},
      {{0, 0, 0, 0x80}, "Serial Number: 2147483648"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 9, 9, 9, 9}, "Serial Number: 4294967295"},
      {{0x01}, "Serial Number: 1"},  // a short reply: the rest reads as zeros
  };
  for (const auto& c : cases) {
    os.reply = c.reply;
    form.tmrSN_Timer();
    EXPECT_EQ(form.lblSerNum.caption, c.line);
  }
}

TEST_F(FormFixture, ExitAsksTheBindingToClose) {
  int closed = 0;
  form.OnExit([&] { ++closed; });
  os.calls.clear();
  form.cmdExit_Click();
  EXPECT_EQ(closed, 1);
  EXPECT_TRUE(form.ExitRequested());
  EXPECT_TRUE(os.calls.empty());  // no device traffic on the way out
}

TEST_F(FormFixture, AFailureEscapingAHandlerStopsTheFormWithOneMessage) {
  const struct {
    std::function<void()> fail;
    const char* message;
  } cases[] = {
      {[] { throw std::bad_alloc(); },
       "Tarnwick Test must close: out of memory. The board keeps the value last written to it."},
      {[] { throw std::runtime_error("torn"); },
       "Tarnwick Test must close: torn. The board keeps the value last written to it."},
  };
  for (const auto& c : cases) {
    FakeOs fresh;
    fresh.deviceName = kPath;
    MainForm stopped(fresh);
    std::vector<std::string> messages;
    stopped.OnFailure([&](const char* message) { messages.emplace_back(message); });
    stopped.RunEvent([&] {
      stopped.UpdateDAC();
      c.fail();
    });
    EXPECT_EQ(messages, std::vector<std::string>{c.message});
    EXPECT_TRUE(stopped.Stopped());
    EXPECT_EQ(stopped.Link().DeviceHandle(), 0);  // closed on the way out
    const std::size_t calls = fresh.calls.size();
    stopped.RunEvent([&] { stopped.tmrSN_Timer(); });
    EXPECT_EQ(fresh.calls.size(), calls);  // no handler, so no device traffic, after it
    EXPECT_EQ(messages.size(), 1u);
  }
}

TEST(Renderings, CompactAndFull) {
  const struct {
    double value;
    const char* compact;
    const char* full;
  } cases[] = {
      {0.5, ".5", "0.5"},
      {-0.25, "-.25", "-0.25"},
      {2047, "2047", "2047"},
      {-3, "-3", "-3"},
      {0, "0", "0"},
      {-0.0, "0", "0"},
      {0.1 + 0.2, ".3", "0.3"},
      {1e-19, ".0000000000000000001", "0.0000000000000000001"},
      {1e20, "100000000000000000000", "100000000000000000000"},
      {123456789012345678.0, "123456789012346000", "123456789012346000"},
      {2046.6, "2046.6", "2046.6"},
      {0.9999999999999999, "1", "1"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CompactRendering(c.value), c.compact) << c.value;
    EXPECT_EQ(FullRendering(c.value), c.full) << c.value;
  }
  const std::string largest = FullRendering(std::numeric_limits<double>::max());
  EXPECT_EQ(largest.substr(0, 15), "179769313486232");
  EXPECT_EQ(largest.size(), 309u);
}

TEST(Renderings, MilliampLabel) {
  const struct {
    double counts;
    const char* label;
  } cases[] = {{0, "0.0mA"},        {1, "0.0mA"},      {101, "4.9mA"},
               {1000, "48.9mA"},    {1024, "50.0mA"},  {2047, "100.0mA"},
               {2046.6, "100.0mA"}, {1e-300, "0.0mA"}, {20.47, "1.0mA"}};
  for (const auto& c : cases) EXPECT_EQ(MilliampText(c.counts), c.label) << c.counts;
}

TEST(StateLine, EscapesWhateverTheEntryHolds) {
  FakeOs os;
  MainForm form(os);
  form.txtCurrent.OnChange(nullptr);  // keep the raw text for this check
  form.txtCurrent.SetText("a\"b\\c\n\x01");
  EXPECT_EQ(StateJson(form),
            "{\"lblSerNum\":\"\",\"txtCurrent\":\"a\\\"b\\\\c\\n\\u0001\",\"colour\":\"black\","
            "\"lblMv\":\"0mA\"}");
  // Well-formed UTF-8 passes; any other byte is escaped, so every line is valid JSON.
  const struct {
    const char* text;
    const char* json;
  } cases[] = {
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c",
       "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x8c\""},
      {"\xff\xe9", "\"\\u00ff\\u00e9\""},                        // Latin-1 / a code page
      {"\xc0\xaf", "\"\\u00c0\\u00af\""},                        // overlong '/'
      {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},             // a surrogate
      {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // beyond U+10FFFF
      {"1\xe2\x82", "\"1\\u00e2\\u0082\""},                      // cut short at the end
      {"\x80x", "\"\\u0080x\""},                                 // a stray continuation
  };
  for (const auto& c : cases) EXPECT_EQ(JsonString(c.text), c.json) << c.json;
}

TEST(Layout, TwipsBecomePixelsAtTheDisplaysDpi) {
  EXPECT_EQ(TwipsToPixels(kClientWidthTwips, 96), 239);
  EXPECT_EQ(TwipsToPixels(kClientHeightTwips, 96), 62);
  EXPECT_EQ(TwipsToPixels(kLayout[kSetpointEntry].left, 96), 7);
  EXPECT_EQ(TwipsToPixels(kLayout[kSetpointEntry].left, 192), 14);
  EXPECT_EQ(TwipsToPixels(15, 144), 2);  // 1.5 pixels rounds up
}

}  // namespace
}  // namespace tarnwick::ui
