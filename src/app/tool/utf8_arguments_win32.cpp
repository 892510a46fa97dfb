#include "utf8_arguments.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace tarnwick::app {

namespace {

std::string ToUtf8(const wchar_t* wide) {
  // Unpaired surrogates become U+FFFD: refused like any other non-ASCII character.
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
  text.pop_back();  // the terminating NUL
  return text;
}

}  // namespace

bool Utf8Arguments(int& argc, char**& argv) noexcept {
  // Kept for the whole run, as the C runtime keeps its own argv.
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  try {
    int count = 0;
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> wide(
        CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
    if (wide == nullptr) throw std::bad_alloc();
    texts.clear();
    for (int i = 0; i < count; ++i) texts.push_back(ToUtf8(wide.get()[i]));
    pointers.clear();
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
    return true;
  } catch (...) {
    std::fputs("tarnwick: the command line could not be read (out of memory)\n", stderr);
    return false;
  }
}

}  // namespace tarnwick::app
