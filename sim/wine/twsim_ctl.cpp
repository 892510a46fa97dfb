// tarnwick-simctl.exe: commands for the SIMULATED controller driver (twusbio_sim.sys) under Wine,
// and a reading of the program's window from outside, so a test can check what the operator sees.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board.h"
#include "command_table.hpp"
#include "parse_number.hpp"
#include "sim_text.hpp"
#include "text/json_string.hpp"
#include "twsim_control.h"
#include "ui/window_identity.hpp"

namespace {

using tarnwick::sim::ParseNumber;
using tarnwick::text::JsonString;
using tarnwick::ui::kWindowCaption;

constexpr char kUsageHead[] =
    "Usage: tarnwick-simctl COMMAND\n"
    "Talks to the SIMULATED controller driver twusbio_sim.sys (no real hardware).\n"
    "\n";

constexpr UINT kMessageTimeoutMs = 5000;  // a hung program must not hang the tool

int Fail(const std::string& message) {
  std::fprintf(stderr, "tarnwick-simctl: %s\n", message.c_str());
  return 1;
}

// Sends one request to the control device; the reply is the driver's state after it.
std::optional<twsim_state> Control(std::uint32_t op, std::uint32_t arg1, std::uint32_t arg2,
                                   std::string& error) {
  const HANDLE device =
      CreateFileA(TWSIM_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    error = "cannot open " + std::string(TWSIM_CONTROL_PATH) + " (error " +
            std::to_string(GetLastError()) + "): is the twusbio_sim driver started?";
    return std::nullopt;
  }
  twsim_request request{TWSIM_MAGIC, op, arg1, arg2};
  // Large, so it lives on the heap rather than the stack.
  auto state = std::make_unique<twsim_state>();
  DWORD returned = 0;
  const BOOL ok = DeviceIoControl(device, TWSIM_CONTROL_CODE, &request, sizeof request, state.get(),
                                  sizeof *state, &returned, nullptr);
  const DWORD code = GetLastError();
  CloseHandle(device);
  if (ok == FALSE) {
    error = "the driver refused the request (error " + std::to_string(code) + ")";
    return std::nullopt;
  }
  if (returned != sizeof *state || state->magic != TWSIM_MAGIC) {
    error = "the driver's reply does not match this tool (" + std::to_string(returned) + " bytes)";
    return std::nullopt;
  }
  return *state;
}

// The words of tarnwick-sim's request log, then what the call returned.
std::string LogLine(const twsim_log_entry& entry) {
  std::string line =
      tarnwick::sim::RequestLine(entry.code, entry.capacity, entry.bytes,
                                 std::min<std::size_t>(entry.in_length, sizeof entry.bytes));
  if (entry.in_length > sizeof entry.bytes) {
    line += " ... (" + std::to_string(entry.in_length) + " bytes)";
  }
  if (entry.succeeded == TWSIM_LOG_HELD) {
    line += " -> held";
  } else {
    line += entry.succeeded != 0 ? " -> ok " + std::to_string(entry.reply_bytes) + " bytes"
                                 : std::string(" -> failed");
  }
  return line;
}

std::string OutcomeText(const twsim_state& state, std::uint32_t op) {
  switch (state.outcome) {
    case TWSIM_ALREADY:
      return op == TWSIM_OP_PLUG ? "already plugged" : "already unplugged";
    case TWSIM_BAD_ARGUMENT:
      return "the driver refused the arguments";
    case TWSIM_QUEUE_FULL:
      return "too many faults queued (at most " + std::to_string(TW_FAULT_SLOTS) + ")";
    case TWSIM_LINK_FAILED: {
      char status[16];
      std::snprintf(status, sizeof status, "%08x", static_cast<unsigned>(state.link_status));
      return std::string("cannot make the device name (status ") + status + ")";
    }
    default:
      return "unknown outcome " + std::to_string(state.outcome);
  }
}

struct Child {
  std::string windowClass;
  std::string text;
  POINT origin;  // in the parent's client coordinates
};

std::optional<std::string> TextOf(HWND window) {
  // WM_GETTEXT rather than GetWindowText: another process's controls answer only the message.
  char text[512] = {};
  DWORD_PTR copied = 0;
  if (SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG, kMessageTimeoutMs, &copied) == 0) {
    return std::nullopt;
  }
  return std::string(text, std::min<std::size_t>(copied, sizeof text - 1));
}

BOOL CALLBACK CollectChild(HWND child, LPARAM param) {
  auto& children = *reinterpret_cast<std::vector<HWND>*>(param);
  children.push_back(child);
  return TRUE;
}

struct Search {
  HWND found = nullptr;
};

// The program's window: top-level, captioned exactly "Tarnwick Test", and holding an entry.
// Its error box has the same caption but no EDIT child.
BOOL CALLBACK FindProgramWindow(HWND window, LPARAM param) {
  char caption[64] = {};
  GetWindowTextA(window, caption, sizeof caption);
  if (std::string_view(caption) != kWindowCaption) return TRUE;
  if (FindWindowExA(window, nullptr, "EDIT", nullptr) == nullptr) return TRUE;
  reinterpret_cast<Search*>(param)->found = window;
  return FALSE;
}

// The controls are told apart by class, the two labels by height: the serial-number line sits
// at the top of the window, the milliamp label beside the entry below it.
int ReadWindow() {
  Search search;
  EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) return Fail("no window captioned \"Tarnwick Test\"");

  std::vector<HWND> handles;
  EnumChildWindows(search.found, CollectChild, reinterpret_cast<LPARAM>(&handles));
  std::vector<Child> children;
  for (const HWND handle : handles) {
    if (GetParent(handle) != search.found) continue;
    Child child;
    char windowClass[64] = {};
    GetClassNameA(handle, windowClass, sizeof windowClass);
    child.windowClass = CharUpperA(windowClass);
    auto text = TextOf(handle);
    if (!text) return Fail("a control of the window did not answer WM_GETTEXT");
    child.text = *text;
    RECT rect{};
    GetWindowRect(handle, &rect);
    child.origin = {rect.left, rect.top};
    ScreenToClient(search.found, &child.origin);
    children.push_back(child);
  }

  auto ofClass = [&children](const char* windowClass) {
    std::vector<const Child*> found;
    for (const Child& child : children) {
      if (child.windowClass == windowClass) found.push_back(&child);
    }
    return found;
  };
  auto labels = ofClass("STATIC");
  const auto entries = ofClass("EDIT");
  const auto buttons = ofClass("BUTTON");
  if (labels.size() != 2 || entries.size() != 1 || buttons.size() != 1) {
    return Fail("the window does not hold two labels, one entry and one button (" +
                std::to_string(children.size()) + " controls)");
  }
  std::sort(labels.begin(), labels.end(),
            [](const Child* a, const Child* b) { return a->origin.y < b->origin.y; });
  std::printf("{\"lblSerNum\":%s,\"txtCurrent\":%s,\"lblMv\":%s,\"cmdExit\":%s}\n",
              JsonString(labels[0]->text).c_str(), JsonString(entries[0]->text).c_str(),
              JsonString(labels[1]->text).c_str(), JsonString(buttons[0]->text).c_str());
  return 0;
}

// The client area in screen pixels, so a test can check a screenshot against the geometry.
int ReadClientArea() {
  Search search;
  EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) return Fail("no window captioned \"Tarnwick Test\"");
  RECT client{};
  POINT origin{0, 0};
  if (GetClientRect(search.found, &client) == FALSE ||
      ClientToScreen(search.found, &origin) == FALSE) {
    return Fail("could not read the window's client area");
  }
  std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, client.right, client.bottom);
  return 0;
}

double Milliseconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) * 1000.0 /
         static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

// Sends one message and waits for the window to handle it; the milliseconds it took, or -1.
double TimedSend(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const LARGE_INTEGER start = Now();
  DWORD_PTR result = 0;
  if (SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kMessageTimeoutMs,
                          &result) == 0) {
    return -1;
  }
  return Milliseconds(start, Now());
}

// Waits for the moment a poll that took a while has just ended, so the next one is as far
// off as it gets and one event's cost can be measured alone. Gives up after a few seconds
// (polls that take no time leave room anyway).
bool AfterSlowPoll(HWND window) {
  constexpr double kSlowMs = 100;
  for (int tries = 0; tries < 150; ++tries) {
    const double waited = TimedSend(window, WM_NULL, 0, 0);
    if (waited < 0) return false;
    if (waited > kSlowMs) return true;
    Sleep(20);
  }
  return true;
}

// Invalidates the whole window and waits until it has painted itself again; milliseconds.
double RepaintTime(HWND window) {
  const LARGE_INTEGER start = Now();
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
  while (GetUpdateRect(window, nullptr, FALSE) != FALSE) {
    if (Milliseconds(start, Now()) > kMessageTimeoutMs) return -1;
    Sleep(1);
  }
  return Milliseconds(start, Now());
}

// One key-down on the entry, or one poll, timed from outside the program, with what reached
// the driver meanwhile and how soon the window painted afterwards.
int TimeEvent(bool poll, UINT key) {
  Search search;
  EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) return Fail("no window captioned \"Tarnwick Test\"");
  const HWND entry = FindWindowExA(search.found, nullptr, "EDIT", nullptr);
  std::string error;
  if (!AfterSlowPoll(search.found)) return Fail("the window did not answer within 5 s");
  const auto before = Control(TWSIM_OP_STATUS, 0, 0, error);
  if (!before) return Fail(error);
  // The poll timer is the window's timer 1; a key-down's lParam holds a repeat count of 1.
  const double took =
      poll ? TimedSend(search.found, WM_TIMER, 1, 0) : TimedSend(entry, WM_KEYDOWN, key, 1);
  if (took < 0) return Fail("the window did not handle the event within 5 s");
  const auto after = Control(TWSIM_OP_STATUS, 0, 0, error);
  if (!after) return Fail(error);
  const double painted = RepaintTime(search.found);
  if (painted < 0) return Fail("the window did not repaint within 5 s");
  std::printf("ms=%.0f requests=%llu cancelled=%u held=%u repainted_ms=%.0f\n", took,
              static_cast<unsigned long long>(after->requests - before->requests),
              static_cast<unsigned>(after->cancelled - before->cancelled),
              static_cast<unsigned>(after->held), painted);
  return 0;
}

using Args = std::vector<std::string_view>;
using CtlCommand = tarnwick::sim::Command<int (*)(const Args&)>;
std::string Usage();

// Prints why the command line is refused, and the usage; the exit code for it.
int Refuse(const Args& args, const std::string& reason) {
  std::fprintf(stderr, "tarnwick-simctl: %s: %s\n%s", std::string(args[0]).c_str(), reason.c_str(),
               Usage().c_str());
  return 2;
}

// Sends one op to the driver and prints what it answered: the state for status, the calls for
// log, else "ok" and the command line.
int Drive(const Args& args, std::uint32_t op, std::uint32_t arg1 = 0, std::uint32_t arg2 = 0) {
  std::string error;
  const auto state = Control(op, arg1, arg2, error);
  if (!state) return Fail(error);
  if (state->outcome != TWSIM_DONE) return Fail(OutcomeText(*state, op));
  if (args[0] == "status") {
    std::printf("%s\n", tarnwick::sim::StatusLine({{"plugged", state->plugged},
                                                   {"output", state->output},
                                                   {"loads", state->loads},
                                                   {"serial", state->serial},
                                                   {"held", state->held},
                                                   {"cancelled", state->cancelled},
                                                   {"requests", state->requests}})
                            .c_str());
  } else if (args[0] == "log") {
    for (std::uint32_t i = 0; i < state->log_count && i < TWSIM_LOG_ENTRIES; ++i) {
      std::printf("%s\n", LogLine(state->log[i]).c_str());
    }
  } else {
    std::string line = "ok";
    for (const auto arg : args) {
      line += ' ';
      line += arg;
    }
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

// serial and fail: one number for the driver.
int DriveWithNumber(const Args& args, std::uint32_t op) {
  const auto value = ParseNumber(args[1]);
  if (!value) return Refuse(args, "needs a number from 0 to 4294967295");
  return Drive(args, op, *value);
}

int Paint(const Args&) {
  Search search;
  EnumWindows(FindProgramWindow, reinterpret_cast<LPARAM>(&search));
  if (search.found == nullptr) return Fail("no window captioned \"Tarnwick Test\"");
  const double painted = RepaintTime(search.found);
  if (painted < 0) return Fail("the window did not repaint within 5 s");
  std::printf("repainted_ms=%.0f\n", painted);
  return 0;
}

constexpr char kNoArguments[] = "takes no arguments";
constexpr char kWrongArguments[] = "unknown command or wrong number of arguments";

const CtlCommand kCommands[] = {
    {"status", 0, 0, "status", "plugged, output, loads, serial and request count on one line",
     [](const Args& args) { return Drive(args, TWSIM_OP_STATUS); }},
    {"log", 0, 0, "log", "the last calls on the controller device, oldest first, in hex",
     [](const Args& args) { return Drive(args, TWSIM_OP_STATUS); }},
    {"serial", 1, 1, "serial N", "serial number to report from now on (decimal or 0x hex)",
     [](const Args& args) { return DriveWithNumber(args, TWSIM_OP_SERIAL); }},
    {"unplug", 0, 0, "unplug", "the device name disappears; transfers on open handles fail",
     [](const Args& args) { return Drive(args, TWSIM_OP_UNPLUG); }},
    {"plug", 0, 0, "plug", "the device is back, powered up afresh (output 0)",
     [](const Args& args) { return Drive(args, TWSIM_OP_PLUG); }},
    {"fail", 1, 1, "fail N", "the next N calls fail",
     [](const Args& args) { return DriveWithNumber(args, TWSIM_OP_FAIL); }},
    {"short", 1, 2, "short N [BYTES]",
     "the next N calls reply with only BYTES bytes (0-7, default 4)",
     [](const Args& args) {
       const auto calls = ParseNumber(args[1]);
       const auto bytes = args.size() == 3
                              ? ParseNumber(args[2])
                              : std::optional<std::uint32_t>(TWSIM_DEFAULT_SHORT_BYTES);
       if (!calls) return Refuse(args, "needs a count of calls");
       if (!bytes || *bytes >= 8) return Refuse(args, "takes 0 to 7 bytes");
       return Drive(args, TWSIM_OP_SHORT, *calls, *bytes);
     }},
    {"hang", 1, 2, "hang N [deaf]",
     "the next N calls stay pending until cancelled; deaf: the cancel is\n"
     "                   ignored too (until the handle closes). hang 0: no more, and every\n"
     "                   held call fails now",
     [](const Args& args) {
       if (args.size() == 3 && args[2] != "deaf") return Refuse(args, kWrongArguments);
       const auto calls = ParseNumber(args[1]);
       if (!calls) return Refuse(args, "needs a count of calls");
       return Drive(args, TWSIM_OP_HANG, *calls, args.size() == 3 ? 1 : 0);
     }},
    {"slow", 2, 2, "slow N MS",
     "the next N calls are carried out and completed MS ms (up to 60000)\n"
     "                   after they arrive, whatever a cancel or a close says meanwhile",
     [](const Args& args) {
       const auto calls = ParseNumber(args[1]);
       const auto ms = ParseNumber(args[2]);
       if (!calls) return Refuse(args, "needs a count of calls");
       if (!ms || *ms > TWSIM_MAX_SLOW_MS) return Refuse(args, "takes 0 to 60000 milliseconds");
       return Drive(args, TWSIM_OP_SLOW, *calls, *ms);
     }},
    {"window", 0, 0, "window",
     "the Tarnwick Test window's controls and their texts as one JSON line",
     [](const Args&) { return ReadWindow(); }, kNoArguments},
    {"client", 0, 0, "client", "where the window's client area is on the screen: X Y WIDTH HEIGHT",
     [](const Args&) { return ReadClientArea(); }, kNoArguments},
    {"key", 1, 1, "key VK",
     "sends key-down VK to the window's entry just after a poll, and prints\n"
     "                   how long the window took, the driver's counts of what it got, and\n"
     "                   how long the window then took to repaint itself",
     [](const Args& args) {
       const auto key = ParseNumber(args[1]);
       if (!key || *key == 0 || *key > 0xFE) {
         return Refuse(args, "needs one virtual-key code, 1 to 254");
       }
       return TimeEvent(false, *key);
     },
     "needs one virtual-key code, 1 to 254"},
    {"tick", 0, 0, "tick", "the same for one poll of the window's timer",
     [](const Args&) { return TimeEvent(true, 0); }, kNoArguments},
    {"paint", 0, 0, "paint", "invalidates the window and prints how long it took to paint itself",
     Paint, kNoArguments},
};

std::string Usage() {
  std::string usage = kUsageHead;
  usage += tarnwick::sim::CommandHelp(kCommands);
  usage += '\n';
  return usage;
}

int Run(const Args& args) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    std::fputs(Usage().c_str(), args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  const CtlCommand* command = tarnwick::sim::FindCommand(kCommands, args[0]);
  if (command == nullptr) return Refuse(args, kWrongArguments);
  const std::size_t arguments = args.size() - 1;
  if (arguments < command->minArguments || arguments > command->maxArguments) {
    return Refuse(args, command->arityError != nullptr ? command->arityError : kWrongArguments);
  }
  return command->run(args);
}

}  // namespace

int main(int argc, char** argv) {
  // Plain LF line ends, so shell scripts read the output as they would a Linux tool's.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const int code = Run(args);
  std::fflush(stdout);
  return code;
}
