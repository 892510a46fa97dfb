// The simulated controller: the in-process server over a raw SOCK_SEQPACKET client, its
// registry value, and the tarnwick-sim program driven through its stdin and stdout.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "unit/board_packets.hpp"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "registry_value.hpp"
#include "sim_server.hpp"

extern char** environ;

namespace tarnwick::sim {
namespace {

using tarnwick::testing::Bytes;
using tarnwick::testing::kIdentify;
using tarnwick::testing::PortWrite;

// Only so that a broken build fails instead of hanging; nothing here is timed.
constexpr int kPatienceMs = 20000;
constexpr std::uint32_t kSerial = 0x00C0FFEEu;

struct TempDir {
  TempDir() {
    char name[] = "/tmp/twsim-XXXXXX";
    if (::mkdtemp(name) == nullptr) throw std::system_error(errno, std::generic_category());
    path = name;
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string File(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

int OpenDescriptors() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// Waits for something the server thread does; false only if it never happens.
bool Eventually(const std::function<bool()>& condition, int patienceMs = kPatienceMs) {
  for (int waited = 0; !condition(); waited += 2) {
    if (waited > patienceMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

Bytes Request(const Bytes& in, std::uint32_t capacity = 8, std::uint32_t code = TW_CONTROL_CODE) {
  Bytes request;
  for (const std::uint32_t word : {code, capacity}) {
    for (int shift = 0; shift < 32; shift += 8) request.push_back(std::uint8_t(word >> shift));
  }
  request.insert(request.end(), in.begin(), in.end());
  return request;
}

Bytes Ok(Bytes data) {
  data.insert(data.begin(), {1, 0, 0, 0});
  return data;
}
const Bytes kFailed = {0, 0, 0, 0};
const Bytes kSerialReply = Ok({0xEE, 0xFF, 0xC0, 0x00, 0, 0, 0, 0});

// The program's side of the device: one datagram per call, one back.
class Client {
 public:
  explicit Client(const std::string& path)
      : fd_(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      error = errno;
    }
  }
  ~Client() { ::close(fd_); }

  bool Send(const Bytes& datagram) {
    return ::send(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(datagram.size());
  }
  // The next datagram; nothing at the end of the connection or when none comes.
  std::optional<Bytes> Receive(bool wait = true) {
    pollfd polled{fd_, POLLIN, 0};
    if (::poll(&polled, 1, wait ? kPatienceMs : 0) != 1) return std::nullopt;
    Bytes buffer(4096);
    const ssize_t got = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got <= 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(got));
    return buffer;
  }
  std::optional<Bytes> Call(const Bytes& request) {
    return Send(request) ? Receive() : std::nullopt;
  }
  // Closed by the simulator, after at most the word that turns a newcomer away (2).
  bool Dropped() {
    pollfd polled{fd_, POLLIN, 0};
    std::uint8_t word[4];
    for (int reads = 0; reads < 2 && ::poll(&polled, 1, kPatienceMs) == 1; ++reads) {
      const ssize_t got = ::recv(fd_, word, sizeof word, MSG_DONTWAIT);
      if (got <= 0 || got != 4 || word[0] != 2) return got <= 0;
    }
    return false;
  }

  int error = 0;

 private:
  int fd_;
};

// The program's write: latch high, low, high around the same data bits.
void WriteCounts(Client& client, unsigned counts) {
  for (const bool latch : {true, false, true}) {
    EXPECT_EQ(client.Call(Request(PortWrite(counts, latch))), Ok(PortWrite(counts, latch)));
  }
}

class SimServerTest : public ::testing::Test {
 protected:
  void SetUp() override { server.Start(); }
  TempDir dir;
  std::string path = dir.File("dev.sock");
  SimServer server{SimOptions{path, kSerial, dir.File("log")}};
};

TEST_F(SimServerTest, WriteSequenceLoadsTheConverterAndReportsEachLoad) {
  std::mutex mutex;
  std::vector<std::tuple<std::uint16_t, std::uint16_t, std::uint32_t>> loads;
  server.OnLoad([&](const Load& load) {
    std::lock_guard lock(mutex);
    loads.push_back({load.counts, load.previous, load.loads});
  });
  Client client(path);
  ASSERT_EQ(client.error, 0) << std::strerror(client.error);
  WriteCounts(client, 1000);
  EXPECT_EQ(server.Status().output, 1000);
  WriteCounts(client, 0x5A3);
  // Power-up leaves the latch low, so the first write loads twice. Loads are reported before
  // the reply that follows them.
  std::lock_guard lock(mutex);
  using L = std::tuple<std::uint16_t, std::uint16_t, std::uint32_t>;  // counts, previous, loads
  EXPECT_EQ(loads, (std::vector<L>{{1000, 0, 1}, {1000, 1000, 2}, {0x5A3, 1000, 3}}));
  const SimStatus status = server.Status();
  EXPECT_EQ(status.output, 0x5A3);
  EXPECT_EQ(status.loads, 3u);
  EXPECT_EQ(status.requests, 6u);
}

TEST_F(SimServerTest, IdentifyAnswersTheSerialWhateverTheCapacity) {
  Client client(path);
  for (const std::uint32_t capacity : {8u, 9u, 0xFFFFFFFFu}) {
    EXPECT_EQ(client.Call(Request(kIdentify, capacity)), kSerialReply) << capacity;
  }
  server.SetSerial(0x12345678u);
  EXPECT_EQ(client.Call(Request(kIdentify)), Ok({0x78, 0x56, 0x34, 0x12, 0, 0, 0, 0}));
}

Bytes Oversize() {
  Bytes request = Request(PortWrite(1, true));
  request.resize(kMaxRequestBytes + 1);
  return request;
}

class SimServerRejects : public SimServerTest, public ::testing::WithParamInterface<Bytes> {};

TEST_P(SimServerRejects, WithAFailureReplyAndServesTheNextCall) {
  Client client(path);
  EXPECT_EQ(client.Call(GetParam()), kFailed);
  EXPECT_EQ(client.Call(Request(kIdentify)), kSerialReply);
  EXPECT_EQ(server.Status().loads, 0u);
  EXPECT_EQ(server.Status().requests, 2u);
}

INSTANTIATE_TEST_SUITE_P(Requests, SimServerRejects,
                         ::testing::Values(Bytes{}, Bytes{0x28, 0x20, 0x22},
                                           Bytes{0x28, 0x20, 0x22, 0, 8, 0, 0}, Request({}),
                                           Oversize(), Request(PortWrite(1, true), 8, 0x222024),
                                           Request(PortWrite(1, true), 7),
                                           Request({8, 18, 10, 10, 1, 8, 0, 0, 0}),
                                           Request({8, 18, 12, 10, 1, 8, 0, 0})));

// Replies to a latching write of 700 and three identifies, one mark per call: '.' the normal
// reply, 'F' a failure, '-' none at all, a digit that many of the normal reply's data bytes.
struct FaultCase {
  const char* name;
  unsigned fail, hang, shortCalls, shortBytes;  // queued hang first, then short, then fail
  const char* replies;
  unsigned output;
};
void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.name;
}

class SimServerFaults : public SimServerTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SimServerFaults, ApplyToTheNextCallsInTheOrderQueued) {
  const FaultCase& c = GetParam();
  server.HangNext(c.hang);
  server.ShortNext(c.shortCalls, c.shortBytes);
  server.FailNext(c.fail);
  Client client(path);
  const Bytes calls[] = {PortWrite(700, true), kIdentify, kIdentify, kIdentify};
  for (const Bytes& in : calls) ASSERT_TRUE(client.Send(Request(in)));
  for (std::size_t i = 0; i < 4; ++i) {
    const Bytes normal = i == 0 ? Ok(calls[0]) : kSerialReply;
    const char mark = c.replies[i];
    if (mark == '-') continue;
    const auto cut = normal.begin() + 4 + (mark - '0');
    EXPECT_EQ(client.Receive(), mark == 'F'   ? kFailed
                                : mark == '.' ? normal
                                              : Bytes(normal.begin(), cut))
        << i;
  }
  // Replies keep their order, so one to a hung call would have shown up by now.
  EXPECT_EQ(client.Receive(false), std::nullopt);
  EXPECT_EQ(server.Status().requests, 4u);
  EXPECT_EQ(server.Status().output, c.output);
}

INSTANTIATE_TEST_SUITE_P(Queued, SimServerFaults,
                         ::testing::Values(FaultCase{"None", 0, 0, 0, 5, "....", 700},
                                           FaultCase{"FailTwo", 2, 0, 0, 0, "FF..", 0},
                                           FaultCase{"ShortThree", 0, 0, 1, 3, "3...", 700},
                                           FaultCase{"ShortEmptyTwice", 0, 0, 2, 0, "00..", 700},
                                           FaultCase{"HangOne", 0, 1, 0, 0, "-...", 0},
                                           FaultCase{"HangShortFail", 1, 1, 1, 1, "-1F.", 0}),
                         [](const ::testing::TestParamInfo<FaultCase>& test) {
                           return test.param.name;
                         });

TEST_F(SimServerTest, UnplugDropsConnectionsAndThePathAndPlugPowersUpAgain) {
  Client writer(path);
  Client waiting(path);
  WriteCounts(writer, 1500);
  server.HangNext(1);  // leaves this call unanswered when the device goes
  ASSERT_TRUE(waiting.Send(Request(PortWrite(9, false))));
  ASSERT_TRUE(Eventually([&] { return server.Status().requests == 4; }));

  EXPECT_TRUE(server.Unplug());
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(writer.Dropped());
  EXPECT_TRUE(waiting.Dropped());
  EXPECT_EQ(Client(path).error, ENOENT);
  EXPECT_FALSE(server.Unplug());
  EXPECT_EQ(server.Status().output, 1500);

  server.SetSerial(77);
  EXPECT_TRUE(server.Plug());
  EXPECT_FALSE(server.Plug());
  EXPECT_TRUE(server.Status().plugged);
  EXPECT_EQ(server.Status().output, 0);
  EXPECT_EQ(server.Status().loads, 0u);
  Client client(path);
  EXPECT_EQ(client.Call(Request(kIdentify)), Ok({77, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(client.Call(Request(PortWrite(42, true))), Ok(PortWrite(42, true)));  // latch was low
  EXPECT_EQ(server.Status().output, 42);
  EXPECT_THROW(server.ShortNext(1, 8), std::invalid_argument);
  EXPECT_THROW(server.HangNext(kMaxFaultCalls + 1), std::invalid_argument);
}

TEST_F(SimServerTest, UnplugFromTheLoadCallbackDoesNotDeadlock) {
  server.OnLoad([this](const Load&) { server.Unplug(); });
  Client client(path);
  EXPECT_EQ(client.Call(Request(PortWrite(10, true))), Ok(PortWrite(10, true)));
  EXPECT_TRUE(client.Dropped());
  EXPECT_FALSE(Exists(path));
}

TEST_F(SimServerTest, LogsEveryRequestInHex) {
  {
    Client client(path);
    for (const Bytes& request :
         {Request(PortWrite(0x365, true)), Request(kIdentify, 16), Bytes{1, 0xAB, 3}, Oversize()}) {
      client.Call(request);
    }
  }
  server.Stop();
  EXPECT_EQ(ReadFile(dir.File("log")),
            "code=00222028 cap=8 in=08 12 0a 0a 65 0b 00 00\n"
            "code=00222028 cap=16 in=08 12 0b 0a 00 00 00 00\n"
            "malformed request: 3 bytes: 01 ab 03\n"
            "oversize request: more than 1024 bytes\n");
}

TEST_F(SimServerTest, LeaksNoDescriptorsOverManyConnections) {
  const int idle = OpenDescriptors();
  for (int round = 0; round < 2000; ++round) {
    Client client(path);
    ASSERT_EQ(client.Call(Request(kIdentify)), kSerialReply) << "round " << round;
  }
  // The server closes its end once it notices ours went: wait for that.
  EXPECT_TRUE(Eventually([&] { return OpenDescriptors() == idle; })) << OpenDescriptors();
}

TEST(SimServerLifecycle, StopReleasesEverythingAndNeverTakesAnotherServersPath) {
  TempDir dir;
  const int before = OpenDescriptors();
  {
    SimServer first(SimOptions{dir.File("a.sock"), 1, dir.File("log")});
    first.Start();
    Client(dir.File("a.sock")).Call(Request(kIdentify));
    first.Stop();
    EXPECT_FALSE(Exists(dir.File("a.sock")));
    first.Start();                                            // it can serve again,
    ::unlink(dir.File("a.sock").c_str());                     // but someone cleared its path away
    SimServer second(SimOptions{dir.File("a.sock"), 2, {}});  // and served another there
    second.Start();
    first.Stop();
    EXPECT_EQ(Client(dir.File("a.sock")).Call(Request(kIdentify)), Ok({2, 0, 0, 0, 0, 0, 0, 0}));
  }
  EXPECT_FALSE(Exists(dir.File("a.sock")));
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SimServerLifecycle, RefusesPathsItCannotOwnAndReplacesStaleSockets) {
  TempDir dir;
  std::ofstream(dir.File("file")) << "keep me";
  const auto stale = dir.File("stale.sock");  // what a killed simulator leaves behind
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address{AF_UNIX, {}};
  stale.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(fd);
  SimServer live(SimOptions{dir.File("live.sock"), 1, {}});
  live.Start();

  for (const auto& refused :
       {SimOptions{dir.File("file"), 1, {}}, SimOptions{dir.File(std::string(110, 'x')), 1, {}},
        SimOptions{dir.File("no/a.sock"), 1, {}},
        SimOptions{dir.File("b.sock"), 1, dir.File("no/log")},
        SimOptions{dir.File("live.sock"), 2, {}}}) {
    EXPECT_THROW(SimServer(refused).Start(), std::system_error) << refused.socketPath;
  }
  EXPECT_EQ(ReadFile(dir.File("file")), "keep me");
  EXPECT_FALSE(Exists(dir.File("b.sock")));
  EXPECT_EQ(Client(dir.File("live.sock")).Call(Request(kIdentify)), Ok({1, 0, 0, 0, 0, 0, 0, 0}));
  SimServer replacing(SimOptions{stale, 5, {}});
  ASSERT_NO_THROW(replacing.Start());
  EXPECT_EQ(Client(stale).Call(Request(kIdentify)), Ok({5, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SimRegistryValue, PublishWritesTheBarePathUnderPrivateKeysAtomically) {
  TempDir dir;
  const std::string root = dir.File("nested/registry");
  EXPECT_EQ(DeviceNameFile(root), root +
                                      "/HKEY_LOCAL_MACHINE/System/CurrentControlSet/Services/"
                                      "Tarnwick/TWUSBIO/Parameters/DeviceName");
  const std::string file = PublishDeviceName(root, "/run/a-longer-first-path.sock");
  EXPECT_EQ(file, DeviceNameFile(root));
  EXPECT_EQ(PublishDeviceName(root, "/run/b.sock"), file);
  EXPECT_EQ(ReadFile(file), "/run/b.sock");  // replaced whole: no NUL, newline or leftover
  const auto key = file.substr(0, file.rfind('/'));
  const std::filesystem::directory_iterator entries(key);
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 1);  // no temporary file left
  for (auto dirPath = key; dirPath.size() > dir.path.size(); dirPath.resize(dirPath.rfind('/'))) {
    struct stat info {};
    ASSERT_EQ(::stat(dirPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << dirPath;
  }
}

// The publisher refuses every tree the program would refuse to read, says why, and writes
// nothing anywhere: not in the tree, not where a link points.
TEST(SimRegistryValue, RefusesTreesTheProgramWouldNotReadAndWritesNothing) {
  const auto linkAway = [](const std::string& level) {
    const std::string elsewhere = level + ".elsewhere";
    std::filesystem::rename(level, elsewhere);
    std::filesystem::create_directory_symlink(elsewhere, level);
  };
  struct Case {
    const char* name;
    std::function<void(const std::string& root)> spoil;
    const char* why;
    bool needsRoot = false;
  } cases[] = {
      {"world-writable root", [](const std::string& root) { ::chmod(root.c_str(), 0777); },
       "registry is writable by group or others"},
      {"group-writable key",
       [](const std::string& root) { ::chmod((root + "/HKEY_LOCAL_MACHINE").c_str(), 0770); },
       "HKEY_LOCAL_MACHINE is writable by group or others"},
      {"link at the first key",
       [&](const std::string& root) { linkAway(root + "/HKEY_LOCAL_MACHINE"); },
       "HKEY_LOCAL_MACHINE is a symbolic link"},
      {"link at the value's key",
       [&](const std::string& root) {
         linkAway(DeviceNameFile(root).substr(0, DeviceNameFile(root).rfind('/')));
       },
       "Parameters is a symbolic link"},
      {"key another user owns",
       [](const std::string& root) {
         ASSERT_EQ(::chown((root + "/HKEY_LOCAL_MACHINE/System").c_str(), 65534, 65534), 0);
       },
       "System belongs to another user", true},
  };
  bool skipped = false;
  for (const Case& c : cases) {
    if (c.needsRoot && ::geteuid() != 0) {
      skipped = true;
      continue;
    }
    TempDir dir;
    const std::string root = dir.File("registry");
    const std::string file = PublishDeviceName(root, "/run/ours.sock");
    c.spoil(root);
    try {
      PublishDeviceName(root, "/run/theirs.sock");
      ADD_FAILURE() << c.name << ": published";
    } catch (const std::runtime_error& refusal) {
      const std::string message = refusal.what();
      EXPECT_EQ(message.rfind("cannot publish " + file + ": ", 0), 0u) << message;
      EXPECT_NE(message.find(c.why), std::string::npos) << message;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path)) {
      if (entry.is_symlink() || !entry.is_regular_file()) continue;
      EXPECT_NE(ReadFile(entry.path()), "/run/theirs.sock") << c.name << ": " << entry.path();
    }
  }
  if (skipped) GTEST_SKIP() << "the row for a key another user owns needs root";
}

TEST(SimRegistryValue, WithdrawsOnlyOurOwnPath) {
  TempDir dir;
  const std::string file = PublishDeviceName(dir.path, "/run/ours.sock");
  for (const char* other : {"/run/theirs.sock", "/run/ours.sock2", "/run/ours.soc", ""}) {
    std::ofstream(file) << other;
    EXPECT_FALSE(WithdrawDeviceName(file, "/run/ours.sock")) << other;
    EXPECT_EQ(ReadFile(file), other);
  }
  std::ofstream(file) << "/run/ours.sock";
  EXPECT_TRUE(WithdrawDeviceName(file, "/run/ours.sock"));
  EXPECT_FALSE(Exists(file));
  EXPECT_FALSE(WithdrawDeviceName(file, "/run/ours.sock"));
}

// tarnwick-sim with pipes on its stdin and stdout, and the given umask if any.
class SimProcess {
 public:
  SimProcess(std::vector<std::string> args, const std::string& registry,
             const std::string& umask = {}) {
    ::signal(SIGPIPE, SIG_IGN);  // it may be gone when we write to it
    std::vector<std::string> env{"TARNWICK_REGISTRY=" + registry};
    for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
    args.insert(args.begin(), std::getenv("TARNWICK_SIM"));
    if (!umask.empty()) {
      args.insert(args.begin(), {"/bin/sh", "-c", "umask " + umask + " && exec \"$0\" \"$@\""});
    }
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe2");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const int failed = ::posix_spawn(&pid_, args[0].c_str(), &actions, nullptr,
                                     Pointers(args).data(), Pointers(env).data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
    if (failed != 0) pid_ = -1;
  }
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    ::close(out_);
  }

  std::optional<std::string> ReadLine() {
    for (std::size_t end; (end = buffered_.find('\n')) == std::string::npos;) {
      pollfd polled{out_, POLLIN, 0};
      char chunk[512];
      ssize_t got = 0;
      if (::poll(&polled, 1, kPatienceMs) != 1 || (got = ::read(out_, chunk, sizeof chunk)) <= 0) {
        return std::nullopt;
      }
      buffered_.append(chunk, static_cast<std::size_t>(got));
    }
    const std::string line = buffered_.substr(0, buffered_.find('\n'));
    buffered_.erase(0, line.size() + 1);
    return line;
  }
  std::vector<std::string> ReadThrough(const std::string& last) {
    std::vector<std::string> lines;
    for (auto line = ReadLine(); line; line = *line == last ? std::nullopt : ReadLine()) {
      lines.push_back(*line);
    }
    return lines;
  }
  bool Send(const std::string& line) {
    const std::string text = line + "\n";
    return ::write(in_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }
  std::optional<std::string> Command(const std::string& line) {
    return Send(line) ? ReadLine() : std::nullopt;
  }
  void CloseInput() { ::close(std::exchange(in_, -1)); }
  void Signal(int number) { ::kill(pid_, number); }
  // The exit code, or nothing if it did not exit by itself.
  std::optional<int> Wait(int patienceMs = kPatienceMs) {
    int status = 0;
    if (!Eventually([&] { return ::waitpid(pid_, &status, WNOHANG) != 0; }, patienceMs)) {
      return std::nullopt;
    }
    pid_ = -1;
    return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
  }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& text : strings) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
  }
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffered_;
};

class SimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("TARNWICK_SIM") == nullptr) GTEST_SKIP() << "TARNWICK_SIM not set";
  }
  // Starts the program and reads its banner through "ready".
  std::unique_ptr<SimProcess> Launch(std::vector<std::string> extra = {},
                                     const std::string& umask = {}) {
    extra.insert(extra.begin(), {"--socket", path, "--serial", "0x1234"});
    auto process = std::make_unique<SimProcess>(extra, registry, umask);
    banner = process->ReadThrough("ready");
    return process;
  }
  TempDir dir;
  std::string path = dir.File("sim.sock");
  std::string registry = dir.File("registry");
  std::string valueFile = DeviceNameFile(registry);
  std::vector<std::string> banner;
};

TEST_F(SimProgram, AnnouncesItselfReportsLoadsAndAnswersEachCommand) {
  auto sim = Launch({"--log", dir.File("log")});
  EXPECT_EQ(banner, (std::vector<std::string>{
                        "tarnwick-sim: SIMULATED controller (no real hardware)",
                        "  device path : " + path, "  published as: " + valueFile,
                        "  serial      : 4660", "  request log : " + dir.File("log"),
                        "Commands: unplug, plug, serial N, fail N, short N [BYTES], hang N, "
                        "slow N MS, clear, status, help, quit",
                        "ready"}));
  EXPECT_EQ(ReadFile(valueFile), path);
  Client client(path);
  WriteCounts(client, 1000);
  EXPECT_EQ(sim->ReadLine(), "loaded 1000 counts = 48.9 mA");  // once: the second is no change

  const std::pair<const char*, const char*> exchanges[] = {
      {"status",
       "status plugged=1 output=1000 loads=2 serial=4660 requests=3 fail=0 short=0 hang=0 slow=0"},
      {"hang 9", "ok hang 9"},
      {"clear", "ok clear"},
      {"fail 1000001", "error: at most 1000000 calls at a time"},
      {"serial 77", "ok serial 77"},
      {"  fail   1 ", "ok fail 1"},
      {"short 0x1 2", "ok short 0x1 2"},
      {"hang 0", "ok hang 0"},
      {"short 1", "ok short 1"},
      {"plug", "error: already plugged"},
      {"fail", "error: wrong number of arguments for fail (try help)"},
      {"hang two", "error: hang needs a count of calls"},
      {"short 1 8", "error: short takes 0 to 7 data bytes"},
      {"serial 4294967296", "error: serial needs a number from 0 to 4294967295"},
      {"frobnicate", "error: unknown command 'frobnicate' (try help)"},
      {"slow 1 60001", "error: slow takes 0 to 60000 milliseconds"},
      {"slow 2 5", "ok slow 2 5"},
      {"status",
       "status plugged=1 output=1000 loads=2 serial=77 requests=3 fail=1 short=2 hang=0 slow=2"}};
  for (const auto& [command, answer] : exchanges) EXPECT_EQ(sim->Command(command), answer);
  EXPECT_EQ(client.Call(Request(kIdentify)), kFailed);
  EXPECT_EQ(client.Call(Request(kIdentify)), Ok({77, 0}));
  EXPECT_EQ(client.Call(Request(kIdentify)), Ok({77, 0, 0, 0}));
  EXPECT_EQ(sim->Command("unplug"), "ok unplug");
  EXPECT_TRUE(client.Dropped());
  EXPECT_EQ(sim->Command("unplug"), "error: already unplugged");
  EXPECT_EQ(sim->Command("hang 3"), "ok hang 3");
  EXPECT_EQ(sim->Command("plug"), "ok plug");  // powered up afresh: no fault left
  const std::string status =
      "status plugged=1 output=0 loads=0 serial=77 requests=6 fail=0 short=0 hang=0 slow=0";
  EXPECT_EQ(sim->Command("status"), status);
  sim->Command("help");
  EXPECT_EQ(sim->ReadThrough("ok help").back(), "ok help");

  // 4096 bytes is the longest line run, however it arrives; the tail of a longer one is
  // thrown away with it.
  const std::string tooLong = "error: command line too long (at most 4096 bytes)";
  EXPECT_EQ(sim->Command(std::string(4090, ' ') + "status"), status);
  EXPECT_EQ(sim->Command(std::string(4091, ' ') + "status"), tooLong);
  EXPECT_EQ(sim->Command(std::string(8192, 'A') + " quit"), tooLong);
  EXPECT_EQ(sim->Command("status"), status);

  EXPECT_EQ(sim->Command("quit"), "ok quit");
  EXPECT_EQ(sim->ReadLine(), "tarnwick-sim: SIMULATED controller stopped");
  EXPECT_EQ(sim->Wait(), 0);
  EXPECT_FALSE(Exists(valueFile));
  EXPECT_FALSE(Exists(path));
  const std::string write = "code=00222028 cap=8 in=08 12 0a 0a e8 ";
  const std::string identify = "code=00222028 cap=8 in=08 12 0b 0a 00 00 00 00\n";
  EXPECT_EQ(ReadFile(dir.File("log")), write + "0b 00 00\n" + write + "03 00 00\n" + write +
                                           "0b 00 00\n" + identify + identify + identify);
}

TEST_F(SimProgram, PrintsTheLoadsItIsAskedForAndCountsEveryOne) {
  // The first load since power-up shows even when it leaves the converter at 0.
  const std::string l0 = "loaded 0 counts = 0.0 mA", l1000 = "loaded 1000 counts = 48.9 mA",
                    l500 = "loaded 500 counts = 24.4 mA";
  // Options, then what a write of 0, 1000, 1000, 500, 500 prints, and 0, 0 after a replug.
  const std::tuple<std::vector<std::string>, std::vector<std::string>, std::vector<std::string>>
      rows[] = {{{}, {l0, l1000, l500}, {l0}},
                {{"--every-load"}, {l0, l0, l1000, l1000, l500, l500}, {l0, l0, l0}}};
  for (const auto& [args, printed, printedAfterReplug] : rows) {
    auto sim = Launch(args);
    auto printedThrough = [&](std::vector<std::string> expected, const std::string& status) {
      expected.push_back(status);
      EXPECT_TRUE(sim->Send("status"));
      EXPECT_EQ(sim->ReadThrough(status), expected) << args.size();
    };
    {
      Client client(path);
      for (const unsigned counts : {0u, 1000u, 1000u, 500u, 500u}) WriteCounts(client, counts);
    }
    printedThrough(
        printed,
        "status plugged=1 output=500 loads=6 serial=4660 requests=15 fail=0 short=0 hang=0 slow=0");
    EXPECT_EQ(sim->Command("unplug"), "ok unplug");
    EXPECT_EQ(sim->Command("plug"), "ok plug");
    Client client(path);
    for (const unsigned counts : {0u, 0u}) WriteCounts(client, counts);
    printedThrough(
        printedAfterReplug,
        "status plugged=1 output=0 loads=3 serial=4660 requests=21 fail=0 short=0 hang=0 slow=0");
  }
}

struct Ending {
  const char* name;
  std::vector<std::string> args;
  bool closeInput;
  int signal;  // 0: the quit command
  bool published;
  bool replaced;  // another simulator publishes its own path meanwhile
  bool valueKept;
  bool second = false;  // a second simulator tries to start on the same registry meanwhile
};
void PrintTo(const Ending& c, std::ostream* out) {
  *out << c.name;
}

class SimProgramEnds : public SimProgram, public ::testing::WithParamInterface<Ending> {};

TEST_P(SimProgramEnds, CleanlyAndWithdrawsOnlyItsOwnValue) {
  const Ending& c = GetParam();
  auto sim = Launch(c.args);
  EXPECT_EQ(Exists(valueFile), c.published);
  if (c.closeInput) sim->CloseInput();  // it keeps serving all the same
  EXPECT_EQ(Client(path).Call(Request(kIdentify)), Ok({0x34, 0x12, 0, 0, 0, 0, 0, 0}));
  if (c.replaced) PublishDeviceName(registry, "/run/another.sock");
  if (c.second) {
    SimProcess other({"--socket", dir.File("other.sock")}, registry);
    EXPECT_EQ(other.Wait(), 1);  // it names the running one on standard error
    EXPECT_EQ(ReadFile(valueFile), path);
  }
  if (c.signal != 0) {
    sim->Signal(c.signal);
  } else {
    EXPECT_EQ(sim->Command("quit"), "ok quit");
  }
  EXPECT_EQ(sim->Wait(), 0);
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(Exists(valueFile), c.valueKept);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, SimProgramEnds,
    ::testing::Values(Ending{"Quit", {}, false, 0, true, false, false},
                      Ending{"TermAfterInputEnds", {}, true, SIGTERM, true, false, false},
                      Ending{"Interrupt", {}, false, SIGINT, true, false, false},
                      Ending{"HangUp", {}, false, SIGHUP, true, false, false},
                      Ending{"SecondRefused", {}, false, 0, true, false, false, true},
                      Ending{"KeepRegistry", {"--keep-registry"}, false, 0, true, false, true},
                      Ending{"ValueNoLongerOurs", {}, false, SIGTERM, true, true, true},
                      Ending{"NoRegistry", {"--no-registry"}, true, SIGTERM, false, false, false}),
    [](const ::testing::TestParamInfo<Ending>& test) { return test.param.name; });

// The pipe holds about 2,200 load lines: a console nobody reads costs lines, never answers.
// Nor does a request log nobody reads, on a FIFO opened and never read.
TEST_F(SimProgram, KeepsAnsweringAndStopsOnSignalWhileNobodyReadsItsConsoleOrLog) {
  const std::string log = dir.File("log");
  ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
  const int unread = ::open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  auto sim = Launch({"--log", log});
  Client client(path);
  unsigned written = 0;
  auto writeChanges = [&](unsigned writes) {
    for (const unsigned end = written + writes; written < end;) {
      const unsigned counts = ++written % 2048;
      for (const bool latch : {true, false, true}) {
        ASSERT_EQ(client.Call(Request(PortWrite(counts, latch))), Ok(PortWrite(counts, latch)))
            << "write " << written;
      }
    }
  };
  ASSERT_NO_FATAL_FAILURE(writeChanges(5000));

  // Read again, the console owns up to what it lost, after the lines it kept.
  std::size_t loaded = 0;
  std::optional<std::string> line;
  while ((line = sim->ReadLine()) && line->rfind("loaded ", 0) == 0) ++loaded;
  ASSERT_LT(loaded, 5000u);  // one a write: the first write's second load is no change
  EXPECT_EQ(line,
            std::to_string(5000 - loaded) + " console lines dropped while the console was blocked");
  EXPECT_EQ(sim->Command("status"),
            "status plugged=1 output=904 loads=5001 serial=4660 requests=15000 fail=0 short=0 "
            "hang=0 slow=0");

  ASSERT_NO_FATAL_FAILURE(writeChanges(5000));
  sim->Signal(SIGTERM);
  EXPECT_EQ(sim->Wait(3000), 0);  // a hang bound only
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(Exists(valueFile));
  ::close(unread);
}

// A log that cannot be written loses whole lines, counted; the console says so once a burst.
TEST_F(SimProgram, SaysOnceWhenItsLogCannotBeWritten) {
  auto sim = Launch({"--log", "/dev/full"});
  const std::string trouble =
      "cannot write the log (No space left on device): its lines are lost "
      "and counted until it takes them again";
  const std::string status =
      "status plugged=1 output=0 loads=0 serial=4660 requests=4 fail=0 short=0 hang=0 slow=0";
  Client client(path);
  client.Call(Request(kIdentify));
  EXPECT_EQ(sim->ReadThrough(trouble), std::vector<std::string>{trouble});
  for (int i = 0; i < 3; ++i) client.Call(Request(kIdentify));
  ASSERT_TRUE(sim->Send("status"));
  EXPECT_EQ(sim->ReadThrough(status), std::vector<std::string>{status});
}

TEST_F(SimProgram, ServesOnlyItsUserWhateverTheUmaskAndClientsLeftOpenCannotLockOthersOut) {
  auto sim = Launch({}, "002");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  std::vector<std::unique_ptr<Client>> clients;
  while (clients.size() < kMaxClients + 2) {
    clients.push_back(std::make_unique<Client>(path));
    ASSERT_EQ(clients.back()->error, 0) << std::strerror(clients.back()->error);
  }
  // None has been idle for a second, so none is cut: the newcomers are refused, said once.
  for (std::size_t i = kMaxClients; i < clients.size(); ++i) EXPECT_TRUE(clients[i]->Dropped());
  const Bytes serial = Ok({0x34, 0x12, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(clients[0]->Call(Request(kIdentify)), serial);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Client fresh(path);
  EXPECT_EQ(fresh.Call(Request(kIdentify)), serial);
  EXPECT_TRUE(clients[1]->Dropped());  // idle the longest: the first made a request since
  EXPECT_EQ(clients[0]->Call(Request(kIdentify)), serial);
  const std::string status =
      "status plugged=1 output=0 loads=0 serial=4660 requests=3 fail=0 short=0 hang=0 slow=0";
  const std::vector<std::string> printed = {
      "refusing new clients: all 16 connections are in use (said once, until one is taken "
      "again)",
      "dropped the longest-idle client: at most 16 connections at once", status};
  ASSERT_TRUE(sim->Send("status"));
  EXPECT_EQ(sim->ReadThrough(status), printed);
}

TEST_F(SimProgram, ExitsAtOnceOnBadOrInformationalArguments) {
  std::ofstream(path) << "not a socket";
  const std::tuple<std::vector<std::string>, int, const char*> cases[] = {
      {{"--version"}, 0, "tarnwick-sim " TARNWICK_VERSION},
      {{"--help"}, 0, "Usage: tarnwick-sim [OPTIONS]"},
      {{"--serial", "12ab"}, 2, nullptr},
      {{"--serial", "0x100000000"}, 2, nullptr},
      {{"--serial"}, 2, nullptr},
      {{"--socket"}, 2, nullptr},
      {{"--frobnicate"}, 2, nullptr},
      {{"--socket", path}, 1, nullptr}};  // not a socket: it cannot serve there
  for (const auto& [args, code, firstLine] : cases) {
    SimProcess sim(args, registry);
    EXPECT_EQ(sim.ReadLine(), firstLine ? std::optional<std::string>(firstLine) : std::nullopt)
        << args[0];
    EXPECT_EQ(sim.Wait(), code) << args[0];
  }
  EXPECT_FALSE(Exists(registry));
  EXPECT_EQ(ReadFile(path), "not a socket");
}

}  // namespace
}  // namespace tarnwick::sim
