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
  const char* out;       // all of standard output ({socket}: the device path, {registry}:
                         // where its path is registered, {root}: the registry's root)
  std::string err;       // all of standard error (the same placeholders; "…": any text)
  int output;            // the converter afterwards; it holds 700 before
  int requests;          // requests that reached the simulator
  const char* sim = "";  // a simulator command ahead of the run; "noregistry": none published,
                         // "window": a script driver runs beside, "full": stdout is /dev/full,
                         // "unread": stdout is a pipe nobody reads, "locked": another program
                         // holds the device session, "late": another writer's first
                         // transfer lands late, after its own bound and our second transfer
                         // "lock:KIND": the session lock file is a symlink, a dangling one, a
                         // FIFO, mode 0666 or another user's; "root:0777": so is the registry's
                         // root; "cap": the simulator's every connection is taken
  int signal = 0;        // sent to the tool once its first transfer reached the simulator
                         // (with "locked": while it waits for its turn)
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

// The whole text against a pattern in which "…" stands for any text.
bool Matches(const std::string& text, const std::string& pattern) {
  const std::string any = "…";
  std::size_t at = 0;
  std::size_t from = 0;
  for (std::size_t gap; (gap = pattern.find(any, from)) != std::string::npos;
       from = gap + any.size()) {
    const std::string part = pattern.substr(from, gap - from);
    if (from == 0 ? text.compare(0, part.size(), part) != 0
                  : text.find(part, at) == std::string::npos) {
      return false;
    }
    at = (from == 0 ? 0 : text.find(part, at)) + part.size();
  }
  const std::string last = pattern.substr(from);
  if (from == 0) return text == last;
  return text.size() >= at + last.size() &&
         text.compare(text.size() - last.size(), last.size(), last) == 0;
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
  if (command == "noregistry") {
    setenv("TARNWICK_REGISTRY", (dir + "/empty").c_str(), 1);
  } else if (command == "window") {
    window = popen(("exec " TARNWICK_SCRIPT_PATH " > " + dir + "/window").c_str(), "w");
    // Its first state line comes after it has marked itself and written its 0.
    for (int i = 0; i < 1000 && Slurp(dir + "/window").empty(); ++i) usleep(10000);
  } else if (command == "locked") {
    const std::string lock = sim.RegistryRoot() + "/" + platform::posix::kSessionLockFile;
    held = open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
  } else if (command == "briefly") {
    const std::string lock = sim.RegistryRoot() + "/" + platform::posix::kSessionLockFile;
    held = open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    releaser = std::thread([&held] {
      usleep(300000);
      close(std::exchange(held, -1));
    });
  } else if (command.rfind("lock:", 0) == 0) {
    const std::string lock = sim.RegistryRoot() + "/" + platform::posix::kSessionLockFile;
    const std::string kind = command.substr(5);
    unlink(lock.c_str());
    if (kind == "symlink") close(open((dir + "/target").c_str(), O_CREAT | O_WRONLY, 0600));
    if (kind == "symlink" || kind == "dangling") {
      ASSERT_EQ(symlink((dir + "/target").c_str(), lock.c_str()), 0);
    } else if (kind == "fifo") {
      ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0);
    } else {
      close(open(lock.c_str(), O_CREAT | O_WRONLY, 0600));
      if (kind == "0666") {
        ASSERT_EQ(chmod(lock.c_str(), 0666), 0);
      }
      if (kind == "nobody" && chown(lock.c_str(), 65534, 65534) != 0) {
        GTEST_SKIP() << "another user's file needs root to make";
      }
    }
  } else if (command == "root:0777") {
    ASSERT_EQ(chmod(sim.RegistryRoot().c_str(), 0777), 0);
  } else if (command == "cap") {
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
  } else if (command == "late") {
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
  if (command == "lock:dangling") {
    EXPECT_NE(access((dir + "/target").c_str(), F_OK), 0);  // nothing made where it points
  }
  if (late > 0) {
    EXPECT_EQ(Wait(late), 2);
  }
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

#define kLockRefused                                                                           \
  "tarnwick: the session lock {root}/device-session.lock is not a regular file of yours that " \
  "others cannot write ("
#define kNothingSent ": nothing was sent\n"
#define kSet "set "
#define kOn " on the controller with serial number 305419896\n"
std::string NotNumber(const std::string& value) {
  return "tarnwick: VALUE \"" + value +
         "\" is not a plain number of counts (0 to 2047) or milliamps (0mA to 100mA)\n";
}
std::string Range(const std::string& value, const char* range) {
  return "tarnwick: VALUE \"" + value + "\" is out of range: " + range + "\n";
}
constexpr char kCounts[] = "counts go from 0 to 2047";

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
        ToolCase{"HalfToEven", {"set", "2.5"}, 0, kSet "2 counts (0.1mA)" kOn, "", 2, 4},
        ToolCase{"FullScale", {"set", "2047"}, 0, kSet "2047 counts (100.0mA)" kOn, "", 2047, 4},
        ToolCase{"FullScaleAfterOptionsEnd",
                 {"--", "set", "100mA"},
                 0,
                 kSet "2047 counts (100.0mA)" kOn,
                 "",
                 2047,
                 4},
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
        ToolCase{"Above",
                 {"--json", "set", "3000"},
                 64,
                 R"({"ok":false,"exit":64,"error":"VALUE \"3000\" is out of range: )"
                 R"(counts go from 0 to 2047","output":"untouched"})"
                 "\n",
                 Range("3000", kCounts),
                 700,
                 0},
        ToolCase{"AboveMilliamps",
                 {"set", "101mA"},
                 64,
                 "",
                 Range("101mA", "milliamps go from 0mA to 100mA"),
                 700,
                 0},
        ToolCase{"Trailing", {"set", "12abc"}, 64, "", NotNumber("12abc"), 700, 0},
        ToolCase{"Empty", {"set", ""}, 64, "", NotNumber(""), 700, 0},
        ToolCase{"Negative", {"set", "-1"}, 64, "", NotNumber("-1"), 700, 0},
        ToolCase{"Exponent", {"set", "1e3"}, 64, "", NotNumber("1e3"), 700, 0},
        ToolCase{"Blank", {"set", " 5"}, 64, "", NotNumber(" 5"), 700, 0},
        ToolCase{"BeyondADouble",
                 {"set", std::string(400, '9')},
                 64,
                 "",
                 Range(std::string(400, '9'), kCounts),
                 700,
                 0},
        ToolCase{"TwoValues",
                 {"set", "5", "6"},
                 64,
                 "",
                 "tarnwick: set takes one VALUE: counts (0 to 2047) or milliamps (0mA to 100mA)\n",
                 700,
                 0},
        ToolCase{
            "SerialValue", {"serial", "5"}, 64, "", "tarnwick: serial takes no VALUE\n", 700, 0},
        ToolCase{
            "StatusValue", {"status", "5"}, 64, "", "tarnwick: status takes no VALUE\n", 700, 0},
        // Refused before the controller is even looked up: not status 1.
        ToolCase{"EmptyNoController", {"set", ""}, 64, "", NotNumber(""), 700, 0, "noregistry"},
        // A registered controller that does not answer.
        ToolCase{"Unplugged",
                 {"--json", "set", "5"},
                 2,
                 R"({"ok":false,"exit":2,"error":"the controller at {socket} did not open )"
                 R"((No such file or directory): check the USB connection","output":"untouched"})"
                 "\n",
                 "tarnwick: the controller at {socket} did not open (No such file or directory): "
                 "check the USB connection\n",
                 0,
                 0,
                 "unplug"},
        ToolCase{"SessionHeld",
                 {"set", "5"},
                 2,
                 "",
                 "tarnwick: the controller at {socket} is in use by another program (Device or "
                 "resource busy): nothing was sent\n",
                 700,
                 0,
                 "locked"},
        // Another program holds the session a while, then lets it go: the tool waits its turn.
        ToolCase{"WaitsItsTurn", {"set", "5"}, 0, kSet "5 counts (0.2mA)" kOn, "", 5, 4, "briefly"},
        ToolCase{"SessionLockSymlink",
                 {"set", "5"},
                 2,
                 "",
                 kLockRefused "a symbolic link)" kNothingSent,
                 700,
                 0,
                 "lock:symlink"},
        ToolCase{"SessionLockDangling",
                 {"set", "5"},
                 2,
                 "",
                 kLockRefused "a symbolic link)" kNothingSent,
                 700,
                 0,
                 "lock:dangling"},
        ToolCase{"SessionLockFifo",
                 {"set", "5"},
                 2,
                 "",
                 kLockRefused "a FIFO)" kNothingSent,
                 700,
                 0,
                 "lock:fifo"},
        ToolCase{"SessionLockWritable",
                 {"set", "5"},
                 2,
                 "",
                 kLockRefused "mode 0666)" kNothingSent,
                 700,
                 0,
                 "lock:0666"},
        ToolCase{"SessionLockOthers",
                 {"set", "5"},
                 2,
                 "",
                 kLockRefused "owned by user 65534)" kNothingSent,
                 700,
                 0,
                 "lock:nobody"},
        ToolCase{"SessionLockStatus",
                 {"status"},
                 2,
                 "registry: {registry}\ndevice: {socket}\nopened: no (the session lock "
                 "{root}/device-session.lock is not a regular file of yours that others cannot "
                 "write (mode 0666))\nwindow: none running\n",
                 kLockRefused "mode 0666)" kNothingSent,
                 700,
                 0,
                 "lock:0666"},
        ToolCase{"RegistryWritable",
                 {"set", "5"},
                 1,
                 "",
                 "tarnwick: No controller, check USB connection. The registry at {root} is not "
                 "trusted (mode 0777): nothing is read from it.\n",
                 700,
                 0,
                 "root:0777"},
        ToolCase{"RegistryWritableStatus",
                 {"status"},
                 1,
                 "registry: {registry}\ndevice: unknown (the registry at {root} is not trusted "
                 "(mode 0777))\nopened: no\nwindow: none running\n",
                 "tarnwick: No controller, check USB connection. The registry at {root} is not "
                 "trusted (mode 0777): nothing is read from it.\n",
                 700,
                 0,
                 "root:0777"},
        ToolCase{"TooManyClients",
                 {"--json", "set", "5"},
                 2,
                 R"({"ok":false,"exit":2,"error":"the controller at {socket} refused the )"
                 R"(connection (too many clients): nothing was sent","output":"untouched"})"
                 "\n",
                 "tarnwick: the controller at {socket} refused the connection (too many "
                 "clients): nothing was sent\n",
                 700,
                 0,
                 "cap"},
        ToolCase{"AfterALateRequest",
                 {"set", "900"},
                 0,
                 kSet "900 counts (44.0mA)" kOn,
                 "",
                 900,
                 4,
                 "late"},
        // Stopped by a signal: the transfer in flight ends, nothing more goes out.
        ToolCase{"Terminated",
                 {"--json", "set", "5"},
                 143,
                 R"({"ok":false,"exit":143,"error":"stopped by SIGTERM while the value was being )"
                 R"(written: the output is uncertain","output":"uncertain"})"
                 "\n",
                 "tarnwick: stopped by SIGTERM while the value was being written: the output is "
                 "uncertain\n",
                 700,
                 1,
                 "slow 1 150",
                 SIGTERM},
        ToolCase{"HungUp",
                 {"set", "5"},
                 129,
                 "",
                 "tarnwick: stopped by SIGHUP while the value was being written: the output is "
                 "uncertain\n",
                 700,
                 1,
                 "slow 1 150",
                 SIGHUP},
        ToolCase{"InterruptedWaitingItsTurn",
                 {"--json", "set", "5"},
                 130,
                 R"({"ok":false,"exit":130,"error":"stopped by SIGINT before anything was sent",)"
                 R"("output":"untouched"})"
                 "\n",
                 "tarnwick: stopped by SIGINT before anything was sent\n",
                 700,
                 0,
                 "locked",
                 SIGINT},
        // The latch was high, so the two transfers left still load the value.
        ToolCase{"WriteFails",
                 {"--json", "set", "1500"},
                 2,
                 R"({"ok":false,"exit":2,"error":"the controller at {socket} did not answer while )"
                 R"(1500 counts were written (Input/output error): the output is uncertain",)"
                 R"("output":"uncertain"})"
                 "\n",
                 "tarnwick: the controller at {socket} did not answer while 1500 counts were "
                 "written (Input/output error): the output is uncertain\n",
                 1500,
                 3,
                 "fail 1"},
        // The first failure's reason, not the later transfers' that fail at once after it.
        ToolCase{"WriteHangs",
                 {"set", "1500"},
                 2,
                 "",
                 "tarnwick: the controller at {socket} did not answer while 1500 counts were "
                 "written (Connection timed out): the output is uncertain\n",
                 700,
                 1,
                 "hang 1"},
        ToolCase{"IdentifyFails",
                 {"serial"},
                 2,
                 "",
                 "tarnwick: the controller at {socket} did not answer the serial number request "
                 "(Input/output error)\n",
                 700,
                 1,
                 "fail 1"},
        ToolCase{"IdentifyShort",
                 {"serial"},
                 2,
                 "",
                 "tarnwick: the controller at {socket} did not answer the serial number request\n",
                 700,
                 1,
                 "short 1 2"},
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
        ToolCase{"JsonAfterBadOption",
                 {"--bogus", "--json", "set", "5"},
                 64,
                 R"j({"ok":false,"exit":64,"error":"unknown option \"--bogus\" (try --help)",)j"
                 R"("output":"untouched"})"
                 "\n",
                 "tarnwick: unknown option \"--bogus\" (try --help)\n",
                 700,
                 0},
        ToolCase{"EmptyCommand",
                 {"", "set", "9"},
                 64,
                 "",
                 "tarnwick: unknown command \"\" (try --help)\n",
                 700,
                 0},
        ToolCase{"DryRun",
                 {"set", "--dry-run", "50mA"},
                 0,
                 "1024 counts (50.0mA): checked, not sent (dry run)\n",
                 "",
                 700,
                 0},
        // The value went out; only its report did not.
        ToolCase{"OutputFull",
                 {"set", "5"},
                 74,
                 "",
                 "tarnwick: standard output could not be written (No space left on device); the "
                 "value was set: 5 counts\n",
                 5,
                 4,
                 "full"},
        ToolCase{"ReaderGone",
                 {"serial"},
                 74,
                 "",
                 "tarnwick: standard output could not be written (Broken pipe); the board's output "
                 "was not changed\n",
                 700,
                 1,
                 "unread"},
        ToolCase{"WindowRuns",
                 {"set", "5"},
                 0,
                 kSet "5 counts (0.2mA)" kOn,
                 "tarnwick: warning: a Tarnwick Test window is running (process …): it writes its "
                 "own set-point again every second and will undo this one\n",
                 5,
                 4,
                 "window"},
        ToolCase{"Status",
                 {"status"},
                 0,
                 "registry: {registry}\ndevice: {socket}\nopened: yes\nserial: 305419896\n"
                 "window: none running\n",
                 "",
                 700,
                 1},
        ToolCase{"StatusNothingRegistered",
                 {"--json", "status"},
                 1,
                 R"({"ok":false,"exit":1,"error":"No controller, check USB connection. Nothing )"
                 R"(is registered at {registry}.","output":"untouched","registry":"{registry}",)"
                 R"("device":null,"opened":false,"serial":null,"window":false})"
                 "\n",
                 "tarnwick: No controller, check USB connection. Nothing is registered at "
                 "{registry}.\n",
                 700,
                 0,
                 "noregistry"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tarnwick
