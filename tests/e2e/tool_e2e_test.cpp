// The tarnwick console tool against a real tarnwick-sim: one row per invocation, with its exit
// status, output, and what reached the converter.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
  const char* out;       // all of standard output ({socket}: the device path), or nullptr
  const char* err;       // a part of standard error
  int output;            // the converter afterwards; it holds 700 before
  int requests;          // requests that reached the simulator
  const char* sim = "";  // a simulator command ahead of the run; "noregistry": none published;
                         // "locked": another program holds the device session
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

// Exit status; standard output and error go to DIR/out and DIR/err.
int RunTool(std::vector<std::string> args, const std::string& dir) {
  args.insert(args.begin(), TARNWICK_TOOL_PATH);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
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
  int held = -1;
  if (command == "noregistry") {
    setenv("TARNWICK_REGISTRY", (sim.Directory() + "/empty").c_str(), 1);
  } else if (command == "locked") {
    const std::string lock = sim.RegistryRoot() + "/" + platform::posix::kSessionLockFile;
    held = open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
  } else if (!command.empty()) {
    ASSERT_EQ(sim.Command(command).rfind("ok", 0), 0u);
  }
  const long requests = sim.Status().requests;

  EXPECT_EQ(RunTool(c.args, sim.Directory()), c.exit);
  if (held >= 0) close(held);
  if (c.out != nullptr) {
    std::string out = c.out;
    if (const auto at = out.find("{socket}"); at != std::string::npos) {
      out.replace(at, 8, sim.SocketPath());
    }
    EXPECT_EQ(Slurp(sim.Directory() + "/out"), out);
  }
  const std::string err = Slurp(sim.Directory() + "/err");
  EXPECT_NE(err.find(c.err), std::string::npos) << err;
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
        ToolCase{"Json",
                 {"--json", "set", "0.1mA"},
                 0,
                 R"({"ok":true,"counts":2,"mA":"0.1","serial":305419896})"
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
                 R"(counts go from 0 to 2047"})"
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
        // Refused before the controller is even looked up: not status 1.
        ToolCase{"EmptyNoController", {"set", ""}, 64, "", kNotNumber, 700, 0, "noregistry"},
        // A registered controller that does not answer.
        ToolCase{"Unplugged",
                 {"--json", "set", "5"},
                 2,
                 R"({"ok":false,"exit":2,"error":"the controller at {socket} did not open: )"
                 R"(check the USB connection"})"
                 "\n",
                 "did not open",
                 0,
                 0,
                 "unplug"},
        ToolCase{"SessionHeld", {"set", "5"}, 2, "", "did not open", 700, 0, "locked"},
        // The latch was high, so the two transfers left still load the value.
        ToolCase{"WriteFails", {"set", "1500"}, 2, "", "did not answer", 1500, 3, "fail 1"},
        ToolCase{"IdentifyFails", {"serial"}, 2, "", "did not answer", 700, 1, "fail 1"},
        ToolCase{"IdentifyShort", {"serial"}, 2, "", "did not answer", 700, 1, "short 1 2"},
        ToolCase{"NoRegistryValue",
                 {"set", "5"},
                 1,
                 "",
                 "tarnwick: No controller, check USB connection.\n",
                 700,
                 0,
                 "noregistry"},
        ToolCase{"Version", {"--version"}, 0, "tarnwick " TARNWICK_VERSION "\n", "", 700, 0}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tarnwick
