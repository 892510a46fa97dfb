#pragma once
// The operator's window as a model: its controls, its state and its event handlers.

#include <array>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "control/setpoint_write.hpp"
#include "link/controller_link.hpp"
#include "platform/os.hpp"
#include "ui/controls.hpp"

namespace tarnwick::ui {

// The program's exit status after a failure escaped an event handler.
inline constexpr int kFailureExitCode = 1;

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

  // Every binding raises every event through here: the handler, then the binding's own work
  // after it. A failure escaping it (only memory exhaustion can) stops the form for good: the
  // failure handler runs once with the one message to show, and no event runs after it. The
  // binding's failure handler stops its timer first, shows the message, then ends the program
  // with kFailureExitCode; the device is closed by then, as every handler closes what it opens.
  template <class Handler>
  void RunEvent(Handler&& handler) noexcept;
  void OnFailure(std::function<void(const char* message)> handler) {
    onFailure_ = std::move(handler);
  }
  bool Stopped() const { return stopped_; }

  const std::string& StatusText() const { return lblSerNum.tag; }
  const link::ControllerLink& Link() const { return link_; }

  // What UpdateDAC works on.
  std::string SetpointText() const override { return txtCurrent.Text(); }
  void SetSerialCaption(const std::string& caption) override { lblSerNum.caption = caption; }
  void SetSetpointColour(std::uint32_t colour) override { txtCurrent.SetColour(colour); }

 private:
  void Stop(const char* reason) noexcept;

  link::ControllerLink link_;  // after lblSerNum: it holds a reference to the label's tag
  std::function<void()> onExit_;
  bool exitRequested_ = false;
  std::function<void(const char*)> onFailure_;
  bool stopped_ = false;
  std::array<char, 256> failureMessage_{};  // made without allocating: memory may be gone
};

template <class Handler>
void MainForm::RunEvent(Handler&& handler) noexcept {
  if (stopped_) return;
  try {
    std::forward<Handler>(handler)();
  } catch (const std::bad_alloc&) {
    Stop("out of memory");
  } catch (const std::exception& error) {
    Stop(error.what());
  } catch (...) {
    Stop("unknown failure");
  }
}

}  // namespace tarnwick::ui
