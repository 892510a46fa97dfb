// tarnwick-sim: a SIMULATED controller for trying the program without hardware. It serves the
// device path, publishes it in the registry stand-in, and takes commands on stdin that unplug
// the device or make its next calls fail.

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "command_table.hpp"
#include "console.hpp"
#include "parse_number.hpp"
#include "platform/posix_registry.hpp"
#include "platform/unique_fd.hpp"
#include "registry_value.hpp"
#include "sim_server.hpp"
#include "sim_text.hpp"

namespace tarnwick::sim {
namespace {

using platform::posix::UniqueFd;

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

constexpr unsigned kDefaultShortBytes = 4;

// Longest command line taken, without its newline.
constexpr std::size_t kMaxCommandLine = 4096;

struct Settings {
  SimOptions sim;
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
  enum : int { kSerial = 256, kSocket, kLog, kEveryLoad, kKeepRegistry, kNoRegistry, kVersion };
  static const option kOptions[] = {{"serial", required_argument, nullptr, kSerial},
                                    {"socket", required_argument, nullptr, kSocket},
                                    {"log", required_argument, nullptr, kLog},
                                    {"every-load", no_argument, nullptr, kEveryLoad},
                                    {"keep-registry", no_argument, nullptr, kKeepRegistry},
                                    {"no-registry", no_argument, nullptr, kNoRegistry},
                                    {"version", no_argument, nullptr, kVersion},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  auto unknown = [](const char* arg) {
    std::fprintf(stderr, "tarnwick-sim: unknown option '%s'\n%s", arg, kUsage);
    return 2;
  };
  auto needsSerial = [] {
    std::fprintf(stderr, "tarnwick-sim: --serial needs a number from 0 to 4294967295\n");
    return 2;
  };
  auto needsPath = [](int option) {
    std::fprintf(stderr, "tarnwick-sim: %s needs a path\n",
                 option == kSocket ? "--socket" : "--log");
    return 2;
  };
  opterr = 0;  // its messages are ours to word
  // '+': the first word that is no option stops the scan, and is refused below.
  for (int option; (option = ::getopt_long(argc, argv, "+:h", kOptions, nullptr)) != -1;) {
    const std::string_view value = optarg != nullptr ? optarg : "";
    switch (option) {
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      case kVersion:
        std::puts("tarnwick-sim " TARNWICK_VERSION);
        return 0;
      case kKeepRegistry:
        settings.keepRegistry = true;
        break;
      case kNoRegistry:
        settings.noRegistry = true;
        break;
      case kEveryLoad:
        settings.everyLoad = true;
        break;
      case kSerial: {
        const auto number = ParseNumber(value);
        if (!number) return needsSerial();
        settings.sim.serial = *number;
        break;
      }
      case kSocket:
      case kLog:
        if (value.empty()) return needsPath(option);
        (option == kSocket ? settings.sim.socketPath : settings.sim.logPath) =
            Absolute(std::string(value));
        break;
      case ':':  // the last word wanted a value
        if (optopt == kSerial) return needsSerial();
        if (optopt == kSocket || optopt == kLog) return needsPath(optopt);
        return unknown(argv[optind - 1]);
      default:
        return unknown(argv[optind - 1]);
    }
  }
  if (optind < argc) return unknown(argv[optind]);
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

// One command line, split into words, and where its answer goes.
struct Call {
  const std::vector<std::string>& words;
  SimServer& server;
  Console& console;

  void Ok() const { console.Out("ok " + Join(words)); }
  void Error(const std::string& reason) const { console.Out("error: " + reason); }
  std::optional<std::uint32_t> Number(std::size_t index) const { return ParseNumber(words[index]); }
  // A count of calls for a fault, or nothing once the error is out.
  std::optional<std::uint32_t> Calls() const {
    const auto calls = Number(1);
    if (!calls) {
      Error(words[0] + " needs a count of calls");
    } else if (*calls > kMaxFaultCalls) {
      Error("at most " + std::to_string(kMaxFaultCalls) + " calls at a time");
      return std::nullopt;
    }
    return calls;
  }
};

using ConsoleCommand = Command<Next (*)(const Call&)>;

// fail and hang: a count of calls for the fault queue.
Next QueueCalls(const Call& call, void (SimServer::*queue)(unsigned)) {
  if (const auto calls = call.Calls()) {
    (call.server.*queue)(*calls);
    call.Ok();
  }
  return Next::kContinue;
}
std::string HelpText();

const ConsoleCommand kCommands[] = {
    {"unplug", 0, 0, "unplug", "the device path disappears and open connections drop",
     [](const Call& call) {
       call.server.Unplug() ? call.Ok() : call.Error("already unplugged");
       return Next::kContinue;
     }},
    {"plug", 0, 0, "plug", "the device comes back, powered up afresh (output 0, no queued fault)",
     [](const Call& call) {
       try {
         call.server.Plug() ? call.Ok() : call.Error("already plugged");
       } catch (const std::system_error& failure) {
         call.Error(std::string("cannot plug in: ") + failure.what());
       }
       return Next::kContinue;
     }},
    {"serial", 1, 1, "serial N", "serial number to report from now on (decimal or 0x hex)",
     [](const Call& call) {
       if (const auto serial = call.Number(1)) {
         call.server.SetSerial(*serial);
         call.Ok();
       } else {
         call.Error("serial needs a number from 0 to 4294967295");
       }
       return Next::kContinue;
     }},
    {"fail", 1, 1, "fail N", "the next N calls fail (N up to 1000000)",
     [](const Call& call) { return QueueCalls(call, &SimServer::FailNext); }},
    {"short", 1, 2, "short N [BYTES]",
     "the next N calls reply with only BYTES data bytes (0-7, default 4)",
     [](const Call& call) {
       const auto calls = call.Calls();
       if (!calls) return Next::kContinue;
       const auto bytes = call.words.size() == 3 ? call.Number(2)
                                                 : std::optional<std::uint32_t>(kDefaultShortBytes);
       if (!bytes || *bytes >= TW_PACKET_SIZE) {
         call.Error("short takes 0 to 7 data bytes");
       } else {
         call.server.ShortNext(*calls, *bytes);
         call.Ok();
       }
       return Next::kContinue;
     }},
    {"hang", 1, 1, "hang N", "the next N calls get no reply at all",
     [](const Call& call) { return QueueCalls(call, &SimServer::HangNext); }},
    {"slow", 2, 2, "slow N MS",
     "the next N calls are carried out and answered MS milliseconds late\n"
     "                   (MS up to 60000), other programs' calls served meanwhile",
     [](const Call& call) {
       const auto calls = call.Calls();
       if (!calls) return Next::kContinue;
       const auto ms = call.Number(2);
       if (!ms || *ms > kMaxSlowMs) {
         call.Error("slow takes 0 to " + std::to_string(kMaxSlowMs) + " milliseconds");
       } else {
         call.server.SlowNext(*calls, *ms);
         call.Ok();
       }
       return Next::kContinue;
     }},
    {"clear", 0, 0, "clear", "forget every queued fail, short, hang and slow",
     [](const Call& call) {
       call.server.ClearFaults();
       call.Ok();
       return Next::kContinue;
     }},
    {"status", 0, 0, "status",
     "plugged, output, loads, serial, requests and the calls each kind of\n"
     "                   queued fault still covers, on one line",
     [](const Call& call) {
       const auto status = call.server.Status();
       call.console.Out(StatusLine({{"plugged", status.plugged ? 1 : 0},
                                    {"output", status.output},
                                    {"loads", status.loads},
                                    {"serial", status.serial},
                                    {"requests", status.requests},
                                    {"fail", status.failQueued},
                                    {"short", status.shortQueued},
                                    {"hang", status.hangQueued},
                                    {"slow", status.slowQueued}}));
       return Next::kContinue;
     }},
    {"help", 0, 0, "help", nullptr,
     [](const Call& call) {
       call.console.Out(HelpText());
       call.Ok();
       return Next::kContinue;
     }},
    {"quit", 0, 0, "quit", "withdraw the registry value, remove the device path and exit",
     [](const Call& call) {
       call.Ok();
       return Next::kQuit;
     }},
};

std::string HelpText() {
  return CommandHelp(kCommands);
}

// The banner's list: "Commands: unplug, plug, serial N, ...".
std::string CommandList() {
  std::string list = "Commands:";
  for (const ConsoleCommand& command : kCommands) {
    list += list.back() == ':' ? " " : ", ";
    list += command.synopsis;
  }
  return list;
}

Next RunCommand(const std::vector<std::string>& words, SimServer& server, Console& console) {
  const Call call{words, server, console};
  const ConsoleCommand* command = FindCommand(kCommands, words[0]);
  const std::size_t arguments = words.size() - 1;
  if (command == nullptr) {
    call.Error("unknown command '" + words[0] + "' (try help)");
  } else if (arguments < command->minArguments || arguments > command->maxArguments) {
    call.Error("wrong number of arguments for " + words[0] + " (try help)");
  } else {
    try {
      return command->run(call);
    } catch (const std::length_error& full) {
      call.Error(full.what());  // the fault queue's slots are all taken
    }
  }
  return Next::kContinue;
}

// A descriptor 0, 1 or 2 left closed by whoever started us would be handed to the first
// socket we open, and commands or output would go astray.
void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      UniqueFd null(::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY));
      if (null.get() == fd) {
        null.release();  // it took the empty place itself
      } else if (null) {
        ::dup2(null.get(), fd);
      }
    }
  }
}

// Reads commands until quit, a signal or the device failing (true), or until polling fails
// (false, said on the console). EOF on stdin only ends the commands.
bool Serve(SimServer& server, Console& console, int signals, int failed) {
  bool input = true;
  bool discarding = false;  // the rest of a line already refused as too long
  std::string pending;
  char buffer[4096];
  for (;;) {
    pollfd polled[3] = {{signals, POLLIN, 0}, {failed, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(polled, input ? 3 : 2, -1) < 0) {
      if (errno == EINTR) continue;
      console.Err(std::string("tarnwick-sim: cannot wait for commands: ") + std::strerror(errno));
      return false;
    }
    if ((polled[0].revents & POLLIN) != 0 || (polled[1].revents & POLLIN) != 0) return true;
    if (!input || polled[2].revents == 0) continue;

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
      if (!words.empty() && RunCommand(words, server, console) == Next::kQuit) return true;
    }
    // A line already too long before its newline: refused now, its tail dropped as it comes.
    if (pending.size() > kMaxCommandLine) {
      pending.clear();
      if (!std::exchange(discarding, true)) console.Out(tooLong);
    }
  }
}

int Main(int argc, char** argv) {
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
  const UniqueFd signals(::signalfd(-1, &stopSignals, SFD_CLOEXEC));
  // Counts the server thread's failure, so the command loop wakes to clean up after it.
  const UniqueFd failed(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!signals || !failed) {
    std::perror("tarnwick-sim: cannot watch for signals");
    return 1;
  }
  // Whoever reads our output may go away; a write error is better than dying mid-cleanup.
  std::signal(SIGPIPE, SIG_IGN);

  Console console;
  settings.sim.onLogTrouble = [&console](const std::string& trouble) { console.Out(trouble); };
  SimServer server(settings.sim);
  // The program re-writes its set-point every second: only a change, or the first load since
  // power-up, is worth a line unless asked for every one.
  server.OnLoad([&console, everyLoad = settings.everyLoad](const Load& load) {
    if (!everyLoad && load.loads != 1 && load.counts == load.previous) return;
    // One decimal, as the window's label and the tool show it.
    const std::uint32_t tenths = tw_counts_to_deci_ma(load.counts);
    char line[64];
    std::snprintf(line, sizeof line, "loaded %u counts = %u.%u mA",
                  static_cast<unsigned>(load.counts), tenths / 10, tenths % 10);
    console.Out(line);
  });

  server.OnClientDropped([&console] {
    console.Out("dropped the longest-idle client: at most " + std::to_string(kMaxClients) +
                " connections at once");
  });
  server.OnClientRefused([&console] {
    console.Out("refusing new clients: all " + std::to_string(kMaxClients) +
                " connections are in use (said once, until one is taken again)");
  });

  server.OnFailed([&console, wake = failed.get()](const std::string& why) {
    console.Err("tarnwick-sim: the SIMULATED controller stopped serving: " + why);
    const std::uint64_t one = 1;
    while (::write(wake, &one, sizeof one) < 0 && errno == EINTR) {
    }
  });

  std::string valueFile;
  try {
    // A second simulator would take the value over, and withdraw it on quitting while the
    // first still runs.
    if (const std::string other =
            settings.noRegistry
                ? std::string()
                : LiveDeviceName(platform::posix::RegistryRoot(), settings.sim.socketPath);
        !other.empty()) {
      throw std::runtime_error("another simulator serves this registry at " + other +
                               " (quit it first, or start this one with --no-registry)");
    }
    server.Start();
    if (!settings.noRegistry) {
      valueFile = PublishDeviceName(platform::posix::RegistryRoot(), settings.sim.socketPath);
    }
  } catch (const std::exception& failure) {
    console.Err(std::string("tarnwick-sim: SIMULATED controller cannot start: ") + failure.what());
    server.Stop();
    return 1;
  }

  console.Out("tarnwick-sim: SIMULATED controller (no real hardware)");
  console.Out("  device path : " + settings.sim.socketPath);
  console.Out("  published as: " +
              (settings.noRegistry ? std::string("(not published: --no-registry)") : valueFile));
  console.Out("  serial      : " + std::to_string(settings.sim.serial));
  if (!settings.sim.logPath.empty()) console.Out("  request log : " + settings.sim.logPath);
  console.Out(CommandList());
  console.Out("ready");

  // Whatever ends the commands, the path and the published value go with us.
  bool served = false;
  try {
    served = Serve(server, console, signals.get(), failed.get());
  } catch (const std::exception& failure) {
    console.Err(std::string("tarnwick-sim: ") + failure.what());
  }
  std::uint64_t failures = 0;
  served = served && ::read(failed.get(), &failures, sizeof failures) < 0;

  server.Stop();
  if (!valueFile.empty() && !settings.keepRegistry) {
    WithdrawDeviceName(valueFile, settings.sim.socketPath);
  }
  console.Out("tarnwick-sim: SIMULATED controller stopped");
  console.Close(Console::kClosePatience);
  return served ? 0 : 1;
}

}  // namespace
}  // namespace tarnwick::sim

int main(int argc, char** argv) {
  return tarnwick::sim::Main(argc, argv);
}
