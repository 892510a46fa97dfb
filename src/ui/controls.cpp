#include "ui/controls.hpp"

#include <algorithm>

namespace tarnwick::ui {

void TextEntry::SetText(const std::string& text) {
  if (text == text_) return;
  text_ = text;
  caret_ = text_.size();
  Changed();
}

void TextEntry::Edit(const std::string& text, std::size_t caret) {
  const bool changed = text != text_;
  text_ = text;
  caret_ = std::min(caret, text_.size());
  if (changed) Changed();
}

void TextEntry::Insert(char c) {
  std::string text = text_;
  text.insert(caret_, 1, c);
  Edit(text, caret_ + 1);
}

void TextEntry::Backspace() {
  if (caret_ == 0) return;
  std::string text = text_;
  text.erase(caret_ - 1, 1);
  Edit(text, caret_ - 1);
}

void TextEntry::Changed() {
  if (onChange_) onChange_();
}

}  // namespace tarnwick::ui
