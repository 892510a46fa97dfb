#include "ui/main_form.hpp"

#include <cstdio>
#include <string>

#include "control/numeric_prefix.hpp"
#include "control/serial_poll.hpp"
#include "ui/key_codes.hpp"
#include "ui/renderings.hpp"

namespace tarnwick::ui {

using control::NumericPrefixValue;

MainForm::MainForm(platform::Os& os) : link_(os, lblSerNum.tag) {
  txtCurrent.OnChange([this] { txtCurrent_Change(); });
}

void MainForm::Form_Load() {
  UpdateDAC();
}

void MainForm::cmdExit_Click() {
  exitRequested_ = true;
  if (onExit_) onExit_();
}

void MainForm::Stop(const char* reason) noexcept {
  stopped_ = true;
  std::snprintf(failureMessage_.data(), failureMessage_.size(),
                "Tarnwick Test must close: %s. The board keeps the value last written to it.",
                reason);
  if (!onFailure_) return;
  try {
    onFailure_(failureMessage_.data());
  } catch (...) {
    // Nothing is left to tell the operator with; the binding still ends the program.
  }
}

void MainForm::UpdateDAC() {
  control::UpdateDAC(link_, *this);
}

void MainForm::tmrSN_Timer() {
  control::PollSerialNumber(link_, *this, LastSerialText);
}

void MainForm::txtCurrent_Change() {
  txtCurrent.SetColour(control::kColourGrey);
  if (txtCurrent.Text().empty()) return;

  // Each replacement runs this handler again, to completion, before this run goes on; every
  // step reads the text as it stands then.
  const double value = NumericPrefixValue(txtCurrent.Text());
  std::string trimmed = txtCurrent.Text();
  trimmed.erase(0, trimmed.find_first_not_of(' '));
  trimmed.erase(trimmed.find_last_not_of(' ') + 1);
  if (trimmed != CompactRendering(value)) txtCurrent.SetText(FullRendering(value));
  if (NumericPrefixValue(txtCurrent.Text()) < 0) txtCurrent.SetText("0");
  if (NumericPrefixValue(txtCurrent.Text()) > control::kFullScale)
    txtCurrent.SetText(std::to_string(control::kFullScale));
  lblMv.caption = MilliampText(NumericPrefixValue(txtCurrent.Text()));
}

void MainForm::txtCurrent_KeyDown(std::uint16_t keyCode, int) {
  if (const double step = StepOf(keyCode); step != 0) {
    txtCurrent.SetText(FullRendering(NumericPrefixValue(txtCurrent.Text()) + step));
  }
  UpdateDAC();
}

}  // namespace tarnwick::ui
