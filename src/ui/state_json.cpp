#include "ui/state_json.hpp"

#include <cstdio>
#include <cstdlib>

#include "text/json_string.hpp"

namespace tarnwick::ui {

using text::JsonString;

std::string StateJson(const MainForm& form) {
  const bool black = form.txtCurrent.Colour() == control::kColourBlack;
  return "{\"lblSerNum\":" + JsonString(form.lblSerNum.caption) +
         ",\"txtCurrent\":" + JsonString(form.txtCurrent.Text()) + ",\"colour\":\"" +
         (black ? "black" : "grey") + "\",\"lblMv\":" + JsonString(form.lblMv.caption) + "}";
}

void PrintState(const MainForm& form) {
  const std::string line = StateJson(form) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

bool TraceRequested() {
  const char* trace = std::getenv("TARNWICK_TRACE");
  return trace != nullptr && trace[0] != '\0';
}

}  // namespace tarnwick::ui
