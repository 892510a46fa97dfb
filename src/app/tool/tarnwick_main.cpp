// tarnwick: sets the converter or reads the serial number from a command line, through the
// window's own link and write, with exit statuses and JSON that scripts can act on.
#include <getopt.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "control/serial_poll.hpp"
#include "control/setpoint_write.hpp"
#include "host.hpp"
#include "link/controller_link.hpp"
#include "mark/setpoint_mark.hpp"
#include "serve.hpp"
#include "text/json_string.hpp"
#include "ui/renderings.hpp"
#include "utf8_arguments.hpp"

namespace {

using tarnwick::link::ControllerLink;
using tarnwick::text::JsonString;

constexpr int kExitDone = 0;
constexpr int kExitNoController = 1;
constexpr int kExitNoAnswer = 2;
constexpr int kExitUsage = 64;     // sysexits' EX_USAGE: clear of the shells' own statuses
constexpr int kExitInternal = 70;  // EX_SOFTWARE: the tool itself failed
constexpr int kExitOutput = 74;    // EX_IOERR: the report could not be written

constexpr char kUsage[] =
    "Usage: tarnwick [--json] set [--dry-run] VALUE\n"
    "       tarnwick [--json] serial\n"
    "       tarnwick [--json] status\n"
    "       tarnwick serve [--listen HOST:PORT]\n"
    "Sets the current-driver board's output, or reads the USB I/O controller's serial number,\n"
    "the way the Tarnwick Test window does.\n"
    "\n"
    "  set VALUE   VALUE is counts, 0 to 2047, or milliamps with the suffix mA, 0mA to 100mA\n"
    "              (2047 counts are 100 mA). Plain digits with at most one '.': a fraction is\n"
    "              rounded to whole counts, halves to even. Prints the counts, the milliamps\n"
    "              and the controller's serial number. The board cannot report its set-point\n"
    "              back: what was written is all there is to know.\n"
    "  serial      prints the controller's serial number\n"
    "  status      prints where the controller was looked for, the device path found, whether\n"
    "              it opened, its serial number and whether a window runs\n"
    "  serve       runs as a SCPI instrument on a TCP port (default 127.0.0.1:5025) until\n"
    "              Ctrl+C, holding the set-point as the window does (see tarnwick(1))\n"
    "\n"
    "Options:\n"
    "  --json      print exactly one JSON object on standard output instead of text\n"
    "  --dry-run   with set: convert and check VALUE and print it; open and send nothing\n"
    "  --listen HOST:PORT  with serve: the address to listen on ([::1]:5025 for IPv6; port 0\n"
    "              picks a free one)\n"
    "  --version   print the version and exit\n"
    "  --help      print this help and exit (also -h, -? and /?)\n"
    "\n"
    "Exit status: 0 done; 1 no controller is registered; 2 the registered controller did not\n"
    "open (or another program held it) or did not answer; 64 a VALUE or a usage refused\n"
    "(nothing is sent); 70 the tool itself failed (out of memory, an internal error); 74\n"
    "standard output could not be written. serve: 2 the address is taken, 3 another program\n"
    "holds the set-point (4 its mark is refused).\n"
    "The window writes its own set-point again every second: close it first.\n";

// The first of SIGTERM, SIGINT and SIGHUP to come: the tool then ends as soon as the transfer
// in flight has (each is bounded), never inside a session's bookkeeping, and reports it.
volatile std::sig_atomic_t stopSignal = 0;
// Whether any transfer went out: an interrupted write is uncertain only then.
bool transferSent = false;

extern "C" void OnStopSignal(int number) {
  if (stopSignal == 0) stopSignal = number;
}

void CatchStopSignals() {
  for (const int number : {SIGTERM, SIGINT}) std::signal(number, OnStopSignal);
#ifdef SIGHUP
  std::signal(SIGHUP, OnStopSignal);
#endif
}

const char* SignalName(int number) {
#ifdef SIGHUP
  if (number == SIGHUP) return "SIGHUP";
#endif
  return number == SIGINT ? "SIGINT" : "SIGTERM";
}

// The system's seam, cut short by a stop signal: no device opens and no transfer starts after
// it, and the session in hand closes as usual.
class StoppableOs final : public tarnwick::platform::Os {
 public:
  explicit StoppableOs(Os& inner) : inner_(inner) {}

  std::int32_t regOpenKey(tarnwick::platform::RegKey root, const std::string& subkey,
                          std::uint32_t options, std::uint32_t access,
                          tarnwick::platform::RegKey& result) override {
    return inner_.regOpenKey(root, subkey, options, access, result);
  }
  std::int32_t regQueryValue(tarnwick::platform::RegKey key, const std::string& valueName,
                             std::uint32_t& type, std::uint8_t* data,
                             std::uint32_t& size) override {
    return inner_.regQueryValue(key, valueName, type, data, size);
  }
  std::int32_t regCloseKey(tarnwick::platform::RegKey key) override {
    return inner_.regCloseKey(key);
  }
  tarnwick::platform::Handle createFile(const std::string& path, std::uint32_t access,
                                        std::uint32_t share, std::uint32_t creation,
                                        std::uint32_t flags) override {
    if (stopSignal != 0) return tarnwick::platform::kInvalidHandle;
    return inner_.createFile(path, access, share, creation, flags);
  }
  bool deviceIoControl(tarnwick::platform::Handle handle, std::uint32_t code,
                       const std::uint8_t* in, std::uint32_t inLength, std::uint8_t* out,
                       std::uint32_t outLength, std::uint32_t& bytesReturned) override {
    bytesReturned = 0;
    if (stopSignal != 0) return false;
    transferSent = true;
    return inner_.deviceIoControl(handle, code, in, inLength, out, outLength, bytesReturned);
  }
  bool closeHandle(tarnwick::platform::Handle handle) override {
    return inner_.closeHandle(handle);
  }
  std::int32_t lastError() override { return inner_.lastError(); }
  std::string errorText(std::int32_t number) override { return inner_.errorText(number); }
  std::int32_t outOfMemoryError() override { return inner_.outOfMemoryError(); }

 private:
  Os& inner_;
};

tarnwick::platform::Os& DeviceOs() {
  static StoppableOs os(tarnwick::platform::SystemOs());
  return os;
}

// What became of the board's output, for every report that is not a plain success.
enum class Output { kUntouched, kSet, kUncertain };

const char* OutputName(Output output) {
  switch (output) {
    case Output::kSet:
      return "set";
    case Output::kUncertain:
      return "uncertain";
    case Output::kUntouched:
      break;
  }
  return "untouched";
}

struct Failure {
  int exit;
  std::string message;
};

struct Request {
  bool json = false;
  bool help = false;
  bool version = false;
  bool dryRun = false;
  bool hasCommand = false;  // an empty word is a command too, and refused as one
  std::optional<std::string> listen;
  std::string command;
  std::vector<std::string> operands;
};

// Read before anything can fail, so even a run that fails at once answers in JSON.
bool JsonRequested(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

std::optional<Failure> ParseArguments(int argc, char** argv, Request& request) {
  enum : int { kWord = 1, kJson = 256, kVersion, kDryRun, kListen };
  static const option kOptions[] = {
      {"json", no_argument, nullptr, kJson},           {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},     {"dry-run", no_argument, nullptr, kDryRun},
      {"listen", required_argument, nullptr, kListen}, {nullptr, 0, nullptr, 0}};
  const auto word = [&request](const std::string& arg) {
    if (!request.hasCommand) {
      request.hasCommand = true;
      request.command = arg;
    } else {
      // "-1" lands here as a value, to be refused as one rather than as an unknown option.
      request.operands.push_back(arg);
    }
  };
  opterr = 0;  // its messages are ours to word
  // '-': every word in its place, so options may follow the command. Long options only, so a
  // word with one dash is never taken apart into letters; and only whole names count.
  int longIndex = 0;
  for (int option; (option = ::getopt_long_only(argc, argv, "-", kOptions, &longIndex)) != -1;) {
    const std::string arg = argv[optind - 1];
    if (option == kListen) {
      // "--listen VALUE" or "--listen=VALUE"; with one dash both stay words, as any such word.
      const bool apart = optarg == argv[optind - 1];
      const std::string name = apart ? argv[optind - 2] : arg.substr(0, arg.find('='));
      if (name.rfind("--", 0) != 0) {
        word(apart ? name : arg);
        if (apart) word(optarg);
      } else if (name != "--listen") {
        return Failure{kExitUsage, "unknown option " + JsonString(name) + " (try --help)"};
      } else {
        request.listen = optarg;
      }
    } else if (option == '?' && optopt == kListen) {
      return Failure{kExitUsage, "--listen takes HOST:PORT"};
    } else if (arg == "-h" || arg == "-?" || arg == "/?") {
      // "/?" and "-?" are the help a Windows user asks for first.
      request.help = true;
    } else if (option == kWord || arg.rfind("--", 0) != 0) {
      word(arg);
    } else if (option == '?' || arg != std::string("--") + kOptions[longIndex].name) {
      return Failure{kExitUsage, "unknown option " + JsonString(arg) + " (try --help)"};
    } else {
      switch (option) {
        case kJson:
          request.json = true;
          break;
        case 'h':
          request.help = true;
          break;
        case kVersion:
          request.version = true;
          break;
        default:
          request.dryRun = true;
          break;
      }
    }
  }
  for (int i = optind; i < argc; ++i) word(argv[i]);  // after "--"
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
  if (milliamps ? value > tarnwick::control::kFullScaleMilliamps
                : value > tarnwick::control::kFullScale) {
    return Failure{kExitUsage,
                   "VALUE " + JsonString(text) + " is out of range: " +
                       (milliamps ? "milliamps go from 0mA to 100mA" : "counts go from 0 to 2047")};
  }
  const double exact =
      milliamps ? value * tarnwick::control::kFullScale / tarnwick::control::kFullScaleMilliamps
                : value;
  counts = tarnwick::control::SetpointBytes(exact).Counts();  // the window's rounding
  return std::nullopt;
}

// "50.0": the milliamps as the window shows them, without the unit, a JSON number as it is.
std::string MilliampNumber(int counts) {
  const std::string text = tarnwick::ui::MilliampText(counts);
  return text.substr(0, text.size() - 2);
}

// The window's side of a write, as far as the write looks at it: the text, nothing shown.
// The text is read just before the first transfer, so from then on the output may change.
class FixedText final : public tarnwick::control::SetpointWindow {
 public:
  FixedText(std::string text, Output& output) : text_(std::move(text)), output_(output) {}
  std::string SetpointText() const override {
    std::string text = text_;
    output_ = Output::kUncertain;
    return text;
  }
  void SetSerialCaption(const std::string&) override {}
  void SetSetpointColour(std::uint32_t) override {}

 private:
  std::string text_;
  Output& output_;
};

// The system's words for a failure, without a closing full stop.
std::string Reason(std::int32_t error) {
  std::string text = DeviceOs().errorText(error);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : text;
}

// " (reason)" after a transfer that failed, where the system gave one.
std::string TransferReason(const ControllerLink& link) {
  return link.TransferError() != 0 ? " (" + Reason(link.TransferError()) + ")" : "";
}

// What the last open says: nothing when it worked. No registry value is "no controller"
// (saying where it was looked for); a registered device that did not open is one that does
// not answer.
std::optional<Failure> OpenFailure(const ControllerLink& link) {
  const std::string& status = link.StatusText();
  if (status.empty()) return std::nullopt;
  const std::string& path = link.DevicePath();
  if (status != tarnwick::link::kNoControllerText) return Failure{kExitNoAnswer, status};
  if (path.empty()) {
    if (std::string distrust = tarnwick::app::RegistryDistrust(); !distrust.empty()) {
      distrust[0] = 'T';  // "the registry at ..." begins a sentence here
      return Failure{kExitNoController, status + " " + distrust + ": nothing is read from it."};
    }
    return Failure{kExitNoController,
                   status + " Nothing is registered at " + tarnwick::app::RegistryLocation() + "."};
  }
  if (const std::string distrust = tarnwick::app::SessionLockDistrust(); !distrust.empty()) {
    return Failure{kExitNoAnswer, distrust + ": nothing was sent"};
  }
  if (tarnwick::app::BusyError(link.OpenError())) {
    return Failure{kExitNoAnswer, "the controller at " + path + " is in use by another program (" +
                                      Reason(link.OpenError()) + "): nothing was sent"};
  }
  return Failure{kExitNoAnswer, "the controller at " + path + " did not open (" +
                                    Reason(link.OpenError()) + "): check the USB connection"};
}

// A connection the controller turned away at its limit of clients: it read nothing.
std::optional<Failure> RefusedConnection(const ControllerLink& link) {
  if (!tarnwick::app::RefusedError(link.TransferError())) return std::nullopt;
  return Failure{kExitNoAnswer, "the controller at " + link.DevicePath() +
                                    " refused the connection (too many clients): nothing was sent"};
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
    if (auto refused = RefusedConnection(link)) return refused;
    return Failure{kExitNoAnswer, "the controller at " + link.DevicePath() +
                                      " did not answer the serial number request" +
                                      TransferReason(link)};
  }
  return std::nullopt;
}

class Reporter {
 public:
  explicit Reporter(bool json) noexcept : json_(json) {}

  // What became of the board's output so far, and the counts being written.
  Output output = Output::kUntouched;
  int counts = 0;

  bool Json() const { return json_; }
  void Warn(const std::string& text) {
    std::fprintf(stderr, "tarnwick: warning: %s\n", text.c_str());
    warning_ = text;
  }
  // fields: more JSON members, each with its leading comma.
  int Fail(const Failure& failure, const std::string& fields = "") {
    if (stopSignal != 0) return Stopped();
    std::fprintf(stderr, "tarnwick: %s\n", failure.message.c_str());
    if (json_) {
      Object("{\"ok\":false,\"exit\":" + std::to_string(failure.exit) +
             ",\"error\":" + JsonString(failure.message) + ",\"output\":\"" + OutputName(output) +
             "\"" + fields + WarningField() + "}");
    }
    return failure.exit;
  }
  int Succeed(const std::string& fields, const std::string& text) {
    if (stopSignal != 0) return Stopped();
    if (json_) {
      Object("{\"ok\":true" + fields + WarningField() + "}");
    } else {
      Print(text);
    }
    return kExitDone;
  }
  // Text on standard output; a write that fails is remembered for Finish.
  void Print(const std::string& text) {
    if (std::fputs(text.c_str(), stdout) < 0 && outputError_ == 0) outputError_ = errno;
  }

  // Standard output's fate decides the end: a report that never arrived is no success.
  int Finish(int exit) noexcept {
    if (std::fflush(stdout) != 0 && outputError_ == 0) outputError_ = errno;
    if (outputError_ == 0 && std::ferror(stdout)) outputError_ = EIO;
    if (outputError_ == 0) return exit;
    std::fprintf(stderr, "tarnwick: standard output could not be written (%s); ",
                 std::strerror(outputError_));
    PrintOutcome();
    return exit == kExitDone ? kExitOutput : exit;
  }

  // The last word when the tool itself failed: it allocates nothing it cannot do without.
  int Internal(const char* what, const char* detail) noexcept {
    std::fprintf(stderr, "tarnwick: %s%s%s%s; ", what, *detail ? " (" : "", detail,
                 *detail ? ")" : "");
    PrintOutcome();
    if (json_ && !printed_) {
      std::printf("{\"ok\":false,\"exit\":%d,\"error\":", kExitInternal);
      try {
        std::fputs(JsonString(*detail ? std::string(what) + ": " + detail : what).c_str(), stdout);
      } catch (...) {
        std::printf("\"%s\"", what);  // what is one of this file's plain texts
      }
      std::printf(",\"output\":\"%s\"}\n", OutputName(output));
      printed_ = true;
    }
    return Finish(kExitInternal);
  }

 private:
  // Ended by a signal: told like any failure, with the shells' status for it.
  int Stopped() {
    const int number = stopSignal;
    if (output == Output::kUncertain && !transferSent) output = Output::kUntouched;
    std::string message = std::string("stopped by ") + SignalName(number);
    if (output == Output::kUntouched) {
      message += " before anything was sent";
    } else if (output == Output::kSet) {
      message += " after the value was set";
    } else {
      message += " while the value was being written: the output is uncertain";
    }
    stopSignal = 0;  // this report is the last word
    Fail({128 + number, message});
    stopSignal = number;
    return 128 + number;
  }

  void Object(const std::string& object) {
    if (printed_) return;  // one object per run, whatever happens after it
    Print(object + "\n");
    printed_ = true;
  }
  std::string WarningField() const {
    return warning_ ? ",\"warning\":" + JsonString(*warning_) : "";
  }
  void PrintOutcome() const noexcept {
    switch (output) {
      case Output::kUntouched:
        std::fputs("the board's output was not changed\n", stderr);
        break;
      case Output::kSet:
        std::fprintf(stderr, "the value was set: %d counts\n", counts);
        break;
      case Output::kUncertain:
        std::fputs("the board's output may have changed\n", stderr);
        break;
    }
  }

  bool json_;
  bool printed_ = false;
  int outputError_ = 0;
  std::optional<std::string> warning_;
};

using tarnwick::app::MarkReading;

// The holder's kind as JSON names it.
const char* HolderKey(tarnwick::app::Holder holder) {
  switch (holder) {
    case tarnwick::app::Holder::kScriptDriver:
      return "script-driver";
    case tarnwick::app::Holder::kServer:
      return "server";
    case tarnwick::app::Holder::kWindow:
      break;
  }
  return "window";
}

std::string WindowWarning(const MarkReading& mark) {
  if (mark.state != MarkReading::State::kHeld) return {};
  return tarnwick::app::HolderText(mark) +
         " is running: it writes its own set-point again every second and will undo this one";
}

std::string CountsFields(int counts) {
  return ",\"counts\":" + std::to_string(counts) + ",\"mA\":" + MilliampNumber(counts);
}

int Set(const Request& request, Reporter& report) {
  if (request.operands.size() != 1) {
    return report.Fail({kExitUsage, "set takes one VALUE: " + std::string(kValueForms)});
  }
  int counts = 0;
  if (auto refused = ParseCounts(request.operands[0], counts)) return report.Fail(*refused);
  const std::string milliamps = tarnwick::ui::MilliampText(counts);
  if (request.dryRun) {
    return report.Succeed(
        CountsFields(counts) + ",\"dry_run\":true",
        std::to_string(counts) + " counts (" + milliamps + "): checked, not sent (dry run)\n");
  }
  // A mark someone else could have made or can rewrite may hide a window that undoes this
  // write, or fake one: nothing is sent past it. Under an untrusted registry the registry's own
  // refusal says more, and the link gives it.
  const MarkReading mark = tarnwick::app::ReadMark();
  if (mark.state == MarkReading::State::kUnknown) {
    if (tarnwick::app::RegistryDistrust().empty()) {
      return report.Fail({kExitNoAnswer, mark.reason + ": nothing was sent"});
    }
  } else if (const std::string warning = WindowWarning(mark); !warning.empty()) {
    report.Warn(warning);
  }

  std::string status;
  ControllerLink link(DeviceOs(), status);
  report.counts = counts;
  FixedText window(std::to_string(counts), report.output);
  const std::uint64_t failedBefore = link.FailedTransfers();
  tarnwick::control::UpdateDAC(link, window);
  if (auto failure = OpenFailure(link)) {
    report.output = Output::kUntouched;  // nothing went out without an open device
    return report.Fail(*failure);
  }
  if (link.FailedTransfers() != failedBefore) {
    if (auto refused = RefusedConnection(link)) {
      report.output = Output::kUntouched;
      return report.Fail(*refused);
    }
    return report.Fail({kExitNoAnswer, "the controller at " + link.DevicePath() +
                                           " did not answer while " + std::to_string(counts) +
                                           " counts were written" + TransferReason(link) +
                                           ": the output is uncertain"});
  }
  report.output = Output::kSet;

  std::uint32_t serial = 0;
  if (auto failure = ReadSerial(link, serial)) {
    failure->message =
        "set " + std::to_string(counts) + " counts (" + milliamps + "), but " + failure->message;
    return report.Fail(*failure, CountsFields(counts));
  }
  return report.Succeed(CountsFields(counts) + ",\"serial\":" + std::to_string(serial),
                        "set " + std::to_string(counts) + " counts (" + milliamps +
                            ") on the controller with serial number " + std::to_string(serial) +
                            "\n");
}

int Serial(Reporter& report) {
  std::string status;
  ControllerLink link(DeviceOs(), status);
  std::uint32_t serial = 0;
  if (auto failure = ReadSerial(link, serial)) return report.Fail(*failure);
  return report.Succeed(",\"serial\":" + std::to_string(serial), std::to_string(serial) + "\n");
}

// What the tool finds, told in full whatever the outcome; the exit status as for set.
int Status(Reporter& report) {
  std::string status;
  ControllerLink link(DeviceOs(), status);
  std::uint32_t serial = 0;
  const std::optional<Failure> failure = ReadSerial(link, serial);
  const std::string registry = tarnwick::app::RegistryLocation();
  const std::string& device = link.DevicePath();
  const bool opened = link.StatusText().empty();
  const MarkReading mark = tarnwick::app::ReadMark();
  const bool window = mark.state == MarkReading::State::kHeld;
  std::string windowText = "none running";
  if (window) {
    windowText = "running (" + tarnwick::app::HolderName(mark.holder) +
                 (mark.process > 0 ? ", process " + std::to_string(mark.process) : "") +
                 "): it writes its own set-point again every second";
  } else if (mark.state == MarkReading::State::kUnknown) {
    windowText = "unknown (" + mark.reason + ")";
  }

  std::string openedText = "no";
  const std::string lockDistrust = opened ? "" : tarnwick::app::SessionLockDistrust();
  const std::string registryDistrust = device.empty() ? tarnwick::app::RegistryDistrust() : "";
  if (opened) {
    openedText = "yes";
  } else if (!lockDistrust.empty()) {
    openedText = "no (" + lockDistrust + ")";
  } else if (link.StatusText() != tarnwick::link::kNoControllerText) {
    openedText = "no (" + link.StatusText() + ")";
  } else if (link.OpenError() != 0) {
    openedText = "no (" + Reason(link.OpenError()) + ")";
  }
  const std::string serialText = failure ? "none (no answer)" : std::to_string(serial);
  const std::string deviceText = !device.empty()            ? device
                                 : registryDistrust.empty() ? std::string("none registered")
                                                            : "unknown (" + registryDistrust + ")";
  const std::string text =
      "registry: " + registry + "\ndevice: " + deviceText + "\nopened: " + openedText + "\n" +
      (opened ? "serial: " + serialText + "\n" : "") + "window: " + windowText + "\n";
  const std::string fields =
      ",\"registry\":" + JsonString(registry) +
      ",\"device\":" + (device.empty() ? "null" : JsonString(device)) +
      ",\"opened\":" + (opened ? "true" : "false") +
      ",\"serial\":" + (failure ? "null" : std::to_string(serial)) + ",\"window\":" +
      (window                                       ? "true"
       : mark.state == MarkReading::State::kUnknown ? "null"
                                                    : "false") +
      (window ? ",\"holder\":" + JsonString(HolderKey(mark.holder)) : "") +
      (mark.state == MarkReading::State::kUnknown ? ",\"window_unknown\":" + JsonString(mark.reason)
                                                  : "");
  if (!failure) return report.Succeed(fields, text);
  if (!report.Json()) report.Print(text);
  return report.Fail(*failure, fields);
}

int Execute(int argc, char** argv, Reporter& report) {
  Request request;
  if (auto usage = ParseArguments(argc, argv, request)) return report.Fail(*usage);
  if (request.help) {
    return report.Succeed(",\"help\":" + JsonString(kUsage), kUsage);
  }
  if (request.version) {
    return report.Succeed(",\"version\":\"" TARNWICK_VERSION "\"",
                          "tarnwick " TARNWICK_VERSION "\n");
  }
  if (request.dryRun && request.command != "set") {
    return report.Fail({kExitUsage, "--dry-run goes with set only"});
  }
  if (request.listen && request.command != "serve") {
    return report.Fail({kExitUsage, "--listen goes with serve only"});
  }
  if (request.command == "serve") {
    if (!request.operands.empty()) return report.Fail({kExitUsage, "serve takes no VALUE"});
    if (report.Json()) return report.Fail({kExitUsage, "--json does not go with serve"});
    // It holds up clients as the window holds up its operator: the window's wait.
    tarnwick::platform::SetSessionWait(tarnwick::platform::kWindowSessionWait);
    return tarnwick::app::Serve(request.listen.value_or(tarnwick::app::kDefaultListen));
  }
  if (request.command == "set") return Set(request, report);
  if (request.command == "serial" || request.command == "status") {
    if (!request.operands.empty()) {
      return report.Fail({kExitUsage, request.command + " takes no VALUE"});
    }
    return request.command == "serial" ? Serial(report) : Status(report);
  }
  if (!request.hasCommand) return report.Fail({kExitUsage, "no command (try --help)"});
  return report.Fail(
      {kExitUsage, "unknown command " + JsonString(request.command) + " (try --help)"});
}

}  // namespace

// The whole tool on UTF-8 arguments: every outcome, a failure of the tool itself included,
// ends in an exit status and (with --json) exactly one JSON object.
int Run(int argc, char** argv) {
#ifdef SIGPIPE
  // A reader that went away is a write that failed, reported as such, not a silent death
  // after the value was set. The device's own sends never raise it.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  CatchStopSignals();
  // No window waits on us: take turns with a crowd of other programs for up to 2 s.
  tarnwick::platform::SetSessionWait(std::chrono::seconds(2));
  Reporter report(JsonRequested(argc, argv));
  try {
    return report.Finish(Execute(argc, argv, report));
  } catch (const std::bad_alloc&) {
    return report.Internal("out of memory", "");
  } catch (const std::exception& failure) {
    return report.Internal("internal error", failure.what());
  } catch (...) {
    return report.Internal("internal error", "an exception of unknown type");
  }
}

int main(int argc, char** argv) {
  if (!tarnwick::app::Utf8Arguments(argc, argv)) return kExitInternal;
  return Run(argc, argv);
}
