#pragma once

#include <string>

#include "ui/main_form.hpp"

namespace tarnwick::ui {

// One line of JSON with what the operator sees: the serial-number line, the entry's text and
// colour ("grey" or "black") and the milliamp label. The script driver prints it after every
// event; the windows print it too when TARNWICK_TRACE is set, so all can be compared.
std::string StateJson(const MainForm& form);

// The state line on standard output, flushed at once so a reader follows event by event.
void PrintState(const MainForm& form);

// Whether TARNWICK_TRACE (set and not empty) asks a window to print its state lines.
bool TraceRequested();

}  // namespace tarnwick::ui
