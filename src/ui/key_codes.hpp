#pragma once
// Windows' virtual-key codes, the numbers the entry's key-down handler takes on every
// platform: the model steps on some, and each driver translates its own keys into them.

#include <cstdint>

namespace tarnwick::ui {

inline constexpr std::uint16_t kKeyBackspace = 8;
inline constexpr std::uint16_t kKeyTab = 9;
inline constexpr std::uint16_t kKeyEnter = 13;
inline constexpr std::uint16_t kKeyShift = 16;
inline constexpr std::uint16_t kKeyControl = 17;
inline constexpr std::uint16_t kKeyAlt = 18;
inline constexpr std::uint16_t kKeyPause = 19;
inline constexpr std::uint16_t kKeyCapsLock = 20;
inline constexpr std::uint16_t kKeyEscape = 27;
inline constexpr std::uint16_t kKeySpace = 32;
inline constexpr std::uint16_t kKeyPageUp = 33;
inline constexpr std::uint16_t kKeyPageDown = 34;
inline constexpr std::uint16_t kKeyEnd = 35;
inline constexpr std::uint16_t kKeyHome = 36;
inline constexpr std::uint16_t kKeyLeft = 37;
inline constexpr std::uint16_t kKeyUp = 38;
inline constexpr std::uint16_t kKeyRight = 39;
inline constexpr std::uint16_t kKeyDown = 40;
inline constexpr std::uint16_t kKeyPrintScreen = 44;
inline constexpr std::uint16_t kKeyInsert = 45;
inline constexpr std::uint16_t kKeyDelete = 46;
inline constexpr std::uint16_t kKeyLeftWindows = 91;
inline constexpr std::uint16_t kKeyRightWindows = 92;
inline constexpr std::uint16_t kKeyMenu = 93;
inline constexpr std::uint16_t kKeyPad0 = 96;  // to kKeyPad0 + 9
inline constexpr std::uint16_t kKeyPadMultiply = 106;
inline constexpr std::uint16_t kKeyPadAdd = 107;
inline constexpr std::uint16_t kKeyPadSubtract = 109;
inline constexpr std::uint16_t kKeyPadDecimal = 110;
inline constexpr std::uint16_t kKeyPadDivide = 111;
inline constexpr std::uint16_t kKeyF1 = 112;  // to kKeyF1 + 23, F24
inline constexpr std::uint16_t kKeyNumLock = 144;
inline constexpr std::uint16_t kKeyScrollLock = 145;
// The US layout's punctuation keys, named by what they carry unshifted (Windows' OEM keys).
inline constexpr std::uint16_t kKeySemicolon = 186;
inline constexpr std::uint16_t kKeyEquals = 187;  // '+' shifted
inline constexpr std::uint16_t kKeyComma = 188;
inline constexpr std::uint16_t kKeyMinus = 189;
inline constexpr std::uint16_t kKeyPeriod = 190;
inline constexpr std::uint16_t kKeySlash = 191;
inline constexpr std::uint16_t kKeyBackquote = 192;
inline constexpr std::uint16_t kKeyLeftBracket = 219;
inline constexpr std::uint16_t kKeyBackslash = 220;
inline constexpr std::uint16_t kKeyRightBracket = 221;
inline constexpr std::uint16_t kKeyQuote = 222;

// What a key adds to the set-point: Up and Down step by 1, Page Up and Page Down by 10; 0 for
// any other key. Every binding swallows the stepping keys after their key-down.
constexpr int StepOf(std::uint16_t key) {
  switch (key) {
    case kKeyUp:
      return 1;
    case kKeyDown:
      return -1;
    case kKeyPageUp:
      return 10;
    case kKeyPageDown:
      return -10;
    default:
      return 0;
  }
}

constexpr bool IsStepKey(std::uint16_t key) {
  return StepOf(key) != 0;
}

// A letter's key is its upper-case ASCII, a digit's its ASCII; 0 for any other character.
constexpr std::uint16_t LetterOrDigitKey(int c) {
  if (c >= 'a' && c <= 'z') return static_cast<std::uint16_t>(c - 'a' + 'A');
  if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return static_cast<std::uint16_t>(c);
  return 0;
}

}  // namespace tarnwick::ui
