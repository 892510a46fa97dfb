#include "platform/posix_os.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <thread>
#include <vector>

#include "link/controller_link.hpp"

// Allocation failure on demand: once armed, the allocation after this many more throws.
namespace {
thread_local long allocationsBeforeFailure = -1;
}  // namespace

// Out of line, all three: inlined, the optimiser sees malloc paired with delete (or new with
// free) and warns of a mismatch.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (allocationsBeforeFailure >= 0 && allocationsBeforeFailure-- == 0) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept {
  std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}

namespace tarnwick::platform::posix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

bool IsOpen(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

// A private registry root and socket directory for each test.
struct TempTree : ::testing::Test {
  fs::path dir;
  fs::path root;
  PosixOs os{200ms};
  std::string status;
  link::ControllerLink link{os, status};

  void SetUp() override {
    char pattern[] = "/tmp/tw-posix-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    root = dir / "registry";
    fs::create_directory(root);
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::replace);
    setenv("TARNWICK_REGISTRY", root.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("TARNWICK_REGISTRY");
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::replace);
    fs::remove_all(dir);
  }

  fs::path Publish(const std::string& value, const std::string& keyPath =
                                                 "HKEY_LOCAL_MACHINE/System/CurrentControlSet/"
                                                 "Services/Tarnwick/TWUSBIO/Parameters") {
    const fs::path key = root / keyPath;
    fs::create_directories(key);
    for (fs::path p = key; p != root; p = p.parent_path()) {
      fs::permissions(p, fs::perms::owner_all, fs::perm_options::replace);
    }
    const fs::path file = key / "DeviceName";
    std::ofstream(file, std::ios::binary) << value;
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace);
    return file;
  }

  std::string ReadPath() {
    const std::string text = link.ReadRegistryString(kHKeyLocalMachine, link::kRegistrySubkey,
                                                     link::kRegistryValueName, "<default>");
    return text.substr(0, text.find('\0'));
  }
};

using Registry = TempTree;

TEST_F(Registry, ReadsTheValueWithKeyNamesMatchedCaseInsensitively) {
  Publish("/run/dev.sock",
          "hkey_local_machine/SYSTEM/currentcontrolset/services/TARNWICK/twusbio/parameters");
  fs::rename(root /
                 "hkey_local_machine/SYSTEM/currentcontrolset/services/TARNWICK/twusbio/"
                 "parameters/DeviceName",
             root /
                 "hkey_local_machine/SYSTEM/currentcontrolset/services/TARNWICK/twusbio/"
                 "parameters/devicename");
  EXPECT_EQ(ReadPath(), "/run/dev.sock");
}

TEST_F(Registry, CapacityFollowsTheRealCall) {
  Publish(std::string(254, 'a'));
  EXPECT_EQ(ReadPath(), std::string(254, 'a'));
  Publish(std::string(255, 'a'));  // with its NUL it would need 256 bytes
  EXPECT_EQ(ReadPath(), "<default>");
  Publish("");
  EXPECT_EQ(link.ReadRegistryString(kHKeyLocalMachine, link::kRegistrySubkey,
                                    link::kRegistryValueName, "<default>"),
            std::string(1, '\0') + std::string(254, ' '));
}

TEST_F(Registry, RefusesTreesOthersCouldHaveWritten) {
  const fs::path value = Publish("/run/dev.sock");
  struct Case {
    const char* name;
    std::function<void()> spoil;
  } cases[] = {
      {"world-writable root",
       [&] { fs::permissions(root, fs::perms::others_write, fs::perm_options::add); }},
      {"group-writable key",
       [&] {
         fs::permissions(value.parent_path(), fs::perms::group_write, fs::perm_options::add);
       }},
      {"world-writable value",
       [&] { fs::permissions(value, fs::perms::others_write, fs::perm_options::add); }},
  };
  for (const Case& c : cases) {
    c.spoil();
    EXPECT_EQ(ReadPath(), "<default>") << c.name;
    Publish("/run/dev.sock");
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_EQ(ReadPath(), "/run/dev.sock") << c.name;
  }
}

TEST_F(Registry, NeverFollowsLinksOrBlocksOnSpecialFiles) {
  const fs::path value = Publish("/run/dev.sock");
  const fs::path other = dir / "elsewhere";
  std::ofstream(other) << "/tmp/evil.sock";
  fs::remove(value);
  fs::create_symlink(other, value);
  EXPECT_EQ(ReadPath(), "<default>");
  fs::remove(value);
  ASSERT_EQ(mkfifo(value.c_str(), 0600), 0);
  EXPECT_EQ(ReadPath(), "<default>");  // would hang here if the FIFO were read blocking
}

TEST_F(Registry, RefusesDotComponentsAndUnknownRoots) {
  Publish("x");
  RegKey key = 99;
  EXPECT_NE(os.regOpenKey(kHKeyLocalMachine, "System\\..\\..\\..", 0, 1, key), kErrorSuccess);
  EXPECT_EQ(key, 0u);
  EXPECT_NE(os.regOpenKey(kHKeyLocalMachine, "System\\.\\CurrentControlSet", 0, 1, key),
            kErrorSuccess);
  EXPECT_NE(os.regOpenKey(kHKeyLocalMachine, "System/CurrentControlSet", 0, 1, key), kErrorSuccess);
  EXPECT_NE(os.regOpenKey(0x80000001u, "System", 0, 1, key), kErrorSuccess);
  EXPECT_EQ(os.regOpenKey(kHKeyLocalMachine, "\\System\\\\CurrentControlSet\\", 0, 1, key),
            kErrorSuccess);
  EXPECT_EQ(os.regCloseKey(key), kErrorSuccess);
}

// Every allocation of each call fails in turn; whatever it had opened by then is closed.
TEST_F(Registry, RunningOutOfMemoryAnywhereLeavesNoDescriptorOpen) {
  const fs::path value = Publish("/run/dev.sock");
  // Longer than a short string keeps inline, so matching its case allocates.
  const std::string longName = "AValueNameLongerThanSixteen";
  std::ofstream(value.parent_path() / longName) << "x";
  const fs::path device = dir / "dev.sock";
  std::string lowerSubkey = link::kRegistrySubkey;
  for (char& c : lowerSubkey) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  RegKey openKey = 0;
  ASSERT_EQ(os.regOpenKey(kHKeyLocalMachine, link::kRegistrySubkey, 0, 1, openKey), kErrorSuccess);
  // Never accepts: a driver thread would hold sockets of its own in this process, and the
  // count of descriptors would race with it.
  const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, device.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 64), 0);

  auto openKeyAt = [&](const std::string& subkey) {
    RegKey key = 0;
    if (os.regOpenKey(kHKeyLocalMachine, subkey, 0, 1, key) == kErrorSuccess) os.regCloseKey(key);
  };
  struct Case {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"key as spelled", [&] { openKeyAt(link::kRegistrySubkey); }},
      {"key in another case", [&] { openKeyAt(lowerSubkey); }},
      {"value in another case",
       [&] {
         std::uint8_t data[64];
         std::uint32_t type = 0;
         std::uint32_t size = sizeof data;
         os.regQueryValue(openKey, "avaluenamelongerthansixteen", type, data, size);
       }},
      {"device",
       [&] {
         if (const Handle handle = os.createFile(device, kGenericReadWrite, 3, 3, 0); handle > 0) {
           os.closeHandle(handle);
         }
       }},
  };
  for (const Case& c : cases) {
    for (long failing = 0;; ++failing) {
      const int before = OpenDescriptors();
      allocationsBeforeFailure = failing;
      try {
        c.call();
      } catch (const std::bad_alloc&) {
      }
      const bool allSucceeded = allocationsBeforeFailure >= 0;
      allocationsBeforeFailure = -1;
      EXPECT_EQ(OpenDescriptors(), before) << c.name << ", allocation " << failing << " failing";
      if (allSucceeded) break;
    }
  }
  close(listener);
  EXPECT_EQ(os.regCloseKey(openKey), kErrorSuccess);
}

TEST_F(Registry, ClosingAKeyItNeverOpenedTouchesNoDescriptor) {
  const int before = OpenDescriptors();
  for (const RegKey key : {RegKey{0}, RegKey{1}, RegKey{2}, RegKey{999}}) {
    EXPECT_EQ(os.regCloseKey(key), kErrorInvalidHandle);
  }
  EXPECT_TRUE(IsOpen(0) && IsOpen(1) && IsOpen(2));
  EXPECT_EQ(OpenDescriptors(), before);
}

// A device driver played by the test: answers each request with whatever `answer` returns,
// or nothing when it returns an empty optional.
class TestDriver {
 public:
  using Answer = std::function<std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>)>;

  TestDriver(const fs::path& path, Answer answer) : path_(path), answer_(std::move(answer)) {
    listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0) {
      throw std::runtime_error("test driver: " + std::string(std::strerror(errno)));
    }
    thread_ = std::thread([this] { Serve(); });
  }
  ~TestDriver() {
    shutdown(listener_, SHUT_RDWR);
    shutdown(client_, SHUT_RDWR);  // a program may keep its end open for a late reply
    thread_.join();
    close(listener_);
    unlink(path_.c_str());
  }
  std::vector<std::vector<std::uint8_t>> requests;

 private:
  void Serve() {
    for (;;) {
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) return;
      client_ = client;
      std::uint8_t buffer[256];
      ssize_t got = 0;
      while ((got = recv(client, buffer, sizeof buffer, 0)) > 0) {
        std::vector<std::uint8_t> request(buffer, buffer + got);
        requests.push_back(request);
        if (const auto reply = answer_(request)) send(client, reply->data(), reply->size(), 0);
      }
      client_ = -1;
      close(client);
    }
  }

  fs::path path_;
  Answer answer_;
  int listener_ = -1;
  std::atomic<int> client_{-1};
  std::thread thread_;
};

// A driver that another user (nobody) serves. The kernel takes a listener's credentials at
// listen(), so root binds in the private directory and the child listens after dropping.
class ForeignDriver {
 public:
  static constexpr uid_t kNobody = 65534;

  explicit ForeignDriver(const fs::path& path) {
    const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    int ready[2];
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        pipe2(ready, O_CLOEXEC) != 0) {
      throw std::runtime_error("foreign driver: " + std::string(std::strerror(errno)));
    }
    pid_ = fork();
    if (pid_ == 0) {
      // Only system calls between fork and exit: other threads may hold the allocator's lock.
      const bool served = setresgid(kNobody, kNobody, kNobody) == 0 &&
                          setresuid(kNobody, kNobody, kNobody) == 0 && listen(listener, 8) == 0;
      close(ready[0]);
      if (served) (void)!write(ready[1], "r", 1);
      close(ready[1]);
      pause();
      _exit(0);
    }
    close(listener);
    close(ready[1]);
    char byte = 0;
    const bool served = pid_ > 0 && read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!served) throw std::runtime_error("foreign driver did not start");
  }
  ~ForeignDriver() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  ForeignDriver(const ForeignDriver&) = delete;
  ForeignDriver& operator=(const ForeignDriver&) = delete;

 private:
  pid_t pid_ = -1;
};

using Device = TempTree;

TEST_F(Device, RequestAndReplyFollowTheWireFormat) {
  const fs::path path = dir / "dev.sock";
  TestDriver driver(path, [](std::vector<std::uint8_t>) {
    return std::vector<std::uint8_t>{1, 0, 0, 0, 0xAA, 0xBB, 0xCC};
  });
  const Handle handle = os.createFile(path, kGenericReadWrite, 3, 3, 0);
  ASSERT_GT(handle, 0);
  const std::uint8_t in[8] = {8, 18, 11, 10, 0, 0, 0, 0};
  std::uint8_t out[8] = {};
  std::uint32_t returned = 99;
  ASSERT_TRUE(os.deviceIoControl(handle, 0x00222028, in, 8, out, 8, returned));
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 8),
            (std::vector<std::uint8_t>{0xAA, 0xBB, 0xCC, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(os.closeHandle(handle));
  ASSERT_EQ(driver.requests.size(), 1u);
  EXPECT_EQ(driver.requests[0], (std::vector<std::uint8_t>{0x28, 0x20, 0x22, 0, 8, 0, 0, 0, 8, 18,
                                                           11, 10, 0, 0, 0, 0}));
}

TEST_F(Device, BadRepliesAreFailedTransfers) {
  struct Case {
    const char* name;
    std::optional<std::vector<std::uint8_t>> reply;
  } cases[] = {
      {"failure result", std::vector<std::uint8_t>{0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
      {"no whole result word", std::vector<std::uint8_t>{1, 0, 0}},
      {"more than the capacity", std::vector<std::uint8_t>(4 + 9, 1)},
      {"no reply at all", std::nullopt},
  };
  for (const Case& c : cases) {
    const fs::path path = dir / "bad.sock";
    TestDriver driver(path, [&](std::vector<std::uint8_t>) { return c.reply; });
    const Handle handle = os.createFile(path, kGenericReadWrite, 3, 3, 0);
    ASSERT_GT(handle, 0) << c.name;
    const std::uint8_t in[8] = {8, 18, 11, 10, 0, 0, 0, 0};
    std::uint8_t out[8] = {};
    std::uint32_t returned = 99;
    EXPECT_FALSE(os.deviceIoControl(handle, 0x00222028, in, 8, out, 8, returned)) << c.name;
    EXPECT_EQ(returned, 0u) << c.name;
    EXPECT_TRUE(os.closeHandle(handle));
  }
}

TEST_F(Device, AHungDriverFailsWithinTheBoundAndTheLateReplyIsNeverTaken) {
  const fs::path path = dir / "hung.sock";
  int calls = 0;
  TestDriver driver(path,
                    [&](std::vector<std::uint8_t>) -> std::optional<std::vector<std::uint8_t>> {
                      if (++calls == 1) {
                        std::this_thread::sleep_for(400ms);  // twice the bound, then answer anyway
                        return std::vector<std::uint8_t>{1, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
                      }
                      return std::vector<std::uint8_t>{1, 0, 0, 0, 2, 2, 2, 2, 2, 2, 2, 2};
                    });
  const Handle handle = os.createFile(path, kGenericReadWrite, 3, 3, 0);
  ASSERT_GT(handle, 0);
  const std::uint8_t in[8] = {8, 18, 11, 10, 0, 0, 0, 0};
  std::uint8_t out[8] = {};
  std::uint32_t returned = 0;
  EXPECT_FALSE(os.deviceIoControl(handle, 0x00222028, in, 8, out, 8, returned));
  std::this_thread::sleep_for(400ms);
  EXPECT_FALSE(os.deviceIoControl(handle, 0x00222028, in, 8, out, 8, returned));
  EXPECT_TRUE(os.closeHandle(handle));
  // A fresh connection works again.
  const Handle again = os.createFile(path, kGenericReadWrite, 3, 3, 0);
  ASSERT_GT(again, 0);
  EXPECT_TRUE(os.deviceIoControl(again, 0x00222028, in, 8, out, 8, returned));
  EXPECT_EQ(out[0], 2);
  EXPECT_TRUE(os.closeHandle(again));
}

// Each signal interrupts the wait for the reply; the bound is one deadline across them all.
TEST_F(Device, AStreamOfSignalsCannotStretchTheBound) {
  TestDriver driver(dir / "hung.sock", [](std::vector<std::uint8_t>) { return std::nullopt; });
  struct sigaction action {
  }, previous{};
  action.sa_handler = [](int) {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
  const Handle handle = os.createFile(dir / "hung.sock", kGenericReadWrite, 3, 3, 0);
  std::atomic<bool> transferOver{false}, signalsOver{false};
  std::thread signals([&, self = pthread_self()] {
    for (int i = 0; i < 100 && !transferOver; ++i, std::this_thread::sleep_for(50ms)) {
      pthread_kill(self, SIGUSR1);
    }
    signalsOver = true;
  });
  const std::uint8_t in[8] = {8, 18, 11, 10, 0, 0, 0, 0};
  std::uint8_t out[8] = {};
  std::uint32_t returned = 0;
  EXPECT_FALSE(os.deviceIoControl(handle, 0x00222028, in, 8, out, 8, returned));
  EXPECT_FALSE(signalsOver);  // ended by its bound, not by the signals running out
  transferOver = true;
  signals.join();
  EXPECT_TRUE(os.closeHandle(handle));
  sigaction(SIGUSR1, &previous, nullptr);
}

TEST_F(Device, PathsThatAreNoDeviceFailAtOnceWithoutLeaking) {
  const fs::path file = dir / "file";
  std::ofstream(file) << "not a device";
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> paths{file.string(), fifo.string(),         (dir / "missing").string(),
                                 std::string(), std::string(200, 'x'), dir.string()};
  // Trusted no more than a registry key that user could write.
  std::optional<ForeignDriver> foreign;
  if (geteuid() == 0) {
    foreign.emplace(dir / "foreign.sock");
    paths.push_back(dir / "foreign.sock");
  }
  // A driver that stopped accepting, its queue full: the connect waits out the bound, no more.
  const int stalled = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  const int queued = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  sockaddr_un address{AF_UNIX, {}};
  std::strncpy(address.sun_path, (dir / "stalled.sock").c_str(), sizeof address.sun_path - 1);
  const auto* to = reinterpret_cast<const sockaddr*>(&address);
  ASSERT_TRUE(bind(stalled, to, sizeof address) == 0 && listen(stalled, 0) == 0 &&
              connect(queued, to, sizeof address) == 0);
  paths.emplace_back(address.sun_path);
  const int before = OpenDescriptors();
  for (const std::string& path : paths) {
    EXPECT_EQ(os.createFile(path, kGenericReadWrite, 3, 3, 0), kInvalidHandle) << path;
    EXPECT_NE(os.lastError(), 0) << path;
  }
  EXPECT_EQ(OpenDescriptors(), before);
  close(queued);
  close(stalled);
  std::ifstream content(file);
  std::string text;
  std::getline(content, text);
  EXPECT_EQ(text, "not a device");
  if (!foreign) GTEST_SKIP() << "a device served by another user needs root to set up";
}

TEST_F(Device, ClosesOnlyWhatItOpened) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  for (const Handle handle : {0, -1, 1, 2, pipeFds[0]}) {
    EXPECT_FALSE(os.closeHandle(handle)) << handle;
    std::uint32_t returned = 0;
    std::uint8_t out[8];
    EXPECT_FALSE(os.deviceIoControl(handle, 0x00222028, out, 8, out, 8, returned)) << handle;
  }
  EXPECT_TRUE(IsOpen(0) && IsOpen(1) && IsOpen(2) && IsOpen(pipeFds[0]));
  close(pipeFds[0]);
  close(pipeFds[1]);
}

TEST_F(Device, NeverHandsOutDescriptorZero) {
  const fs::path path = dir / "dev.sock";
  TestDriver driver(path, [](std::vector<std::uint8_t>) {
    return std::vector<std::uint8_t>{1, 0, 0, 0};
  });
  const int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  close(0);
  const Handle handle = os.createFile(path, kGenericReadWrite, 3, 3, 0);
  // The driver's thread may take descriptor 0 for the connection it accepts; what must not be
  // there is the program's own end of it.
  sockaddr_un peer{};
  socklen_t length = sizeof peer;
  const bool clientEndAtZero =
      getpeername(0, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && path == peer.sun_path;
  dup2(savedStdin, 0);
  close(savedStdin);
  EXPECT_GT(handle, 0);
  EXPECT_FALSE(clientEndAtZero);
  EXPECT_TRUE(os.closeHandle(handle));
}

TEST_F(Device, RunningOutOfDescriptorsIsAnExceptionNotAMissingController) {
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer runtime needs descriptors of its own to inspect the exception object.
  GTEST_SKIP() << "not meaningful with every descriptor taken under the sanitizers";
#endif
  const fs::path path = dir / "dev.sock";
  TestDriver driver(path, [](std::vector<std::uint8_t>) {
    return std::vector<std::uint8_t>{1, 0, 0, 0};
  });
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  std::vector<int> fillers;
  rlimit low = saved;
  low.rlim_cur = 256;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  int error = 0;
  try {
    os.createFile(path, kGenericReadWrite, 3, 3, 0);
  } catch (const std::system_error& e) {
    error = e.code().value();
  }
  for (const int fd : fillers) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(error, EMFILE);
}

}  // namespace
}  // namespace tarnwick::platform::posix
