#pragma once

namespace tarnwick::app {

// Replaces argc and argv with the arguments as the user typed them, in UTF-8. On Windows main
// gets a best-fit ANSI copy, in which a full-width "５０ｍＡ" reads as "50mA"; the wide command
// line keeps every character, so the tool's parser refuses what is not plain ASCII. False, with
// a message, when the command line cannot be read (out of memory).
#ifdef _WIN32
bool Utf8Arguments(int& argc, char**& argv) noexcept;
#else
inline bool Utf8Arguments(int&, char**&) noexcept {
  return true;  // POSIX programs get the bytes as typed
}
#endif

}  // namespace tarnwick::app
