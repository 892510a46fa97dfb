// tarnwick: sets the converter or reads the serial number from a command line, through the
// window's own link and write, with exit statuses and JSON that scripts can act on.
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "control/serial_poll.hpp"
#include "control/setpoint_write.hpp"
#include "link/controller_link.hpp"
#include "ui/renderings.hpp"
#include "ui/state_json.hpp"
#include "window_running.hpp"

namespace {

using tarnwick::link::ControllerLink;
using tarnwick::ui::JsonString;

constexpr int kExitDone = 0;
constexpr int kExitNoController = 1;
constexpr int kExitNoAnswer = 2;
constexpr int kExitUsage = 64;     // sysexits' EX_USAGE: clear of the shells' own statuses
constexpr int kExitInternal = 70;  // EX_SOFTWARE: the tool itself failed

constexpr double kFullScaleMilliamps = 100.0;

constexpr char kUsage[] =
    "Usage: tarnwick [--json] set VALUE\n"
    "       tarnwick [--json] serial\n"
    "Sets the current-driver board's output, or reads the USB I/O controller's serial number,\n"
    "the way the Tarnwick Test window does.\n"
    "\n"
    "  set VALUE   VALUE is counts, 0 to 2047, or milliamps with the suffix mA, 0mA to 100mA\n"
    "              (2047 counts are 100 mA). Plain digits with at most one '.': a fraction is\n"
    "              rounded to whole counts, halves to even. Prints the counts, the milliamps\n"
    "              and the controller's serial number.\n"
    "  serial      prints the controller's serial number\n"
    "\n"
    "Options:\n"
    "  --json      print one JSON object on standard output instead of text\n"
    "  --version   print the version and exit\n"
    "  --help      print this help and exit\n"
    "\n"
    "Exit status: 0 done; 1 no controller is registered; 2 the registered controller did not\n"
    "open or did not answer; 64 a VALUE or a usage refused (nothing is sent); 70 the tool\n"
    "itself failed (out of memory).\n"
    "The window writes its own set-point again every second: close it first.\n";

struct Failure {
  int exit;
  std::string message;
};

struct Request {
  bool json = false;
  bool help = false;
  bool version = false;
  std::string command;
  std::vector<std::string> operands;
};

std::optional<Failure> ParseArguments(int argc, char** argv, Request& request) {
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!optionsEnd && arg == "--") {
      optionsEnd = true;
    } else if (!optionsEnd && arg == "--json") {
      request.json = true;
    } else if (!optionsEnd && (arg == "--help" || arg == "-h")) {
      request.help = true;
    } else if (!optionsEnd && arg == "--version") {
      request.version = true;
    } else if (!optionsEnd && arg.rfind("--", 0) == 0) {
      return Failure{kExitUsage, "unknown option " + JsonString(arg) + " (try --help)"};
    } else if (request.command.empty()) {
      request.command = arg;
    } else {
      // "-1" lands here as a value, to be refused as one rather than as an unknown option.
      request.operands.push_back(arg);
    }
  }
  return std::nullopt;
}

constexpr char kValueForms[] = "counts (0 to 2047) or milliamps (0mA to 100mA)";

// Strict where the window's entry is forgiving: the whole text must be plain digits with at
// most one '.', then optionally "mA"; no sign, blank, exponent or anything after it.
std::optional<Failure> ParseCounts(const std::string& text, int& counts) {
  std::string_view number = text;
  const bool milliamps = number.size() >= 2 && number.substr(number.size() - 2) == "mA";
  if (milliamps) number.remove_suffix(2);
  bool plain = number.find_first_not_of("0123456789.") == std::string_view::npos &&
               number.find_first_of("0123456789") != std::string_view::npos &&
               number.find('.') == number.rfind('.');
  double value = 0.0;
  if (plain) {
    const char* last = number.data() + number.size();
    const auto [end, error] = std::from_chars(number.data(), last, value, std::chars_format::fixed);
    plain = end == last && (error == std::errc{} || error == std::errc::result_out_of_range);
    // Beyond a double either way: too large if a digit before the point is not 0, else 0.
    if (error == std::errc::result_out_of_range) {
      const std::string_view whole = number.substr(0, number.find('.'));
      value = whole.find_first_not_of('0') == std::string_view::npos ? 0.0 : 1e300;
    }
  }
  if (!plain) {
    return Failure{kExitUsage,
                   "VALUE " + JsonString(text) + " is not a plain number of " + kValueForms};
  }
  if (milliamps ? value > kFullScaleMilliamps : value > tarnwick::control::kFullScale) {
    return Failure{kExitUsage,
                   "VALUE " + JsonString(text) + " is out of range: " +
                       (milliamps ? "milliamps go from 0mA to 100mA" : "counts go from 0 to 2047")};
  }
  const double exact =
      milliamps ? value * tarnwick::control::kFullScale / kFullScaleMilliamps : value;
  const auto bytes = tarnwick::control::SetpointBytes(exact);  // the window's rounding
  counts = bytes.low | bytes.high << 8;
  return std::nullopt;
}

// The window's side of a write, as far as the write looks at it: the text, nothing shown.
class FixedText final : public tarnwick::control::SetpointWindow {
 public:
  explicit FixedText(std::string text) : text_(std::move(text)) {}
  std::string SetpointText() const override { return text_; }
  void SetSerialCaption(const std::string&) override {}
  void SetSetpointColour(std::uint32_t) override {}

 private:
  std::string text_;
};

std::string PathOf(const ControllerLink& link) {
  const std::string& path = link.DevicePath();
  return path.substr(0, path.find('\0'));
}

// What the last open says: nothing when it worked. No registry value is "no controller";
// a registered device that did not open is one that does not answer.
std::optional<Failure> OpenFailure(const ControllerLink& link) {
  const std::string& status = link.StatusText();
  if (status.empty()) return std::nullopt;
  const std::string path = PathOf(link);
  if (status != tarnwick::link::kNoControllerText) return Failure{kExitNoAnswer, status};
  if (path.empty()) return Failure{kExitNoController, status};
  return Failure{kExitNoAnswer,
                 "the controller at " + path + " did not open: check the USB connection"};
}

std::optional<Failure> Write(ControllerLink& link, int counts) {
  FixedText window(std::to_string(counts));
  const std::uint64_t failedBefore = link.FailedTransfers();
  tarnwick::control::UpdateDAC(link, window);
  if (auto failure = OpenFailure(link)) return failure;
  if (link.FailedTransfers() != failedBefore) {
    return Failure{kExitNoAnswer, "the controller at " + PathOf(link) + " did not answer while " +
                                      std::to_string(counts) +
                                      " counts were written: the output is uncertain"};
  }
  return std::nullopt;
}

std::optional<Failure> ReadSerial(ControllerLink& link, std::uint32_t& serial) {
  link.OpenDevice();
  const std::uint64_t failedBefore = link.FailedTransfers();
  {
    tarnwick::link::DeviceSession session(link);
    serial = tarnwick::control::ReadSerialNumber(link);
  }
  if (auto failure = OpenFailure(link)) return failure;
  if (link.FailedTransfers() != failedBefore) {
    return Failure{kExitNoAnswer, "the controller at " + PathOf(link) +
                                      " did not answer the serial number request"};
  }
  return std::nullopt;
}

class Reporter {
 public:
  explicit Reporter(bool json) : json_(json) {}

  void Warn(const std::string& text) {
    std::fprintf(stderr, "tarnwick: warning: %s\n", text.c_str());
    warning_ = text;
  }
  int Fail(const Failure& failure) {
    std::fprintf(stderr, "tarnwick: %s\n", failure.message.c_str());
    if (json_) {
      Json("{\"ok\":false,\"exit\":" + std::to_string(failure.exit) +
           ",\"error\":" + JsonString(failure.message) + WarningField() + "}");
    }
    return failure.exit;
  }
  int Set(int counts, std::uint32_t serial) {
    const std::string milliamps = tarnwick::ui::MilliampText(counts);
    if (json_) {
      const std::string number = milliamps.substr(0, milliamps.size() - 2);
      Json("{\"ok\":true,\"counts\":" + std::to_string(counts) + ",\"mA\":" + JsonString(number) +
           ",\"serial\":" + std::to_string(serial) + WarningField() + "}");
    } else {
      std::printf("set %d counts (%s) on the controller with serial number %s\n", counts,
                  milliamps.c_str(), std::to_string(serial).c_str());
    }
    return kExitDone;
  }
  int Serial(std::uint32_t serial) {
    if (json_) {
      Json("{\"ok\":true,\"serial\":" + std::to_string(serial) + WarningField() + "}");
    } else {
      std::printf("%s\n", std::to_string(serial).c_str());
    }
    return kExitDone;
  }

 private:
  static void Json(const std::string& object) { std::printf("%s\n", object.c_str()); }
  std::string WarningField() const {
    return warning_ ? ",\"warning\":" + JsonString(*warning_) : "";
  }

  bool json_;
  std::optional<std::string> warning_;
};

int Run(int argc, char** argv) {
  // No window waits on us: take turns with a crowd of other programs for up to 2 s.
  tarnwick::platform::SetSessionWait(std::chrono::seconds(2));
  Request request;
  const std::optional<Failure> usage = ParseArguments(argc, argv, request);
  Reporter report(request.json);
  if (usage) return report.Fail(*usage);
  if (request.help) {
    std::fputs(kUsage, stdout);
    return kExitDone;
  }
  if (request.version) {
    std::puts("tarnwick " TARNWICK_VERSION);
    return kExitDone;
  }

  if (request.command == "set") {
    if (request.operands.size() != 1) {
      return report.Fail({kExitUsage, "set takes one VALUE: " + std::string(kValueForms)});
    }
    int counts = 0;
    if (auto refused = ParseCounts(request.operands[0], counts)) return report.Fail(*refused);
    if (tarnwick::app::WindowRunning()) {
      report.Warn(
          "the Tarnwick Test window is running: it writes its own set-point again every "
          "second and will undo this one");
    }
    std::string status;
    ControllerLink link(tarnwick::platform::SystemOs(), status);
    std::uint32_t serial = 0;
    if (auto failure = Write(link, counts)) return report.Fail(*failure);
    if (auto failure = ReadSerial(link, serial)) return report.Fail(*failure);
    return report.Set(counts, serial);
  }
  if (request.command == "serial") {
    if (!request.operands.empty()) return report.Fail({kExitUsage, "serial takes no VALUE"});
    std::string status;
    ControllerLink link(tarnwick::platform::SystemOs(), status);
    std::uint32_t serial = 0;
    if (auto failure = ReadSerial(link, serial)) return report.Fail(*failure);
    return report.Serial(serial);
  }
  if (request.command.empty()) return report.Fail({kExitUsage, "no command (try --help)"});
  return report.Fail(
      {kExitUsage, "unknown command " + JsonString(request.command) + " (try --help)"});
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (...) {
    // Only memory exhaustion gets here; the device, if opened, closed on the way out.
    std::fputs("tarnwick: out of memory\n", stderr);
    return kExitInternal;
  }
}
