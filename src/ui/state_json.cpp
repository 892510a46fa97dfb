#include "ui/state_json.hpp"

#include <cstdio>

namespace tarnwick::ui {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
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
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string StateJson(const MainForm& form) {
  const bool black = form.txtCurrent.Colour() == control::kColourBlack;
  return "{\"lblSerNum\":" + JsonString(form.lblSerNum.caption) +
         ",\"txtCurrent\":" + JsonString(form.txtCurrent.Text()) + ",\"colour\":\"" +
         (black ? "black" : "grey") + "\",\"lblMv\":" + JsonString(form.lblMv.caption) + "}";
}

}  // namespace tarnwick::ui
