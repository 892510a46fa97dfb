#pragma once
// tarnwick serve: the board as a SCPI instrument on a TCP port.

#include <string>

namespace tarnwick::app {

inline constexpr char kDefaultListen[] = "127.0.0.1:5025";

// Runs until SIGINT or SIGTERM (Ctrl+C, or the console closed, on Windows) and returns the
// exit status: 0 stopped, 2 the address is taken, 3 another holder of the set-point runs (4 its
// mark cannot be trusted or made), 64 listen is no HOST:PORT.
// Tells the operator what happens on standard output, failures on standard error.
int Serve(const std::string& listen);

}  // namespace tarnwick::app
