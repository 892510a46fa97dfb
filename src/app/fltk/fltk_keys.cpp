#include "fltk_keys.hpp"

#include <FL/Enumerations.H>

#include "ui/key_codes.hpp"

namespace tarnwick::fltk {

namespace {

struct KeyPair {
  int fltk;
  std::uint16_t windows;
};

constexpr KeyPair kNamedKeys[] = {
    {FL_BackSpace, ui::kKeyBackspace},
    {FL_Tab, ui::kKeyTab},
    {FL_Enter, ui::kKeyEnter},
    {FL_KP_Enter, ui::kKeyEnter},
    {FL_Shift_L, ui::kKeyShift},
    {FL_Shift_R, ui::kKeyShift},
    {FL_Control_L, ui::kKeyControl},
    {FL_Control_R, ui::kKeyControl},
    {FL_Alt_L, ui::kKeyAlt},
    {FL_Alt_R, ui::kKeyAlt},
    {FL_Pause, ui::kKeyPause},
    {FL_Caps_Lock, ui::kKeyCapsLock},
    {FL_Escape, ui::kKeyEscape},
    {' ', ui::kKeySpace},
    {FL_Page_Up, ui::kKeyPageUp},
    {FL_Page_Down, ui::kKeyPageDown},
    {FL_End, ui::kKeyEnd},
    {FL_Home, ui::kKeyHome},
    {FL_Left, ui::kKeyLeft},
    {FL_Up, ui::kKeyUp},
    {FL_Right, ui::kKeyRight},
    {FL_Down, ui::kKeyDown},
    {FL_Print, ui::kKeyPrintScreen},
    {FL_Insert, ui::kKeyInsert},
    {FL_Delete, ui::kKeyDelete},
    {FL_Meta_L, ui::kKeyLeftWindows},
    {FL_Meta_R, ui::kKeyRightWindows},
    {FL_Menu, ui::kKeyMenu},
    {FL_KP + '*', ui::kKeyPadMultiply},
    {FL_KP + '+', ui::kKeyPadAdd},
    {FL_KP + '-', ui::kKeyPadSubtract},
    {FL_KP + '.', ui::kKeyPadDecimal},
    {FL_KP + '/', ui::kKeyPadDivide},
    {FL_Num_Lock, ui::kKeyNumLock},
    {FL_Scroll_Lock, ui::kKeyScrollLock},
    // The US layout's punctuation keys, by the character they carry unshifted.
    {';', ui::kKeySemicolon},
    {'=', ui::kKeyEquals},
    {',', ui::kKeyComma},
    {'-', ui::kKeyMinus},
    {'.', ui::kKeyPeriod},
    {'/', ui::kKeySlash},
    {'`', ui::kKeyBackquote},
    {'[', ui::kKeyLeftBracket},
    {'\\', ui::kKeyBackslash},
    {']', ui::kKeyRightBracket},
    {'\'', ui::kKeyQuote},
};

constexpr int kFunctionKeys = 24;

}  // namespace

std::uint16_t VirtualKeyCode(int fltkKey) {
  // FLTK reports a letter key by its lower-case character whatever the shift state.
  if ((fltkKey >= 'a' && fltkKey <= 'z') || (fltkKey >= '0' && fltkKey <= '9')) {
    return ui::LetterOrDigitKey(fltkKey);
  }
  // With Num Lock on, FLTK reports the keypad's digit keys as keypad digits and types them:
  // Windows' numeric-keypad digits. With Num Lock off it reports them as the arrow, page,
  // Home, End, Insert and Delete keys, which map below as Windows' own do.
  if (fltkKey >= FL_KP + '0' && fltkKey <= FL_KP + '9') {
    return static_cast<std::uint16_t>(ui::kKeyPad0 + fltkKey - (FL_KP + '0'));
  }
  if (fltkKey > FL_F && fltkKey <= FL_F + kFunctionKeys) {
    return static_cast<std::uint16_t>(ui::kKeyF1 - 1 + fltkKey - FL_F);
  }
  for (const KeyPair& pair : kNamedKeys) {
    if (pair.fltk == fltkKey) return pair.windows;
  }
  return 0;
}

int KeyDownShift(int fltkKey, int fltkState) {
  const bool shift = (fltkState & FL_SHIFT) != 0 || fltkKey == FL_Shift_L || fltkKey == FL_Shift_R;
  const bool ctrl =
      (fltkState & FL_CTRL) != 0 || fltkKey == FL_Control_L || fltkKey == FL_Control_R;
  const bool alt = (fltkState & FL_ALT) != 0 || fltkKey == FL_Alt_L || fltkKey == FL_Alt_R;
  return (shift ? 1 : 0) | (ctrl ? 2 : 0) | (alt ? 4 : 0);
}

}  // namespace tarnwick::fltk
