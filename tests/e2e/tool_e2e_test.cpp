// The tarnwick console tool against a real tarnwick-sim: one row per invocation, with its exit
// status, output, and what reached the converter.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "control/setpoint_write.hpp"
#include "e2e/sim_process.hpp"
#include "link/controller_link.hpp"
#include "platform/posix_os.hpp"

namespace tarnwick {
namespace {

constexpr int kBefore = 700;  // on the converter ahead of every row
constexpr int kAny = -1;

struct ToolCase {
  const char* name;
  std::vector<std::string> args;
  int exit;
  const char* out;       // all of standard output ({socket}: the device path), or nullptr
  const char* err;       // a part of standard error
  int output;            // the converter afterwards
  int requests;          // requests that reached the simulator
  const char* sim = "";  // a simulator command ahead of the run; "noregistry": none published
};

void PrintTo(const ToolCase& c, std::ostream* os) {
  *os << c.name;
}

struct Result {
  int exit = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Result RunTool(const std::vector<std::string>& args, const std::string& dir) {
  std::vector<std::string> argv{TARNWICK_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string out = dir + "/out", err = dir + "/err";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
    dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128, Slurp(out), Slurp(err)};
}

class ToolE2E : public ::testing::TestWithParam<ToolCase> {};

TEST_P(ToolE2E, Invocation) {
  const ToolCase& c = GetParam();
  testing::SimProcess sim({"--serial", "305419896"});
  {
    platform::posix::PosixOs os;
    std::string status;
    link::ControllerLink link(os, status);
    struct : control::SetpointWindow {
      std::string SetpointText() const override { return std::to_string(kBefore); }
      void SetSerialCaption(const std::string&) override {}
      void SetSetpointColour(std::uint32_t) override {}
    } window;
    control::UpdateDAC(link, window);
  }
  ASSERT_EQ(sim.Status().output, kBefore);
  const std::string command = c.sim;
  if (command == "noregistry") {
    setenv("TARNWICK_REGISTRY", (sim.Directory() + "/empty").c_str(), 1);
  } else if (!command.empty()) {
    ASSERT_EQ(sim.Command(command).rfind("ok", 0), 0u);
  }
  const long requests = sim.Status().requests;

  const Result result = RunTool(c.args, sim.Directory());
  EXPECT_EQ(result.exit, c.exit) << result.err;
  if (c.out != nullptr) {
    std::string out = c.out;
    if (const auto at = out.find("{socket}"); at != std::string::npos) {
      out.replace(at, 8, sim.SocketPath());
    }
    EXPECT_EQ(result.out, out);
  }
  EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
  const testing::SimStatus after = sim.Status();
  if (c.output != kAny) {
    EXPECT_EQ(after.output, c.output);
  }
  EXPECT_EQ(after.requests - requests, c.requests);
}

constexpr char kNotNumber[] = "is not a plain number";

INSTANTIATE_TEST_SUITE_P(
    Table, ToolE2E,
    ::testing::Values(
        ToolCase{"MilliampsText",
                 {"set", "50mA"},
                 0,
                 "set 1024 counts (50.0mA) on the controller with serial number 305419896\n",
                 "",
                 1024,
                 4},
        ToolCase{"FractionHalfToEven", {"set", "2.5"}, 0, nullptr, "", 2, 4},
        ToolCase{"FullScale", {"set", "100mA"}, 0, nullptr, "", 2047, 4},
        ToolCase{"Zero", {"set", "0"}, 0, nullptr, "", 0, 4},
        ToolCase{"Json",
                 {"--json", "set", "0.1mA"},
                 0,
                 "{\"ok\":true,\"counts\":2,\"mA\":\"0.1\",\"serial\":305419896}\n",
                 "",
                 2,
                 4},
        ToolCase{"Serial", {"serial"}, 0, "305419896\n", "", kBefore, 1},
        ToolCase{"SerialJson",
                 {"serial", "--json"},
                 0,
                 "{\"ok\":true,\"serial\":305419896}\n",
                 "",
                 kBefore,
                 1},
        // Refused: nothing is sent.
        ToolCase{"Above", {"set", "3000"}, 64, "", "out of range", kBefore, 0},
        ToolCase{"AboveJson",
                 {"--json", "set", "3000"},
                 64,
                 "{\"ok\":false,\"exit\":64,\"error\":\"VALUE \\\"3000\\\" is out of range: "
                 "counts go from 0 to 2047\"}\n",
                 "out of range",
                 kBefore,
                 0},
        ToolCase{"AboveMilliamps", {"set", "101mA"}, 64, "", "out of range", kBefore, 0},
        ToolCase{"Trailing", {"set", "12abc"}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"Empty", {"set", ""}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"Negative", {"set", "-1"}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"Exponent", {"set", "1e3"}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"LeadingBlank", {"set", " 5"}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"TrailingBlank", {"set", "5 "}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"Hex", {"set", "0x10"}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"TwoPoints", {"set", "1.2.3"}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"UnitOnly", {"set", "mA"}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"UnitCase", {"set", "50ma"}, 64, "", kNotNumber, kBefore, 0},
        ToolCase{"NoValue", {"set"}, 64, "", "one VALUE", kBefore, 0},
        ToolCase{"TwoValues", {"set", "1", "2"}, 64, "", "one VALUE", kBefore, 0},
        ToolCase{"UnknownCommand", {"frobnicate"}, 64, "", "unknown command", kBefore, 0},
        ToolCase{"UnknownOption", {"--frob", "set", "5"}, 64, "", "unknown option", kBefore, 0},
        // Refused before the controller is even looked up: no status 1 in place of 64.
        ToolCase{
            "EmptyWithoutController", {"set", ""}, 64, "", kNotNumber, kBefore, 0, "noregistry"},
        ToolCase{"AboveWithoutController",
                 {"set", "3000"},
                 64,
                 "",
                 "out of range",
                 kBefore,
                 0,
                 "noregistry"},
        // A registered controller that does not answer.
        ToolCase{"Unplugged", {"set", "5"}, 2, "", "did not open", kAny, 0, "unplug"},
        ToolCase{"UnpluggedJson",
                 {"--json", "serial"},
                 2,
                 "{\"ok\":false,\"exit\":2,\"error\":\"the controller at {socket} did not open: "
                 "check the USB connection\"}\n",
                 "did not open",
                 kAny,
                 0,
                 "unplug"},
        // The latch was high, so the two transfers left still load the value.
        ToolCase{"WriteFails", {"set", "1500"}, 2, "", "did not answer", 1500, 3, "fail 1"},
        ToolCase{"IdentifyFails", {"serial"}, 2, "", "did not answer", kBefore, 1, "fail 1"},
        ToolCase{"IdentifyShort", {"serial"}, 2, "", "did not answer", kBefore, 1, "short 1 2"},
        // No controller registered at all.
        ToolCase{"NoRegistryValue",
                 {"set", "5"},
                 1,
                 "",
                 "tarnwick: No controller, check USB connection.\n",
                 kBefore,
                 0,
                 "noregistry"},
        ToolCase{"NoRegistryValueJson",
                 {"--json", "serial"},
                 1,
                 "{\"ok\":false,\"exit\":1,\"error\":\"No controller, check USB connection.\"}\n",
                 "",
                 kBefore,
                 0,
                 "noregistry"},
        ToolCase{"Version", {"--version"}, 0, "tarnwick " TARNWICK_VERSION "\n", "", kBefore, 0}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tarnwick
