// The tarnwick console tool against a real tarnwick-sim: one row per invocation, with its exit
// status, output, and what reached the converter.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/sim_process.hpp"
#include "platform/posix_registry.hpp"

namespace tarnwick {
namespace {

struct ToolCase {
  const char* name;
  std::vector<std::string> args;
  int exit;
  const char* out;       // all of standard output, or nullptr ({socket}: the device path,
                         // {registry}: where its path is registered, {root}: the registry's
                         // root, {help}: what --help prints)
  const char* err;       // a part of standard error (the same placeholders)
  int output;            // the converter afterwards; it holds 700 before
  int requests;          // requests that reached the simulator
  const char* sim = "";  // a simulator command ahead of the run; "noregistry": none published,
                         // "window": a script driver runs beside, "full": stdout is /dev/full,
                         // "unread": stdout is a pipe nobody reads, "locked": another program
                         // holds the device session, "untrusted": the window mark is 0666,
                         // "openroot": the registry's root is 0777
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

// Exit status; standard output and error go to OUT (else DIR/out; "|": a pipe nobody reads)
// and DIR/err.
int RunTool(std::vector<std::string> args, const std::string& dir, std::string out = "") {
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
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
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
  const std::string out = command == "full" ? "/dev/full" : command == "unread" ? "|" : "";
  if (command == "noregistry") {
    setenv("TARNWICK_REGISTRY", (dir + "/empty").c_str(), 1);
  } else if (command == "window") {
    window = popen(("exec " TARNWICK_SCRIPT_PATH " > " + dir + "/window").c_str(), "w");
    // Its first state line comes after it has marked itself and written its 0.
    for (int i = 0; i < 1000 && Slurp(dir + "/window").empty(); ++i) usleep(10000);
  } else if (command == "openroot") {
    ASSERT_EQ(chmod(sim.RegistryRoot().c_str(), 0777), 0);
  } else if (command == "untrusted") {
    const int mark = open((sim.RegistryRoot() + "/window.lock").c_str(), O_RDONLY | O_CREAT, 0600);
    ASSERT_EQ(fchmod(mark, 0666), 0);
    close(mark);
  } else if (command == "locked") {
    const std::string lock = sim.RegistryRoot() + "/" + platform::posix::kSessionLockFile;
    held = open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
  } else if (!command.empty() && out.empty()) {
    ASSERT_EQ(sim.Command(command).rfind("ok", 0), 0u);
  }
  const long requests = sim.Status().requests;

  EXPECT_EQ(RunTool(c.args, dir, out), c.exit);
  if (window != nullptr) pclose(window);
  if (held >= 0) close(held);
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
  if (c.out != nullptr) {
    EXPECT_EQ(Slurp(dir + "/out"), expand(c.out));
  }
  const std::string err = Slurp(dir + "/err");
  EXPECT_NE(err.find(expand(c.err)), std::string::npos) << err;
  const testing::SimStatus after = sim.Status();
  if (command != "unplug") {
    EXPECT_EQ(after.output, c.output);
  }
  EXPECT_EQ(after.requests - requests, c.requests);
}

constexpr char kNotNumber[] = "is not a plain number";
constexpr char kRange[] = "is out of range";

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
        ToolCase{"HalfToEven", {"set", "2.5"}, 0, nullptr, "", 2, 4},
        ToolCase{"FullScale", {"set", "2047"}, 0, nullptr, "", 2047, 4},
        ToolCase{"FullScaleAfterOptionsEnd", {"--", "set", "100mA"}, 0, nullptr, "", 2047, 4},
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
                 kRange,
                 700,
                 0},
        ToolCase{"AboveMilliamps", {"set", "101mA"}, 64, "", kRange, 700, 0},
        ToolCase{"Trailing", {"set", "12abc"}, 64, "", kNotNumber, 700, 0},
        ToolCase{"Empty", {"set", ""}, 64, "", kNotNumber, 700, 0},
        ToolCase{"Negative", {"set", "-1"}, 64, "", kNotNumber, 700, 0},
        ToolCase{"Exponent", {"set", "1e3"}, 64, "", kNotNumber, 700, 0},
        ToolCase{"Blank", {"set", " 5"}, 64, "", kNotNumber, 700, 0},
        ToolCase{"BeyondADouble", {"set", std::string(400, '9')}, 64, "", kRange, 700, 0},
        ToolCase{"TwoValues", {"set", "5", "6"}, 64, "", "set takes one VALUE", 700, 0},
        // Refused before the controller is even looked up: not status 1.
        ToolCase{"EmptyNoController", {"set", ""}, 64, "", kNotNumber, 700, 0, "noregistry"},
        // A registered controller that does not answer.
        ToolCase{"Unplugged",
                 {"--json", "set", "5"},
                 2,
                 R"({"ok":false,"exit":2,"error":"the controller at {socket} did not open )"
                 R"((No such file or directory): check the USB connection","output":"untouched"})"
                 "\n",
                 "did not open",
                 0,
                 0,
                 "unplug"},
        ToolCase{"SessionHeld", {"set", "5"}, 2, "", "in use by another program", 700, 0, "locked"},
        // The latch was high, so the two transfers left still load the value.
        ToolCase{"WriteFails", {"set", "1500"}, 2, "", "did not answer", 1500, 3, "fail 1"},
        ToolCase{"IdentifyFails", {"serial"}, 2, "", "did not answer", 700, 1, "fail 1"},
        ToolCase{"IdentifyShort", {"serial"}, 2, "", "did not answer", 700, 1, "short 1 2"},
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
                 "",
                 700,
                 0},
        // The help a Windows user asks for first, on both systems.
        ToolCase{"SlashQuestionMark", {"/?"}, 0, "{help}", "", 700, 0},
        ToolCase{"DashQuestionMark", {"-?"}, 0, "{help}", "", 700, 0},
        ToolCase{"EmptyCommand", {"", "set", "9"}, 64, "", "unknown command", 700, 0},
        ToolCase{"ServeNoPort", {"serve", "--listen", "[::1]"}, 64, "", "is not HOST:PORT", 700, 0},
        ToolCase{"ListenWithoutServe", {"--listen=:1", "serial"}, 64, "", "serve only", 700, 0},
        ToolCase{"DryRun",
                 {"set", "--dry-run", "50mA"},
                 0,
                 "1024 counts (50.0mA): checked, not sent (dry run)\n",
                 "",
                 700,
                 0},
        // The value went out; only its report did not.
        ToolCase{"OutputFull", {"set", "5"}, 74, nullptr, "the value was set", 5, 4, "full"},
        ToolCase{"ReaderGone", {"serial"}, 74, nullptr, "Broken pipe", 700, 1, "unread"},
        ToolCase{"ScriptDriverRuns",
                 {"set", "5"},
                 0,
                 nullptr,
                 "warning: the Tarnwick Test script driver (process ",
                 5,
                 4,
                 "window"},
        ToolCase{"StatusScriptDriverRuns",
                 {"--json", "status"},
                 0,
                 R"({"ok":true,"registry":"{registry}","device":"{socket}","opened":true,)"
                 R"("serial":305419896,"window":true,"holder":"script-driver"})"
                 "\n",
                 "",
                 0,  // the driver's start wrote 0
                 1,
                 "window"},
        // A mark that cannot be believed says nothing about a window either way.
        ToolCase{"WindowMarkUntrusted",
                 {"set", "5"},
                 0,
                 nullptr,
                 "warning: window: unknown (the window mark {root}/window.lock is not a regular "
                 "file of yours that others cannot write (mode 0666))",
                 5,
                 4,
                 "untrusted"},
        ToolCase{"RegistryRootUntrusted",
                 {"set", "5"},
                 1,
                 "",
                 "warning: window: unknown (the registry at {root} is not trusted (mode 0777))",
                 700,
                 0,
                 "openroot"},
        ToolCase{"StatusJsonWindowMarkUntrusted",
                 {"--json", "status"},
                 0,
                 R"({"ok":true,"registry":"{registry}","device":"{socket}","opened":true,)"
                 R"("serial":305419896,"window":null,"window_unknown":"the window mark )"
                 R"({root}/window.lock is not a regular file of yours that others cannot )"
                 R"j(write (mode 0666)"})j"
                 "\n",
                 "",
                 700,
                 1,
                 "untrusted"},
        ToolCase{"StatusWindowMarkUntrusted",
                 {"status"},
                 0,
                 "registry: {registry}\ndevice: {socket}\nopened: yes\nserial: 305419896\n"
                 "window: unknown (the window mark {root}/window.lock is not a regular file of "
                 "yours that others cannot write (mode 0666))\n",
                 "",
                 700,
                 1,
                 "untrusted"},
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
                 nullptr,
                 "Nothing is registered at {registry}.",
                 700,
                 0,
                 "noregistry"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tarnwick
