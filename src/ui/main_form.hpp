#pragma once
// The operator's window as a model: its controls, its state and its event handlers.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "control/setpoint_write.hpp"
#include "link/controller_link.hpp"
#include "platform/os.hpp"
#include "ui/controls.hpp"

namespace tarnwick::ui {

class MainForm final : public control::SetpointWindow {
 public:
  explicit MainForm(platform::Os& os);
  MainForm(const MainForm&) = delete;
  MainForm& operator=(const MainForm&) = delete;

  // Controls, with their contents at creation.
  Label lblSerNum{kLayout[kSerialLabel].text, ""};  // its tag holds the link's status text
  TextEntry txtCurrent{kLayout[kSetpointEntry].text};
  Label lblMv{kLayout[kMilliampLabel].text, ""};
  std::string cmdExitCaption = kLayout[kExitButton].text;
  int tmrSNInterval = kPollIntervalMs;

  // The serial-number line of the previous poll; nothing at start, unequal to any line.
  std::optional<std::string> LastSerialText;

  // Event handlers, as the toolkit binding raises them.
  void Form_Load();
  void cmdExit_Click();
  void tmrSN_Timer();
  void txtCurrent_Change();
  void txtCurrent_KeyDown(std::uint16_t keyCode, int shift);
  void UpdateDAC();

  // Exit ends the program: the binding learns of it here and closes at once.
  void OnExit(std::function<void()> handler) { onExit_ = std::move(handler); }
  bool ExitRequested() const { return exitRequested_; }

  const std::string& StatusText() const { return lblSerNum.tag; }
  const link::ControllerLink& Link() const { return link_; }

  // What UpdateDAC works on.
  std::string SetpointText() const override { return txtCurrent.Text(); }
  void SetSerialCaption(const std::string& caption) override { lblSerNum.caption = caption; }
  void SetSetpointColour(std::uint32_t colour) override { txtCurrent.SetColour(colour); }

 private:
  link::ControllerLink link_;  // after lblSerNum: it holds a reference to the label's tag
  std::function<void()> onExit_;
  bool exitRequested_ = false;
};

}  // namespace tarnwick::ui
