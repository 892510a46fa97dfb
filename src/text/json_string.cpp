#include "text/json_string.hpp"

#include <cstdio>

namespace tarnwick::text {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], or 0 when the byte there starts none
// (a stray continuation, an overlong form, a surrogate, beyond U+10FFFF, or cut short).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char lead = byte(i);
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte, narrowed where the lead demands
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  }
  return length;
}

void AppendEscaped(std::string& out, unsigned char c) {
  char escaped[8];
  std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
  out += escaped;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20) {
          AppendEscaped(out, byte);
        } else if (byte < 0x80) {
          out += c;
        } else if (const std::size_t length = Utf8SequenceLength(text, i); length != 0) {
          out.append(text, i, length);
          i += length - 1;
        } else {
          // Not UTF-8 (a Windows text in its code page, an unknown event's bytes): the byte as
          // the code point of the same number, so the line stays valid JSON.
          AppendEscaped(out, byte);
        }
      }
    }
  }
  return out + "\"";
}

}  // namespace tarnwick::text
