// tarnwick-sim: a SIMULATED controller for trying the program without hardware. It serves the
// device path, publishes it in the registry stand-in, and takes commands on stdin that unplug
// the device or make its next calls fail.

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "console.hpp"
#include "parse_number.hpp"
#include "platform/posix_registry.hpp"
#include "registry_value.hpp"
#include "sim_server.hpp"

namespace {

using tarnwick::sim::Console;
using tarnwick::sim::ParseNumber;
using tarnwick::sim::SimServer;

constexpr char kUsage[] =
    "Usage: tarnwick-sim [OPTIONS]\n"
    "A SIMULATED Tarnwick USB I/O controller (no real hardware): serves a device path the\n"
    "program can open, publishes it as the registry value DeviceName, and takes commands on\n"
    "standard input to unplug the device or make its next calls misbehave.\n"
    "\n"
    "Options:\n"
    "  --serial N       serial number the controller reports (decimal or 0x hex; default 12345)\n"
    "  --socket PATH    device path to serve (default $XDG_RUNTIME_DIR/tarnwick-sim-<pid>.sock,\n"
    "                   else /tmp/tarnwick-sim-<uid>-<pid>.sock)\n"
    "  --log FILE       write every request to FILE in hex, one line each (lines are dropped,\n"
    "                   and counted, while FILE does not take them: the device never waits)\n"
    "  --every-load     print every converter load (default: only those that change the\n"
    "                   output, and the first after start and after each plug)\n"
    "  --keep-registry  leave the published value in place on exit\n"
    "  --no-registry    do not publish the device path at all\n"
    "  --version        print the version and exit\n"
    "  --help           print this help and exit\n";

constexpr char kCommandList[] =
    "Commands: unplug, plug, serial N, fail N, short N [BYTES], hang N, clear, status, help, "
    "quit";

constexpr char kCommandHelp[] =
    "  unplug           the device path disappears and open connections drop\n"
    "  plug             the device comes back, powered up afresh (output 0, no queued fault)\n"
    "  serial N         serial number to report from now on (decimal or 0x hex)\n"
    "  fail N           the next N calls fail (N up to 1000000)\n"
    "  short N [BYTES]  the next N calls reply with only BYTES data bytes (0-7, default 4)\n"
    "  hang N           the next N calls get no reply at all\n"
    "  clear            forget every queued fail, short and hang\n"
    "  status           plugged, output, loads, serial, requests and the calls each kind of\n"
    "                   queued fault still covers, on one line\n"
    "  quit             withdraw the registry value, remove the device path and exit";

constexpr unsigned kDefaultShortBytes = 4;

// Longest command line taken, without its newline.
constexpr std::size_t kMaxCommandLine = 4096;

struct Settings {
  tarnwick::sim::SimOptions sim;
  bool keepRegistry = false;
  bool noRegistry = false;
  bool everyLoad = false;
};

std::string DefaultSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string pid = std::to_string(::getpid());
  if (runtime != nullptr && runtime[0] != '\0') {
    return std::string(runtime) + "/tarnwick-sim-" + pid + ".sock";
  }
  return "/tmp/tarnwick-sim-" + std::to_string(::getuid()) + "-" + pid + ".sock";
}

// The published path is read by a program running elsewhere, so it must not depend on our cwd.
std::string Absolute(const std::string& path) {
  std::error_code error;
  auto absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}

// Returns the exit code to leave with, or nothing to carry on.
std::optional<int> ParseArguments(int argc, char** argv, Settings& settings) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    auto value = [&]() -> std::optional<std::string_view> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::puts("tarnwick-sim " TARNWICK_VERSION);
      return 0;
    }
    if (arg == "--keep-registry") {
      settings.keepRegistry = true;
    } else if (arg == "--no-registry") {
      settings.noRegistry = true;
    } else if (arg == "--every-load") {
      settings.everyLoad = true;
    } else if (arg == "--serial") {
      auto text = value();
      auto number = text ? ParseNumber(*text) : std::nullopt;
      if (!number) {
        std::fprintf(stderr, "tarnwick-sim: --serial needs a number from 0 to 4294967295\n");
        return 2;
      }
      settings.sim.serial = *number;
    } else if (arg == "--socket" || arg == "--log") {
      auto text = value();
      if (!text || text->empty()) {
        std::fprintf(stderr, "tarnwick-sim: %s needs a path\n", std::string(arg).c_str());
        return 2;
      }
      (arg == "--socket" ? settings.sim.socketPath : settings.sim.logPath) =
          Absolute(std::string(*text));
    } else {
      std::fprintf(stderr, "tarnwick-sim: unknown option '%s'\n%s", std::string(arg).c_str(),
                   kUsage);
      return 2;
    }
  }
  if (settings.sim.socketPath.empty()) settings.sim.socketPath = DefaultSocketPath();
  return std::nullopt;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream stream(line);
  std::vector<std::string> words;
  for (std::string word; stream >> word;) words.push_back(word);
  return words;
}

std::string Join(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

enum class Next { kContinue, kQuit };

Next RunCommand(const std::vector<std::string>& words, SimServer& server, Console& console) {
  const std::string& name = words[0];
  const std::size_t arguments = words.size() - 1;
  auto ok = [&] { console.Out("ok " + Join(words)); };
  auto error = [&](const std::string& reason) { console.Out("error: " + reason); };
  auto count = [&](std::size_t index) { return ParseNumber(words[index]); };
  const std::string tooMany =
      "at most " + std::to_string(tarnwick::sim::kMaxFaultCalls) + " calls at a time";

  if (name == "status" && arguments == 0) {
    const auto status = server.Status();
    console.Out("status plugged=" + std::to_string(status.plugged ? 1 : 0) + " output=" +
                std::to_string(status.output) + " loads=" + std::to_string(status.loads) +
                " serial=" + std::to_string(status.serial) + " requests=" +
                std::to_string(status.requests) + " fail=" + std::to_string(status.failQueued) +
                " short=" + std::to_string(status.shortQueued) +
                " hang=" + std::to_string(status.hangQueued));
  } else if (name == "help" && arguments == 0) {
    console.Out(kCommandHelp);
    ok();
  } else if (name == "quit" && arguments == 0) {
    ok();
    return Next::kQuit;
  } else if (name == "clear" && arguments == 0) {
    server.ClearFaults();
    ok();
  } else if (name == "unplug" && arguments == 0) {
    server.Unplug() ? ok() : error("already unplugged");
  } else if (name == "plug" && arguments == 0) {
    try {
      server.Plug() ? ok() : error("already plugged");
    } catch (const std::system_error& failure) {
      error(std::string("cannot plug in: ") + failure.what());
    }
  } else if (name == "serial" && arguments == 1) {
    if (auto serial = count(1)) {
      server.SetSerial(*serial);
      ok();
    } else {
      error("serial needs a number from 0 to 4294967295");
    }
  } else if ((name == "fail" || name == "hang") && arguments == 1) {
    if (auto calls = count(1); !calls) {
      error(name + " needs a count of calls");
    } else if (*calls > tarnwick::sim::kMaxFaultCalls) {
      error(tooMany);
    } else {
      name == "fail" ? server.FailNext(*calls) : server.HangNext(*calls);
      ok();
    }
  } else if (name == "short" && (arguments == 1 || arguments == 2)) {
    auto calls = count(1);
    auto bytes = arguments == 2 ? count(2) : std::optional<std::uint32_t>(kDefaultShortBytes);
    if (!calls) {
      error("short needs a count of calls");
    } else if (*calls > tarnwick::sim::kMaxFaultCalls) {
      error(tooMany);
    } else if (!bytes || *bytes >= TW_PACKET_SIZE) {
      error("short takes 0 to 7 data bytes");
    } else {
      server.ShortNext(*calls, *bytes);
      ok();
    }
  } else if (name == "status" || name == "help" || name == "quit" || name == "unplug" ||
             name == "plug" || name == "serial" || name == "fail" || name == "hang" ||
             name == "short" || name == "clear") {
    error("wrong number of arguments for " + name + " (try help)");
  } else {
    error("unknown command '" + name + "' (try help)");
  }
  return Next::kContinue;
}

// A descriptor 0, 1 or 2 left closed by whoever started us would be handed to the first
// socket we open, and commands or output would go astray.
void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null >= 0 && null != fd) {
        ::dup2(null, fd);
        ::close(null);
      }
    }
  }
}

// Reads commands until quit or a signal. EOF on stdin only ends the commands.
void Serve(SimServer& server, Console& console, int signals) {
  bool input = true;
  bool discarding = false;  // the rest of a line already refused as too long
  std::string pending;
  char buffer[4096];
  for (;;) {
    pollfd polled[2] = {{signals, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(polled, input ? 2 : 1, -1) < 0) continue;  // EINTR
    if ((polled[0].revents & POLLIN) != 0) return;
    if (!input || polled[1].revents == 0) continue;

    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      input = false;
      pending += '\n';  // a last command without its newline still counts
    } else {
      pending.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string tooLong =
        "error: command line too long (at most " + std::to_string(kMaxCommandLine) + " bytes)";
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (std::exchange(discarding, false)) continue;  // refused already
      if (line.size() > kMaxCommandLine) {
        console.Out(tooLong);
        continue;
      }
      const auto words = Words(line);
      if (!words.empty() && RunCommand(words, server, console) == Next::kQuit) return;
    }
    // A line already too long before its newline: refused now, its tail dropped as it comes.
    if (pending.size() > kMaxCommandLine) {
      pending.clear();
      if (!std::exchange(discarding, true)) console.Out(tooLong);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  EnsureStandardDescriptors();
  Settings settings;
  if (auto exitCode = ParseArguments(argc, argv, settings)) return *exitCode;

  // Signals arrive through a descriptor the command loop polls, so a stop always takes the
  // clean path. They are blocked before any thread starts so every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (signals < 0) {
    std::perror("tarnwick-sim: signalfd");
    return 1;
  }
  // Whoever reads our output may go away; a write error is better than dying mid-cleanup.
  std::signal(SIGPIPE, SIG_IGN);

  Console console;
  SimServer server(settings.sim);
  // The program re-writes its set-point every second: only a change, or the first load since
  // power-up, is worth a line unless asked for every one.
  server.OnLoad([&console, everyLoad = settings.everyLoad](const tarnwick::sim::Load& load) {
    if (!everyLoad && load.loads != 1 && load.counts == load.previous) return;
    // One decimal, as the window's label and the tool show it.
    const std::uint32_t tenths = tw_counts_to_deci_ma(load.counts);
    char line[64];
    std::snprintf(line, sizeof line, "loaded %u counts = %u.%u mA",
                  static_cast<unsigned>(load.counts), tenths / 10, tenths % 10);
    console.Out(line);
  });

  server.OnClientDropped([&console] {
    console.Out("dropped the longest-idle client: at most " +
                std::to_string(tarnwick::sim::kMaxClients) + " connections at once");
  });
  server.OnClientRefused([&console] {
    console.Out("refusing new clients: all " + std::to_string(tarnwick::sim::kMaxClients) +
                " connections are in use (said once, until one is taken again)");
  });

  std::string valueFile;
  try {
    server.Start();
    if (!settings.noRegistry) {
      valueFile = tarnwick::sim::PublishDeviceName(tarnwick::platform::posix::RegistryRoot(),
                                                   settings.sim.socketPath);
    }
  } catch (const std::exception& failure) {
    console.Err(std::string("tarnwick-sim: SIMULATED controller cannot start: ") + failure.what());
    server.Stop();
    ::close(signals);
    return 1;
  }

  console.Out("tarnwick-sim: SIMULATED controller (no real hardware)");
  console.Out("  device path : " + settings.sim.socketPath);
  console.Out("  published as: " +
              (settings.noRegistry ? std::string("(not published: --no-registry)") : valueFile));
  console.Out("  serial      : " + std::to_string(settings.sim.serial));
  if (!settings.sim.logPath.empty()) console.Out("  request log : " + settings.sim.logPath);
  console.Out(kCommandList);
  console.Out("ready");

  Serve(server, console, signals);

  server.Stop();
  if (!valueFile.empty() && !settings.keepRegistry) {
    tarnwick::sim::WithdrawDeviceName(valueFile, settings.sim.socketPath);
  }
  ::close(signals);
  console.Out("tarnwick-sim: SIMULATED controller stopped");
  console.Close(Console::kClosePatience);
  return 0;
}
