// The whole program, driven through tarnwick-script, against a real tarnwick-sim.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/sim_process.hpp"

namespace tarnwick {
namespace {

using testing::SimProcess;

struct WindowState {
  std::string lblSerNum;
  std::string txtCurrent;
  std::string colour;
  std::string lblMv;
};

// Reads one field of the state line; the driver escapes only what JSON needs.
std::string Field(const std::string& json, const std::string& name) {
  const std::string key = "\"" + name + "\":\"";
  auto at = json.find(key);
  if (at == std::string::npos) throw std::runtime_error("no " + name + " in " + json);
  std::string value;
  for (at += key.size(); at < json.size() && json[at] != '"'; ++at) {
    if (json[at] == '\\' && at + 1 < json.size()) ++at;
    value += json[at];
  }
  return value;
}

class ScriptProcess {
 public:
  ScriptProcess() {
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(in[0], 0);
      dup2(out[1], 1);
      execl(TARNWICK_SCRIPT_PATH, TARNWICK_SCRIPT_PATH, static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    to_ = in[1];
    from_ = out[0];
    start = Parse(ReadLine());
  }
  ~ScriptProcess() {
    close(to_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(from_);
  }
  ScriptProcess(const ScriptProcess&) = delete;
  ScriptProcess& operator=(const ScriptProcess&) = delete;

  WindowState Send(const std::string& event) {
    const std::string line = event + "\n";
    if (write(to_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      throw std::runtime_error("cannot write to tarnwick-script");
    }
    return Parse(ReadLine());
  }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  pid_t Pid() const { return pid_; }

  WindowState start;

 private:
  static WindowState Parse(const std::string& json) {
    return {Field(json, "lblSerNum"), Field(json, "txtCurrent"), Field(json, "colour"),
            Field(json, "lblMv")};
  }
  std::string ReadLine() {
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      pollfd entry{from_, POLLIN, 0};
      if (poll(&entry, 1, 20000) <= 0) throw std::runtime_error("tarnwick-script is silent");
      char buffer[4096];
      const ssize_t got = read(from_, buffer, sizeof buffer);
      if (got <= 0) throw std::runtime_error("tarnwick-script ended");
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  pid_t pid_ = -1;
  int to_ = -1;
  int from_ = -1;
  std::string pending_;
};

TEST(ScriptE2E, TypeStepUnplugReplugAndExit) {
  SimProcess sim({"--serial", "4242"});
  ScriptProcess window;
  EXPECT_EQ(window.start.lblSerNum, "");
  EXPECT_EQ(window.start.txtCurrent, "0");
  EXPECT_EQ(window.start.colour, "black");
  EXPECT_EQ(window.start.lblMv, "0mA");
  EXPECT_EQ(sim.Status().loads, 2);  // the load handler wrote 0 to a freshly powered board

  EXPECT_EQ(window.Send("tick").lblSerNum, "Serial Number: 4242");

  // Typed digits: each key writes the text as it stood before that key.
  for (const char* key : {"char 1", "char 0", "char 0"}) window.Send(key);
  WindowState state = window.Send("char 0");
  EXPECT_EQ(state.txtCurrent, "1000");
  EXPECT_EQ(state.colour, "grey");
  EXPECT_EQ(state.lblMv, "48.9mA");
  EXPECT_EQ(sim.Status().output, 100);

  state = window.Send("key 38");
  EXPECT_EQ(state.txtCurrent, "1001");
  EXPECT_EQ(state.colour, "black");
  EXPECT_EQ(sim.Status().output, 1001);
  state = window.Send("key 33");
  EXPECT_EQ(state.txtCurrent, "1011");
  EXPECT_EQ(sim.Status().output, 1011);

  state = window.Send("backspace");
  EXPECT_EQ(state.txtCurrent, "101");
  EXPECT_EQ(state.colour, "grey");
  EXPECT_EQ(state.lblMv, "4.9mA");
  EXPECT_EQ(sim.Status().output, 1011);
  state = window.Send("tick");  // the poll writes what the operator sees
  EXPECT_EQ(state.colour, "black");
  EXPECT_EQ(sim.Status().output, 101);

  // Pulled: the line reads 0 and writes stop.
  ASSERT_EQ(sim.Command("unplug").rfind("ok", 0), 0u);
  EXPECT_EQ(window.Send("tick").lblSerNum, "Serial Number: 0");
  state = window.Send("key 38");
  EXPECT_EQ(state.txtCurrent, "102");
  EXPECT_EQ(state.lblSerNum, "Serial Number: 0");

  // Back: within one poll the controller shows its serial and has the set-point again.
  ASSERT_EQ(sim.Command("plug").rfind("ok", 0), 0u);
  ASSERT_EQ(sim.Command("serial 4243").rfind("ok", 0), 0u);
  EXPECT_EQ(sim.Status().output, 0);
  EXPECT_EQ(window.Send("tick").lblSerNum, "Serial Number: 4243");
  EXPECT_EQ(sim.Status().output, 102);

  state = window.Send("paste 3000");
  EXPECT_EQ(state.txtCurrent, "2047");
  EXPECT_EQ(state.lblMv, "100.0mA");
  EXPECT_EQ(state.colour, "grey");

  window.Send("exit");
  EXPECT_EQ(window.Wait(), 0);
  EXPECT_EQ(sim.Status().output, 102);  // leaving writes nothing
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A driver that must not start: its exit status, with its standard output and error.
int RunRefused(const std::string& dir, std::string& out, std::string& err) {
  const std::string command =
      "exec " TARNWICK_SCRIPT_PATH " </dev/null >" + dir + "/out 2>" + dir + "/err";
  const int status = system(command.c_str());
  out = Slurp(dir + "/out");
  err = Slurp(dir + "/err");
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ScriptE2E, OneDriverPerRegistryAndNoneOnAMarkItCannotTrust) {
  SimProcess sim;
  const std::string mark = sim.RegistryRoot() + "/window.lock";
  std::string out;
  std::string err;
  long requests = 0;
  {
    ScriptProcess first;
    first.Send("paste 900");
    first.Send("tick");
    requests = sim.Status().requests;
    EXPECT_EQ(RunRefused(sim.Directory(), out, err), 3);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err, "tarnwick-script: the Tarnwick Test script driver (process " +
                       std::to_string(first.Pid()) +
                       ") already runs for this controller and writes its own set-point every "
                       "second: only one may, so this one did not start and wrote nothing\n");
    EXPECT_EQ(sim.Status().requests, requests);
    EXPECT_EQ(sim.Status().output, 900);
  }
  // Each row makes the mark file something else: a FIFO, writable by others, a dangling link.
  const struct {
    std::string make;
    const char* why;
  } rows[] = {{"mkfifo -m 0600", "a FIFO"},
              {"install -m 0666 /dev/null", "mode 0666"},
              {"ln -s " + sim.Directory() + "/target", "a symbolic link"}};
  for (const auto& row : rows) {
    ASSERT_EQ(system(("rm -f " + mark + " && " + row.make + " " + mark).c_str()), 0) << row.make;
    EXPECT_EQ(RunRefused(sim.Directory(), out, err), 4) << row.make;
    EXPECT_EQ(out, "");
    EXPECT_EQ(err,
              "tarnwick-script: cannot mark this program as the one that sets the current "
              "(the window mark " +
                  mark + " is not a regular file of yours that others cannot write (" + row.why +
                  ")), so it did not start and wrote nothing\n");
  }
  EXPECT_EQ(access((sim.Directory() + "/target").c_str(), F_OK), -1);  // nothing made there
  EXPECT_EQ(sim.Status().requests, requests);
}

TEST(ScriptE2E, StartWithoutARegistryPath) {
  SimProcess sim({"--no-registry"});
  ScriptProcess window;
  EXPECT_EQ(window.start.lblSerNum, "No controller, check USB connection.");
  EXPECT_EQ(window.start.lblMv, "0mA");
  EXPECT_EQ(window.start.colour, "black");
  EXPECT_EQ(window.Send("tick").lblSerNum, "Serial Number: 0");
  const WindowState state = window.Send("key 38");
  EXPECT_EQ(state.lblSerNum, "No controller, check USB connection.");
  EXPECT_EQ(state.txtCurrent, "1");
  EXPECT_EQ(sim.Status().requests, 0);
}

TEST(ScriptE2E, UnknownEventsAnswerWithoutLosingStep) {
  SimProcess sim;
  ScriptProcess window;
  EXPECT_THROW(window.Send("jump"), std::runtime_error);  // an error line, not a state
  EXPECT_EQ(window.Send("char 7").txtCurrent, "7");
}

}  // namespace
}  // namespace tarnwick
