#pragma once

#include <string>

#include "ui/main_form.hpp"

namespace tarnwick::ui {

// One line of JSON with what the operator sees: the serial-number line, the entry's text and
// colour ("grey" or "black") and the milliamp label. The script driver prints it after every
// event; the windows print it too when TARNWICK_TRACE is set, so all can be compared.
std::string StateJson(const MainForm& form);

// A JSON string literal for any bytes: escapes quotes, backslashes and control characters,
// passes well-formed UTF-8 through, and writes any other byte as \u00XX.
std::string JsonString(const std::string& text);

}  // namespace tarnwick::ui
