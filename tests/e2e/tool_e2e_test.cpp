// The tarnwick console tool against a real tarnwick-sim: one row per invocation, with its exit
// status, output, and what reached the converter.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/sim_process.hpp"
#include "platform/posix_registry.hpp"

namespace tarnwick {
namespace {

struct ToolCase {
  const char* name;
  std::vector<std::string> args;
  int exit;
  std::string out;       // all of standard output ({socket}: the device path, {registry}:
                         // where its path is registered, {root}: the registry's root, {help}:
                         // what --help prints)
  std::string err;       // all of standard error (the same placeholders; "…": any text)
  int output;            // the converter afterwards; it holds 700 before
  int requests;          // requests that reached the simulator
  const char* sim = "";  // a simulator command ahead of the run; "noregistry": none published,
                         // "window": a script driver runs beside, "full": stdout is /dev/full,
                         // "unread": stdout is a pipe nobody reads, "locked": another program
                         // holds the device session, "untrusted": the window mark is 0666
                         // (see the harness for the others)
  int signal = 0;        // sent once the tool's first transfer (or wait, if "locked") began
};

void PrintTo(const ToolCase& c, std::ostream* os) {
  *os << c.name;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Its process; standard output and error go to OUT (else DIR/out; "|": a pipe nobody reads)
// and DIR/err.
pid_t StartTool(std::vector<std::string> args, const std::string& dir, std::string out = "") {
  args.insert(args.begin(), TARNWICK_TOOL_PATH);
  if (out.empty()) out = dir + "/out";
  const pid_t pid = fork();
  if (pid == 0) {
    int unread[2] = {-1, -1};
    if (out == "|" && pipe(unread) == 0) close(unread[0]);
    dup2(out == "|" ? unread[1] : open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

int RunTool(std::vector<std::string> args, const std::string& dir, std::string out = "") {
  return Wait(StartTool(std::move(args), dir, std::move(out)));
}

// The whole text against a pattern in which one "…" stands for any text.
bool Matches(const std::string& text, const std::string& pattern) {
  const std::size_t gap = pattern.find("…");
  if (gap == std::string::npos) return text == pattern;
  const std::string tail = pattern.substr(gap + std::string("…").size());
  return text.size() >= gap + tail.size() && text.compare(0, gap, pattern, 0, gap) == 0 &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ToolE2E : public ::testing::TestWithParam<ToolCase> {};

TEST_P(ToolE2E, Invocation) {
  const ToolCase& c = GetParam();
  testing::SimProcess sim({"--serial", "305419896"});
  ASSERT_EQ(RunTool({"set", "700"}, sim.Directory()), 0);
  const std::string command = c.sim;
  const std::string dir = sim.Directory();
  FILE* window = nullptr;
  int held = -1;
  std::thread releaser;
  pid_t late = -1;
  int busy[16];
  std::fill(std::begin(busy), std::end(busy), -1);
  const std::string out = command == "full" ? "/dev/full" : command == "unread" ? "|" : "";
  const std::string lock = sim.RegistryRoot() + "/" + platform::posix::kSessionLockFile;
  if (command == "noregistry") {
    setenv("TARNWICK_REGISTRY", (dir + "/empty").c_str(), 1);
  } else if (command == "window") {
    window = popen(("exec " TARNWICK_SCRIPT_PATH " > " + dir + "/window").c_str(), "w");
    // Its first state line comes after it has marked itself and written its 0.
    for (int i = 0; i < 1000 && Slurp(dir + "/window").empty(); ++i) usleep(10000);
  } else if (command == "untrusted") {
    const int mark = open((sim.RegistryRoot() + "/window.lock").c_str(), O_RDONLY | O_CREAT, 0600);
    ASSERT_EQ(fchmod(mark, 0666), 0);
    close(mark);
  } else if (command == "locked" || command == "briefly") {  // briefly: for 0.3 s
    held = open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    if (command == "briefly")
      releaser = std::thread([&held] {
        usleep(300000);
        close(std::exchange(held, -1));
      });
  } else if (command.rfind("lock:", 0) == 0) {  // the lock file untrusted, as KIND says
    const std::string kind = command.substr(5);
    unlink(lock.c_str());
    if (kind == "symlink") close(open((dir + "/target").c_str(), O_CREAT | O_WRONLY, 0600));
    if (kind == "symlink" || kind == "dangling") {
      ASSERT_EQ(symlink((dir + "/target").c_str(), lock.c_str()), 0);
    } else if (kind == "fifo") {
      ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0);
    } else {
      close(open(lock.c_str(), O_CREAT | O_WRONLY, 0600));
      ASSERT_TRUE(kind != "0666" || chmod(lock.c_str(), 0666) == 0);
      if (kind == "nobody" && chown(lock.c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "another user's file needs root to make";
      }
    }
  } else if (command == "root:0777") {  // the registry's root untrusted
    ASSERT_EQ(chmod(sim.RegistryRoot().c_str(), 0777), 0);
  } else if (command == "cap") {  // every connection the simulator serves is taken
    const std::uint8_t request[] = {0x28, 0x20, 0x22, 0, 8, 0, 0, 0, 8, 18, 11, 10, 0, 0, 0, 0};
    for (int& fd : busy) {
      fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::strncpy(address.sun_path, sim.SocketPath().c_str(), sizeof address.sun_path - 1);
      std::uint8_t reply[16];
      ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
      ASSERT_EQ(send(fd, request, sizeof request, 0), static_cast<ssize_t>(sizeof request));
      ASSERT_GT(recv(fd, reply, sizeof reply, 0), 0);  // a request lately: not idle
    }
  } else if (command == "late") {  // another writer's first transfer lands in our session
    for (const char* slow : {"slow 1 400", "slow 2 0", "slow 1 200"}) sim.Command(slow);
    const long before = sim.Status().requests;
    mkdir((dir + "/late").c_str(), 0700);
    late = StartTool({"set", "1000"}, dir + "/late");
    while (sim.Status().requests == before) usleep(1000);
  } else if (!command.empty() && out.empty()) {
    ASSERT_EQ(sim.Command(command).rfind("ok", 0), 0u);
  }
  const long requests = sim.Status().requests;

  const pid_t tool = StartTool(c.args, dir, out);
  if (c.signal != 0) {
    if (command == "locked") {
      usleep(300000);
    } else {
      while (sim.Status().requests == requests) usleep(1000);
    }
    kill(tool, c.signal);
  }
  EXPECT_EQ(Wait(tool), c.exit);
  if (window != nullptr) pclose(window);
  if (releaser.joinable()) releaser.join();
  if (held >= 0) close(held);
  if (command == "root:0777") chmod(sim.RegistryRoot().c_str(), 0700);
  for (const int fd : busy) close(fd);
  // Nothing was made where a dangling lock file points.
  EXPECT_TRUE(command != "lock:dangling" || access((dir + "/target").c_str(), F_OK) != 0);
  EXPECT_TRUE(late < 0 || Wait(late) == 2);
  const auto expand = [&](std::string text) {
    const std::string registry =
        std::getenv("TARNWICK_REGISTRY") +
        std::string(
            "/HKEY_LOCAL_MACHINE/System/CurrentControlSet/Services/Tarnwick/TWUSBIO/"
            "Parameters/DeviceName");
    for (auto at = text.find('{'); at != std::string::npos; at = text.find('{', at + 1)) {
      if (text.compare(at, 8, "{socket}") == 0) text.replace(at, 8, sim.SocketPath());
      if (text.compare(at, 10, "{registry}") == 0) text.replace(at, 10, registry);
      if (text.compare(at, 6, "{root}") == 0) text.replace(at, 6, sim.RegistryRoot());
      if (text.compare(at, 6, "{help}") == 0) {
        EXPECT_EQ(RunTool({"--help"}, dir, dir + "/help"), 0);
        text.replace(at, 6, Slurp(dir + "/help"));
      }
    }
    return text;
  };
  // Standard output that never arrived (a full disk, a closed pipe) has nothing to compare.
  if (out.empty()) {
    EXPECT_EQ(Slurp(dir + "/out"), expand(c.out));
  }
  EXPECT_TRUE(Matches(Slurp(dir + "/err"), expand(c.err))) << Slurp(dir + "/err");
  const testing::SimStatus after = sim.Status();
  if (command != "unplug") {
    EXPECT_EQ(after.output, c.output);
  }
  EXPECT_EQ(after.requests - requests, c.requests);
}

// The words of the rows below: standard error's line, a set's report, a failure's JSON object.
std::string Err(const std::string& text) {
  return "tarnwick: " + text + "\n";
}
std::string Set(const std::string& value) {
  return "set " + value + " on the controller with serial number 305419896\n";
}
std::string JsonFail(int exit, const std::string& text, const char* output, const char* more = "") {
  std::string error;
  for (const char c : text) error += c == '"' ? std::string("\\\"") : std::string(1, c);
  return R"({"ok":false,"exit":)" + std::to_string(exit) + R"(,"error":")" + error +
         R"(","output":")" + output + "\"" + more + "}\n";
}
std::string NotNumber(const std::string& value) {
  return "VALUE \"" + value +
         "\" is not a plain number of counts (0 to 2047) or milliamps (0mA to 100mA)";
}
std::string Range(const std::string& value, bool milliamps = false) {
  return "VALUE \"" + value + "\" is out of range: " +
         (milliamps ? "milliamps go from 0mA to 100mA" : "counts go from 0 to 2047");
}
std::string Untrusted(const char* why) {
  return "the session lock {root}/device-session.lock is not a regular file of yours that others "
         "cannot write (" +
         std::string(why) + ")";
}
std::string Lock(const char* why) {
  return Untrusted(why) + ": nothing was sent";
}
const std::string kAt = "the controller at {socket} ";
const std::string kUnplugged =
    kAt + "did not open (No such file or directory): check the USB connection";
const std::string kBusy =
    kAt + "is in use by another program (Device or resource busy): nothing was sent";
const std::string kRefused = kAt + "refused the connection (too many clients): nothing was sent";
const std::string kWriteFailed = kAt + "did not answer while 1500 counts were written (";
const std::string kUncertain = "): the output is uncertain";
const std::string kNoSerial = kAt + "did not answer the serial number request";
const std::string kNoValue =
    "No controller, check USB connection. Nothing is registered at {registry}.";
const std::string kUntrusted =
    "No controller, check USB connection. The registry at {root} is not trusted (mode 0777): "
    "nothing is read from it.";
const std::string kStopped = " while the value was being written: the output is uncertain";
const std::string kStatus = "registry: {registry}\ndevice: ";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, ToolE2E,
    ::testing::Values(
        ToolCase{"Milliamps",
                 {"set", "50mA"},
                 0,
                 "set 1024 counts (50.0mA) on the controller with serial number 305419896\n",
                 "",
                 1024,
                 4},
        ToolCase{"HalfToEven", {"set", "2.5"}, 0, Set("2 counts (0.1mA)"), "", 2, 4},
        ToolCase{"FullScale", {"set", "2047"}, 0, Set("2047 counts (100.0mA)"), "", 2047, 4},
        ToolCase{"FullScaleAfterOptionsEnd", {"--", "set", "100mA"}, 0, Set("2047 counts (100.0mA)"), "", 2047, 4},
        ToolCase{"Json",
                 {"--json", "set", "0.1mA"},
                 0,
                 R"({"ok":true,"counts":2,"mA":0.1,"serial":305419896})"
                 "\n",
                 "",
                 2,
                 4},
        ToolCase{"Serial", {"serial"}, 0, "305419896\n", "", 700, 1},
        // Refused: nothing is sent.
        ToolCase{"Above", {"--json", "set", "3000"}, 64, JsonFail(64, Range("3000"), "untouched"), Err(Range("3000")), 700, 0},
        ToolCase{"AboveMilliamps", {"set", "101mA"}, 64, "", Err(Range("101mA", true)), 700, 0},
        ToolCase{"Trailing", {"set", "12abc"}, 64, "", Err(NotNumber("12abc")), 700, 0},
        ToolCase{"Empty", {"set", ""}, 64, "", Err(NotNumber("")), 700, 0},
        ToolCase{"Negative", {"set", "-1"}, 64, "", Err(NotNumber("-1")), 700, 0},
        ToolCase{"Exponent", {"set", "1e3"}, 64, "", Err(NotNumber("1e3")), 700, 0},
        ToolCase{"Blank", {"set", " 5"}, 64, "", Err(NotNumber(" 5")), 700, 0},
        ToolCase{"BeyondADouble", {"set", std::string(400, '9')}, 64, "", Err(Range(std::string(400, '9'))), 700, 0},
        ToolCase{"TwoValues", {"set", "5", "6"}, 64, "", Err("set takes one VALUE: counts (0 to 2047) or milliamps (0mA to 100mA)"), 700, 0},
        ToolCase{"SerialValue", {"serial", "5"}, 64, "", Err("serial takes no VALUE"), 700, 0},
        ToolCase{"StatusValue", {"status", "5"}, 64, "", Err("status takes no VALUE"), 700, 0},
        // Refused before the controller is even looked up: not status 1.
        ToolCase{"EmptyNoController", {"set", ""}, 64, "", Err(NotNumber("")), 700, 0, "noregistry"},
        // A registered controller that does not answer, or that cannot be trusted.
        ToolCase{"Unplugged", {"--json", "set", "5"}, 2, JsonFail(2, kUnplugged, "untouched"), Err(kUnplugged), 0, 0, "unplug"},
        ToolCase{"SessionHeld", {"set", "5"}, 2, "", Err(kBusy), 700, 0, "locked"},
        // Another program holds the session a while, then lets it go: the tool waits its turn.
        ToolCase{"WaitsItsTurn", {"set", "5"}, 0, Set("5 counts (0.2mA)"), "", 5, 4, "briefly"},
        ToolCase{"SessionLockSymlink", {"set", "5"}, 2, "", Err(Lock("a symbolic link")), 700, 0, "lock:symlink"},
        ToolCase{"SessionLockDangling", {"set", "5"}, 2, "", Err(Lock("a symbolic link")), 700, 0, "lock:dangling"},
        ToolCase{"SessionLockFifo", {"set", "5"}, 2, "", Err(Lock("a FIFO")), 700, 0, "lock:fifo"},
        ToolCase{"SessionLockWritable", {"set", "5"}, 2, "", Err(Lock("mode 0666")), 700, 0, "lock:0666"},
        ToolCase{"SessionLockOthers", {"set", "5"}, 2, "", Err(Lock("owned by user 65534")), 700, 0, "lock:nobody"},
        ToolCase{"SessionLockStatus", {"status"}, 2, kStatus + "{socket}\nopened: no (" + Untrusted("mode 0666") + ")\nwindow: none running\n", Err(Lock("mode 0666")), 700, 0, "lock:0666"},
        ToolCase{"RegistryWritable", {"set", "5"}, 1, "", Err(kUntrusted), 700, 0, "root:0777"},
        ToolCase{"RegistryWritableStatus", {"status"}, 1, kStatus + "unknown (the registry at {root} is not trusted (mode 0777))\nopened: no\nwindow: unknown (the registry at {root} is not trusted (mode 0777))\n", Err(kUntrusted), 700, 0, "root:0777"},
        ToolCase{"TooManyClients", {"--json", "set", "5"}, 2, JsonFail(2, kRefused, "untouched"), Err(kRefused), 700, 0, "cap"},
        ToolCase{"TooManyClientsSerial", {"serial"}, 2, "", Err(kRefused), 700, 0, "cap"},
        ToolCase{"AfterALateRequest", {"set", "900"}, 0, Set("900 counts (44.0mA)"), "", 900, 4, "late"},
        // Stopped by a signal: the transfer in flight ends, nothing more goes out.
        ToolCase{"Terminated", {"--json", "set", "5"}, 143, JsonFail(143, "stopped by SIGTERM" + kStopped, "uncertain"), Err("stopped by SIGTERM" + kStopped), 700, 1, "slow 1 150", SIGTERM},
        ToolCase{"HungUp", {"set", "5"}, 129, "", Err("stopped by SIGHUP" + kStopped), 700, 1, "slow 1 150", SIGHUP},
        ToolCase{"InterruptedWaitingItsTurn", {"--json", "set", "5"}, 130, JsonFail(130, "stopped by SIGINT before anything was sent", "untouched"), Err("stopped by SIGINT before anything was sent"), 700, 0, "locked", SIGINT},
        // The latch was high, so the two transfers left still load the value. The reason is the
        // first failure's, not that of the transfers failing at once after a hung one.
        ToolCase{"WriteFails", {"--json", "set", "1500"}, 2, JsonFail(2, kWriteFailed + "Input/output error" + kUncertain, "uncertain"), Err(kWriteFailed + "Input/output error" + kUncertain), 1500, 3, "fail 1"},
        ToolCase{"WriteHangs", {"set", "1500"}, 2, "", Err(kWriteFailed + "Connection timed out" + kUncertain), 700, 1, "hang 1"},
        ToolCase{"IdentifyFails", {"serial"}, 2, "", Err(kNoSerial + " (Input/output error)"), 700, 1, "fail 1"},
        ToolCase{"IdentifyShort", {"serial"}, 2, "", Err(kNoSerial), 700, 1, "short 1 2"},
        ToolCase{"NoRegistryValue",
                 {"set", "5"},
                 1,
                 "",
                 "tarnwick: No controller, check USB connection. Nothing is registered at "
                 "{registry}.\n",
                 700,
                 0,
                 "noregistry"},
        // With --json, one object whatever the outcome or the order of the options.
        ToolCase{"JsonVersion",
                 {"--version", "--json"},
                 0,
                 R"({"ok":true,"version":")" TARNWICK_VERSION "\"}\n",
                 "",
                 700,
                 0},
        ToolCase{"JsonAfterBadOption", {"--bogus", "--json", "set", "5"}, 64, JsonFail(64, R"(unknown option "--bogus" (try --help))", "untouched"), Err(R"(unknown option "--bogus" (try --help))"), 700, 0},
        ToolCase{"AbbreviatedOption", {"--js", "set", "5"}, 64, "", Err(R"(unknown option "--js" (try --help))"), 700, 0},  // only whole names
        // The help a Windows user asks for first, on both systems.
        ToolCase{"SlashQuestionMark", {"/?"}, 0, "{help}", "", 700, 0},
        ToolCase{"DashQuestionMark", {"-?"}, 0, "{help}", "", 700, 0},
        ToolCase{"EmptyCommand", {"", "set", "9"}, 64, "", Err(R"(unknown command "" (try --help))"), 700, 0},
        ToolCase{"ServeNoPort", {"serve", "--listen", "[::1]"}, 64, "", Err(R"(--listen "[::1]" is not HOST:PORT (as 127.0.0.1:5025 or [::1]:5025))"), 700, 0},
        ToolCase{"ListenWithoutValue", {"serve", "--listen"}, 64, "", Err("--listen takes HOST:PORT"), 700, 0},
        ToolCase{"ListenAbbreviated", {"serve", "--lis", "127.0.0.1:0"}, 64, "", Err(R"(unknown option "--lis" (try --help))"), 700, 0},
        ToolCase{"ListenWithoutServe", {"--listen=:1", "serial"}, 64, "", Err("--listen goes with serve only"), 700, 0},
        ToolCase{"DryRun",
                 {"set", "--dry-run", "50mA"},
                 0,
                 "1024 counts (50.0mA): checked, not sent (dry run)\n",
                 "",
                 700,
                 0},
        // The value went out; only its report did not.
        ToolCase{"OutputFull", {"set", "5"}, 74, "", Err("standard output could not be written (No space left on device); the value was set: 5 counts"), 5, 4, "full"},
        ToolCase{"ReaderGone", {"serial"}, 74, "", Err("standard output could not be written (Broken pipe); the board's output was not changed"), 700, 1, "unread"},
        ToolCase{"ScriptDriverRuns", {"set", "5"}, 0, Set("5 counts (0.2mA)"), Err("warning: the Tarnwick Test script driver (process …) is running: it writes its own set-point again every second and will undo this one"), 5, 4, "window"},
        ToolCase{"StatusScriptDriverRuns", {"--json", "status"}, 0, R"({"ok":true,"registry":"{registry}","device":"{socket}","opened":true,"serial":305419896,"window":true,"holder":"script-driver"})" "\n", "", 0, 1, "window"},  // the driver's start wrote 0
        // A mark that cannot be believed says nothing about a window either way.
        ToolCase{"WindowMarkUntrusted", {"set", "5"}, 2, "", Err("the window mark {root}/window.lock is not a regular file of yours that others cannot write (mode 0666): nothing was sent"), 700, 0, "untrusted"},
        ToolCase{"JsonWindowMarkUntrusted", {"--json", "set", "5"}, 2, JsonFail(2, "the window mark {root}/window.lock is not a regular file of yours that others cannot write (mode 0666): nothing was sent", "untouched"), Err("the window mark {root}/window.lock is not a regular file of yours that others cannot write (mode 0666): nothing was sent"), 700, 0, "untrusted"},
        ToolCase{"StatusJsonWindowMarkUntrusted", {"--json", "status"}, 0, R"j({"ok":true,"registry":"{registry}","device":"{socket}","opened":true,"serial":305419896,"window":null,"window_unknown":"the window mark {root}/window.lock is not a regular file of yours that others cannot write (mode 0666)"})j" "\n", "", 700, 1, "untrusted"},
        ToolCase{"StatusWindowMarkUntrusted", {"status"}, 0, kStatus + "{socket}\nopened: yes\nserial: 305419896\nwindow: unknown (the window mark {root}/window.lock is not a regular file of yours that others cannot write (mode 0666))\n", "", 700, 1, "untrusted"},
        ToolCase{"Status",
                 {"status"},
                 0,
                 "registry: {registry}\ndevice: {socket}\nopened: yes\nserial: 305419896\n"
                 "window: none running\n",
                 "",
                 700,
                 1},
        ToolCase{"StatusNothingRegistered", {"--json", "status"}, 1, JsonFail(1, kNoValue, "untouched", R"(,"registry":"{registry}","device":null,"opened":false,"serial":null,"window":false)"), Err(kNoValue), 700, 0, "noregistry"}),
    [](const auto& p) { return std::string(p.param.name); });
// clang-format on

}  // namespace
}  // namespace tarnwick
