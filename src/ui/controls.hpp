#pragma once
// The window's controls as plain objects. A toolkit binding shows them and feeds native events
// back; the rules live here, so every binding behaves the same.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "ui/key_codes.hpp"
#include "ui/window_identity.hpp"

namespace tarnwick::ui {

enum class ControlKind { Label, TextEntry, Button };

struct ControlLayout {
  ControlKind kind;
  int left;  // twips, 1/1440 inch
  int top;
  int width;
  int height;
  const char* text;  // at creation
  int tabIndex;
};

inline constexpr int kClientWidthTwips = 3585;
inline constexpr int kClientHeightTwips = 930;
inline constexpr char kSetpointTooltip[] = "Enter number 0 to 2047 or use arrow keys.";
inline constexpr int kPollIntervalMs = 1000;

enum ControlIndex { kSerialLabel, kSetpointEntry, kMilliampLabel, kExitButton };
inline constexpr std::array<ControlLayout, 4> kLayout = {{
    {ControlKind::Label, 0, 0, 3495, 585, "", 2},            // lblSerNum
    {ControlKind::TextEntry, 105, 525, 645, 330, "0", 0},    // txtCurrent
    {ControlKind::Label, 900, 600, 960, 250, "0mA", 3},      // lblMv
    {ControlKind::Button, 2835, 525, 675, 375, "&Exit", 1},  // cmdExit
}};

// The controls in tab order: every binding creates them so, which makes its toolkit's Tab
// follow it.
constexpr std::array<ControlIndex, kLayout.size()> TabOrder() {
  std::array<ControlIndex, kLayout.size()> order{};
  for (std::size_t index = 0; index < kLayout.size(); ++index) {
    order[static_cast<std::size_t>(kLayout[index].tabIndex)] = static_cast<ControlIndex>(index);
  }
  return order;
}
inline constexpr std::array<ControlIndex, kLayout.size()> kTabOrder = TabOrder();

// Twips to pixels at a display's dots per inch, rounded to the nearest pixel.
constexpr int TwipsToPixels(int twips, int dpi) {
  return (twips * dpi + 720) / 1440;
}

struct Label {
  std::string caption;
  std::string tag;  // kept with the label, never shown
};

// A single-line entry. Its change handler runs synchronously on every change of the text,
// re-entrantly, and never when the new text equals the old.
class TextEntry {
 public:
  explicit TextEntry(std::string text) : text_(std::move(text)), caret_(text_.size()) {}

  const std::string& Text() const { return text_; }
  std::size_t Caret() const { return caret_; }
  std::uint32_t Colour() const { return colour_; }
  void SetColour(std::uint32_t colour) { colour_ = colour; }
  void OnChange(std::function<void()> handler) { onChange_ = std::move(handler); }

  // The program replaces the text: the caret goes to the end, where typing goes on.
  void SetText(const std::string& text);
  // The operator edited the text (as the toolkit reports it), leaving the caret at `caret`.
  void Edit(const std::string& text, std::size_t caret);
  // Keyboard edits at the caret, for drivers without a native control.
  void Insert(char c);
  void Backspace();

 private:
  void Changed();

  std::string text_;
  std::size_t caret_;
  std::uint32_t colour_ = 0;
  std::function<void()> onChange_;
};

}  // namespace tarnwick::ui
