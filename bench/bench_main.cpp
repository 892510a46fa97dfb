// What the program's work costs beside the bare socket work it cannot avoid. Each program
// benchmark has a floor measured in the same run: the same connects and request/reply pairs
// to the same stand-in driver, with no program logic at all.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/posix_os.hpp"
#include "registry_value.hpp"
#include "sim_server.hpp"
#include "ui/main_form.hpp"

namespace {

namespace fs = std::filesystem;
using namespace tarnwick;

// A stand-in driver for the whole run, published in a registry of its own.
class Bench {
 public:
  explicit Bench(bool hung) {
    char pattern[] = "/tmp/tw-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    registry_ = dir_ + "/registry";
    fs::create_directory(registry_);
    fs::permissions(registry_, fs::perms::owner_all, fs::perm_options::replace);
    server_ = std::make_unique<sim::SimServer>(sim::SimOptions{dir_ + "/dev.sock", 12345, ""});
    server_->Start();
    if (hung) server_->HangNext(sim::kMaxFaultCalls);
    sim::PublishDeviceName(registry_, server_->SocketPath());
  }
  ~Bench() {
    server_.reset();
    fs::remove_all(dir_);
  }
  // The program finds whichever driver was used last.
  Bench& Use() {
    setenv("TARNWICK_REGISTRY", registry_.c_str(), 1);
    return *this;
  }
  const std::string& Socket() const { return server_->SocketPath(); }

 private:
  std::string dir_;
  std::string registry_;
  std::unique_ptr<sim::SimServer> server_;
};

Bench& Driver() {
  static Bench bench(false);
  return bench.Use();
}

// Accepts every connection and never answers a request.
Bench& HungDriver() {
  static Bench bench(true);
  return bench.Use();
}

// The floor: connect, `transfers` request/reply pairs in the wire format, close.
void BareSession(const std::string& path, int transfers, std::uint8_t command) {
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size());
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("connect");
  }
  const std::array<std::uint8_t, 16> request = {0x28, 0x20, 0x22,    0,  8, 0, 0, 0,
                                                8,    18,   command, 10, 0, 8, 0, 0};
  std::array<std::uint8_t, 16> reply{};
  for (int i = 0; i < transfers; ++i) {
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (recv(fd, reply.data(), reply.size(), 0) < 4) throw std::runtime_error("recv");
  }
  close(fd);
}

void BM_UpdateDAC(benchmark::State& state) {
  Driver();
  platform::posix::PosixOs os;
  ui::MainForm form(os);
  form.txtCurrent.SetText("1000");
  for (auto _ : state) form.UpdateDAC();
  if (!form.StatusText().empty()) state.SkipWithError("no controller");
}

void BM_UpdateDACFloor(benchmark::State& state) {
  const std::string path = Driver().Socket();
  for (auto _ : state) BareSession(path, 3, 10);
}

void BM_Poll(benchmark::State& state) {
  Driver();
  platform::posix::PosixOs os;
  ui::MainForm form(os);
  for (auto _ : state) form.tmrSN_Timer();
  if (form.lblSerNum.caption != "Serial Number: 12345") state.SkipWithError("no serial");
}

void BM_PollFloor(benchmark::State& state) {
  const std::string path = Driver().Socket();
  for (auto _ : state) {
    BareSession(path, 1, 11);
    BareSession(path, 3, 10);
  }
}

// The program's work and its floor, interleaved call by call so that the machine's drift
// (a shared, noisy host) falls on both alike; the ratio is the figure to read.
template <typename Program, typename Floor>
void Paired(benchmark::State& state, Program program, Floor floor) {
  using Clock = std::chrono::steady_clock;
  Clock::duration programTime{};
  Clock::duration floorTime{};
  for (auto _ : state) {
    const auto start = Clock::now();
    program();
    const auto middle = Clock::now();
    floor();
    floorTime += Clock::now() - middle;
    programTime += middle - start;
  }
  const auto micros = [&](Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count() /
           static_cast<double>(state.iterations());
  };
  state.counters["program_us"] = micros(programTime);
  state.counters["floor_us"] = micros(floorTime);
  state.counters["ratio"] = micros(programTime) / micros(floorTime);
}

void BM_UpdateDACPaired(benchmark::State& state) {
  const std::string path = Driver().Socket();
  platform::posix::PosixOs os;
  ui::MainForm form(os);
  form.txtCurrent.SetText("1000");
  Paired(
      state, [&] { form.UpdateDAC(); }, [&] { BareSession(path, 3, 10); });
}

void BM_PollPaired(benchmark::State& state) {
  const std::string path = Driver().Socket();
  platform::posix::PosixOs os;
  ui::MainForm form(os);
  Paired(
      state, [&] { form.tmrSN_Timer(); },
      [&] {
        BareSession(path, 1, 11);
        BareSession(path, 3, 10);
      });
}

// How long one event holds the window against a driver that never answers; the worst
// iteration is the figure to read against the target.
template <typename Event>
void HeldAgainstTarget(benchmark::State& state, Event event, double targetMs) {
  using Clock = std::chrono::steady_clock;
  double worstMs = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    event();
    worstMs =
        std::max(worstMs, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  state.counters["worst_ms"] = worstMs;
  state.counters["target_ms"] = targetMs;
}

void BM_KeyOnHungDevice(benchmark::State& state) {
  HungDriver();
  platform::posix::PosixOs os;
  ui::MainForm form(os);
  HeldAgainstTarget(
      state, [&] { form.txtCurrent_KeyDown(ui::kKeyUp, 0); }, 300);
  if (form.txtCurrent.Text() == "0") state.SkipWithError("the key was not handled");
}

void BM_PollOnHungDevice(benchmark::State& state) {
  HungDriver();
  platform::posix::PosixOs os;
  ui::MainForm form(os);
  HeldAgainstTarget(
      state, [&] { form.tmrSN_Timer(); }, 600);
  if (form.lblSerNum.caption != "Serial Number: 0") state.SkipWithError("the device answered");
}

// The registry read every open makes: the part of a write that is not socket work.
void BM_ReadRegistry(benchmark::State& state) {
  Driver();
  platform::posix::PosixOs os;
  std::string status;
  link::ControllerLink link(os, status);
  for (auto _ : state) {
    benchmark::DoNotOptimize(link.ReadRegistryString(
        platform::kHKeyLocalMachine, link::kRegistrySubkey, link::kRegistryValueName, ""));
  }
}

// The operator pastes a long text: the whole change handling, from the paste to the label.
void BM_PasteChange(benchmark::State& state) {
  struct NoOs final : platform::Os {
    std::int32_t regOpenKey(platform::RegKey, const std::string&, std::uint32_t, std::uint32_t,
                            platform::RegKey& result) override {
      result = 0;
      return 2;
    }
    std::int32_t regQueryValue(platform::RegKey, const std::string&, std::uint32_t&, std::uint8_t*,
                               std::uint32_t&) override {
      return 2;
    }
    std::int32_t regCloseKey(platform::RegKey) override { return 6; }
    platform::Handle createFile(const std::string&, std::uint32_t, std::uint32_t, std::uint32_t,
                                std::uint32_t) override {
      return -1;
    }
    bool deviceIoControl(platform::Handle, std::uint32_t, const std::uint8_t*, std::uint32_t,
                         std::uint8_t*, std::uint32_t, std::uint32_t&) override {
      return false;
    }
    bool closeHandle(platform::Handle) override { return false; }
    std::int32_t lastError() override { return 0; }
    std::string errorText(std::int32_t) override { return {}; }
    std::int32_t outOfMemoryError() override { return 12; }
  } os;
  ui::MainForm form(os);
  // Digits with a stray letter near the end: the whole text is read, then replaced.
  std::string text(static_cast<std::size_t>(state.range(0)), '7');
  text[text.size() - 3] = 'x';
  for (auto _ : state) {
    form.txtCurrent.Edit(text, text.size());
    benchmark::DoNotOptimize(form.lblMv.caption);
    form.txtCurrent.SetText("0");
  }
  state.SetComplexityN(state.range(0));
}

// One SCPI message and its answer through `tarnwick serve` on loopback, sequentially: with a
// write (range 1: "CURR 0.05;*OPC?", to set beside BM_UpdateDAC) and without any device session
// (range 0: "SYST:VERS?", what the server and the socket alone cost).
void BM_ServeRoundTrip(benchmark::State& state) {
  Driver();
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe");
  const pid_t server = fork();
  if (server == 0) {
    dup2(out[1], 1);
    close(out[0]);
    execl(TARNWICK_TOOL_PATH, TARNWICK_TOOL_PATH, "serve", "--listen", "127.0.0.1:0", nullptr);
    _exit(127);
  }
  close(out[1]);
  FILE* said = fdopen(out[0], "r");
  char line[256] = {};
  unsigned port = 0;
  if (said == nullptr || std::fgets(line, sizeof line, said) == nullptr ||
      std::sscanf(line, "serving SCPI on 127.0.0.1:%u", &port) != 1) {
    state.SkipWithError("tarnwick serve did not start");
  }
  const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int on = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (port != 0 && connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    state.SkipWithError("cannot connect to tarnwick serve");
  }
  const std::string message = state.range(0) == 1 ? "CURR 0.05;*OPC?\n" : "SYST:VERS?\n";
  char answer[64];
  for (auto _ : state) {
    if (send(client, message.data(), message.size(), MSG_NOSIGNAL) < 0) {
      state.SkipWithError("send");
      break;
    }
    for (ssize_t got = 0; got == 0 || answer[got - 1] != '\n';) {
      const ssize_t more =
          recv(client, answer + got, sizeof answer - static_cast<std::size_t>(got), 0);
      if (more <= 0) {
        state.SkipWithError("recv");
        break;
      }
      got += more;
    }
  }
  close(client);
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  if (said != nullptr) std::fclose(said);
}

BENCHMARK(BM_UpdateDAC);
BENCHMARK(BM_UpdateDACFloor);
BENCHMARK(BM_Poll);
BENCHMARK(BM_PollFloor);
BENCHMARK(BM_ReadRegistry);
BENCHMARK(BM_UpdateDACPaired);
BENCHMARK(BM_PollPaired);
BENCHMARK(BM_KeyOnHungDevice)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PollOnHungDevice)->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServeRoundTrip)->Arg(1)->Arg(0)->UseRealTime();
BENCHMARK(BM_PasteChange)->RangeMultiplier(4)->Range(1 << 10, 1 << 16)->Complexity();

}  // namespace

BENCHMARK_MAIN();
