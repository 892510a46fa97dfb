// The whole entry: any text pasted into it, then any sequence of keys, polls and pastes.
// After every event: the change handling has ended, the text is empty or a number in 0..2047
// as the entry spells it, running the change handling again changes nothing, the label is the
// value's label, and what was written is what the entry showed at the time.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "control/numeric_prefix.hpp"
#include "control/setpoint_write.hpp"
#include "ui/main_form.hpp"
#include "ui/renderings.hpp"
#include "unit/fake_os.hpp"

namespace {

using tarnwick::control::NumericPrefixValue;
using tarnwick::ui::MainForm;

void Require(bool condition) {
  if (!condition) std::abort();
}

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The counts the last write sent, from the middle transfer (latch low) of the last three.
int LastWrite(const tarnwick::testing::FakeOs& os) {
  const auto& request = os.requests.at(os.requests.size() - 2);
  return request[4] | (request[5] & 0x07) << 8;
}

int Counts(const std::string& text) {
  return tarnwick::control::SetpointBytes(NumericPrefixValue(text)).Counts();
}

// The label shows its design-time text until the entry is first edited.
void CheckEntry(MainForm& form, bool edited) {
  const std::string text = form.txtCurrent.Text();
  const std::string label = form.lblMv.caption;
  if (!edited) {
    Require(text == "0" && label == "0mA");
    return;
  }
  if (!text.empty()) {
    const double value = NumericPrefixValue(text);
    Require(value >= 0 && value <= tarnwick::control::kFullScale);
    Require(Trimmed(text) == tarnwick::ui::CompactRendering(value) ||
            text == tarnwick::ui::FullRendering(value));
    Require(label == tarnwick::ui::MilliampText(value));
  }
  form.txtCurrent_Change();
  Require(form.txtCurrent.Text() == text);
  Require(form.lblMv.caption == label);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tarnwick::testing::FakeOs os;
  os.deviceName = "/dev/twusbio";
  os.reply = {0x39, 0x30, 0, 0};
  MainForm form(os);
  bool edited = false;
  form.txtCurrent.OnChange([&] {
    edited = true;
    form.txtCurrent_Change();
  });
  form.Form_Load();

  // Up to the first 0xFF byte: a pasted text. Every byte after it: one event.
  std::size_t at = 0;
  while (at < size && data[at] != 0xFF) ++at;
  const std::string pasted(reinterpret_cast<const char*>(data), at);
  form.txtCurrent.Edit(pasted, pasted.size());
  CheckEntry(form, edited);

  static constexpr std::uint16_t kSteps[] = {38, 40, 33, 34};
  static constexpr char kTyped[] = "0123456789.- x";
  for (++at; at < size; ++at) {
    const std::uint8_t event = data[at];
    const std::string before = form.txtCurrent.Text();
    switch (event % 6) {
      case 0: {
        form.txtCurrent_KeyDown(kSteps[(event / 6) % 4], 0);
        Require(LastWrite(os) == Counts(form.txtCurrent.Text()));
        Require(form.txtCurrent.Colour() == tarnwick::control::kColourBlack);
        break;
      }
      case 1:
      case 2: {
        const char c = kTyped[(event / 6) % (sizeof kTyped - 1)];
        form.txtCurrent_KeyDown(static_cast<std::uint16_t>(c), 0);
        Require(LastWrite(os) == Counts(before));  // the text as it stood before the key
        form.txtCurrent.Insert(c);
        break;
      }
      case 3:
        form.txtCurrent_KeyDown(8, 0);
        form.txtCurrent.Backspace();
        break;
      case 4:
        form.tmrSN_Timer();
        Require(LastWrite(os) == Counts(form.txtCurrent.Text()));
        break;
      default: {
        // A short paste of the bytes that follow.
        const std::size_t length = std::min<std::size_t>(event / 6 % 8, size - at - 1);
        form.txtCurrent.Edit(std::string(reinterpret_cast<const char*>(data + at + 1), length),
                             length);
        at += length;
        break;
      }
    }
    CheckEntry(form, edited);
  }
  return 0;
}
