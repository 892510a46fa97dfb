// Every fault at every point of a write and of a poll, and every registry situation, against
// a real tarnwick-sim: what the operator sees, what the converter holds, and that nothing is
// left open. The faults are armed on the simulator from inside the program's own calls.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "e2e/sim_process.hpp"
#include "link/controller_link.hpp"
#include "platform/posix_os.hpp"
#include "ui/main_form.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::OpenDescriptorCount;
using testing::SimProcess;

// The real seam, with a hook that runs before each device call: "open1", "transfer2",
// "close1", ... numbered in the order the program makes them.
class HookedOs final : public platform::Os {
 public:
  explicit HookedOs(std::function<void(const std::string&)> before) : before_(std::move(before)) {}

  std::int32_t regOpenKey(platform::RegKey root, const std::string& subkey, std::uint32_t options,
                          std::uint32_t access, platform::RegKey& result) override {
    return inner_.regOpenKey(root, subkey, options, access, result);
  }
  std::int32_t regQueryValue(platform::RegKey key, const std::string& name, std::uint32_t& type,
                             std::uint8_t* data, std::uint32_t& size) override {
    return inner_.regQueryValue(key, name, type, data, size);
  }
  std::int32_t regCloseKey(platform::RegKey key) override { return inner_.regCloseKey(key); }
  platform::Handle createFile(const std::string& path, std::uint32_t access, std::uint32_t share,
                              std::uint32_t creation, std::uint32_t flags) override {
    before_("open" + std::to_string(++opens_));
    return inner_.createFile(path, access, share, creation, flags);
  }
  bool deviceIoControl(platform::Handle handle, std::uint32_t code, const std::uint8_t* in,
                       std::uint32_t inLength, std::uint8_t* out, std::uint32_t outLength,
                       std::uint32_t& returned) override {
    before_("transfer" + std::to_string(++transfers_));
    return inner_.deviceIoControl(handle, code, in, inLength, out, outLength, returned);
  }
  bool closeHandle(platform::Handle handle) override {
    before_("close" + std::to_string(++closes_));
    return inner_.closeHandle(handle);
  }
  std::int32_t lastError() override { return inner_.lastError(); }
  std::string errorText(std::int32_t number) override { return inner_.errorText(number); }
  std::int32_t outOfMemoryError() override { return inner_.outOfMemoryError(); }

 private:
  platform::posix::PosixOs inner_{200ms};  // a hung reply costs a fifth of a second here
  std::function<void(const std::string&)> before_;
  int opens_ = 0;
  int transfers_ = 0;
  int closes_ = 0;
};

constexpr std::uint32_t kSerial = 0x12345678;  // 305419896; two bytes of it are 0x5678
constexpr int kOld = 1000;
constexpr int kNew = 1500;

struct FaultCase {
  const char* operation;  // "write" or "poll"
  const char* point;      // the call the fault is armed before
  const char* fault;      // the simulator's command
  int output;             // what the converter holds afterwards
  const char* caption;    // the serial-number line afterwards
  bool noController;      // whether the status ends as "No controller, ..."
  bool grey = false;      // the set-point was never written, so it is still grey
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.operation << " / " << c.fault << " before " << c.point;
}

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, OperatorSeesConverterHoldsNothingLeftOpen) {
  const FaultCase& c = GetParam();
  SimProcess sim({"--serial", std::to_string(kSerial)});
  bool armed = false;
  HookedOs os([&](const std::string& point) {
    if (!armed && point == c.point) {
      armed = true;
      ASSERT_EQ(sim.Command(c.fault).rfind("ok", 0), 0u) << c.fault;
    }
  });
  ui::MainForm form(os);
  {
    // The state before: kOld written in full, so the latch line is high.
    platform::posix::PosixOs plain;
    ui::MainForm before(plain);
    before.txtCurrent.SetText(std::to_string(kOld));
    before.UpdateDAC();
    ASSERT_EQ(sim.Status().output, kOld);
  }
  form.txtCurrent.SetText(std::to_string(kNew));
  form.lblSerNum.caption = "untouched";
  const int descriptors = OpenDescriptorCount();

  if (std::string(c.operation) == "write") {
    form.UpdateDAC();
  } else {
    form.tmrSN_Timer();
  }
  EXPECT_TRUE(armed) << "the point was never reached";
  EXPECT_EQ(sim.Status().output, c.output);
  EXPECT_EQ(form.lblSerNum.caption, c.caption);
  EXPECT_EQ(form.StatusText(), c.noController ? link::kNoControllerText : "");
  EXPECT_EQ(form.txtCurrent.Colour(), c.grey ? control::kColourGrey : control::kColourBlack);
  EXPECT_EQ(form.Link().DeviceHandle(), 0);
  // A hung request's session keeps its socket and lock until the late reply or its bound.
  const bool hung = std::string(c.fault) == "hang 1" && std::string(c.point).rfind("close", 0) != 0;
  const int kept = hung ? 2 : 0;
  EXPECT_EQ(OpenDescriptorCount(), descriptors + kept);
}

// A write is open, three transfers (latch high, low, high) and close; the converter loads on
// the third. Whatever keeps the second or third from the board leaves the old output.
INSTANTIATE_TEST_SUITE_P(
    Write, FaultMatrix,
    ::testing::Values(FaultCase{"write", "open1", "unplug", kOld, "untouched", true},
                      FaultCase{"write", "transfer1", "unplug", kOld, "untouched", false},
                      FaultCase{"write", "transfer2", "unplug", kOld, "untouched", false},
                      FaultCase{"write", "transfer3", "unplug", kOld, "untouched", false},
                      FaultCase{"write", "close1", "unplug", kNew, "untouched", false},
                      FaultCase{"write", "open1", "fail 1", kNew, "untouched", false},
                      FaultCase{"write", "transfer1", "fail 1", kNew, "untouched", false},
                      FaultCase{"write", "transfer2", "fail 1", kOld, "untouched", false},
                      FaultCase{"write", "transfer3", "fail 1", kOld, "untouched", false},
                      FaultCase{"write", "close1", "fail 1", kNew, "untouched", false},
                      FaultCase{"write", "transfer1", "short 3 2", kNew, "untouched", false},
                      FaultCase{"write", "open1", "hang 1", kOld, "untouched", false},
                      FaultCase{"write", "transfer2", "hang 1", kOld, "untouched", false},
                      FaultCase{"write", "transfer3", "hang 1", kOld, "untouched", false},
                      FaultCase{"write", "close1", "hang 1", kNew, "untouched", false},
                      FaultCase{"write", "transfer2", "serial 777", kNew, "untouched", false}));

// A poll is open, the identification, close, then the write (open, three transfers, close)
// only when the first open worked.
INSTANTIATE_TEST_SUITE_P(
    Poll, FaultMatrix,
    ::testing::Values(
        FaultCase{"poll", "open1", "unplug", kOld, "Serial Number: 0", true, true},
        FaultCase{"poll", "transfer1", "unplug", kOld, "Serial Number: 0", true},
        FaultCase{"poll", "close1", "unplug", kOld, "Serial Number: 305419896", true},
        FaultCase{"poll", "transfer2", "unplug", kOld, "Serial Number: 305419896", false},
        FaultCase{"poll", "transfer4", "unplug", kOld, "Serial Number: 305419896", false},
        FaultCase{"poll", "close2", "unplug", kNew, "Serial Number: 305419896", false},
        FaultCase{"poll", "open1", "fail 1", kNew, "Serial Number: 0", false},
        FaultCase{"poll", "open2", "fail 1", kNew, "Serial Number: 305419896", false},
        FaultCase{"poll", "transfer3", "fail 1", kOld, "Serial Number: 305419896", false},
        FaultCase{"poll", "transfer4", "fail 1", kOld, "Serial Number: 305419896", false},
        FaultCase{"poll", "transfer1", "short 1 2", kNew, "Serial Number: 22136", false},
        FaultCase{"poll", "transfer2", "short 3 2", kNew, "Serial Number: 305419896", false},
        // The hung identify may still land: its session is kept, so the re-write finds the
        // device in use and sends nothing.
        FaultCase{"poll", "transfer1", "hang 1", kOld, "Serial Number: 0", true},
        FaultCase{"poll", "transfer2", "hang 1", kOld, "Serial Number: 305419896", false},
        FaultCase{"poll", "close2", "hang 1", kNew, "Serial Number: 305419896", false},
        FaultCase{"poll", "open1", "serial 777", kNew, "Serial Number: 777", false},
        FaultCase{"poll", "close1", "serial 777", kNew, "Serial Number: 305419896", false}));

// Where the registry sends the program: nothing is ever written, nothing blocks or stays open.
struct RegistryCase {
  const char* name;
  std::function<void(const SimProcess&, const fs::path& value)> arrange;
  const char* captionAtLoad;
};

void PrintTo(const RegistryCase& c, std::ostream* out) {
  *out << c.name;
}

class RegistryMatrix : public ::testing::TestWithParam<RegistryCase> {};

fs::path ValueFile(const SimProcess& sim) {
  return fs::path(sim.RegistryRoot()) /
         "HKEY_LOCAL_MACHINE/System/CurrentControlSet/Services/Tarnwick/TWUSBIO/Parameters/"
         "DeviceName";
}

void Publish(const fs::path& value, const std::string& text) {
  fs::create_directories(value.parent_path());
  for (fs::path p = value.parent_path(); p.filename() != "registry"; p = p.parent_path()) {
    fs::permissions(p, fs::perms::owner_all, fs::perm_options::replace);
  }
  std::ofstream(value, std::ios::trunc) << text;
  fs::permissions(value, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
}

TEST_P(RegistryMatrix, NoControllerIsShownAndNothingIsWritten) {
  const RegistryCase& c = GetParam();
  SimProcess sim({"--no-registry"});
  const fs::path value = ValueFile(sim);
  fs::create_directories(sim.RegistryRoot());
  fs::permissions(sim.RegistryRoot(), fs::perms::owner_all, fs::perm_options::replace);
  c.arrange(sim, value);
  const int descriptors = OpenDescriptorCount();

  platform::posix::PosixOs os(200ms);
  ui::MainForm form(os);
  form.Form_Load();
  EXPECT_EQ(form.lblSerNum.caption, c.captionAtLoad);
  EXPECT_EQ(form.StatusText(), link::kNoControllerText);
  form.tmrSN_Timer();
  EXPECT_EQ(form.lblSerNum.caption, "Serial Number: 0");
  form.txtCurrent_KeyDown(ui::kKeyUp, 0);
  EXPECT_EQ(form.txtCurrent.Text(), "1");
  EXPECT_EQ(form.txtCurrent.Colour(), control::kColourBlack);

  const testing::SimStatus status = sim.Status();
  EXPECT_EQ(status.requests, 0);
  EXPECT_EQ(status.loads, 0);
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  fs::permissions(sim.RegistryRoot(), fs::perms::owner_all, fs::perm_options::replace);
}

INSTANTIATE_TEST_SUITE_P(
    Situations, RegistryMatrix,
    ::testing::Values(
        RegistryCase{"Absent", [](const SimProcess&, const fs::path&) {}, link::kNoControllerText},
        RegistryCase{"Empty", [](const SimProcess&, const fs::path& v) { Publish(v, ""); }, ""},
        RegistryCase{"Oversized",
                     [](const SimProcess& s, const fs::path& v) {
                       Publish(v, s.SocketPath() + std::string(255, '/'));
                     },
                     link::kNoControllerText},
        RegistryCase{"StalePath",
                     [](const SimProcess& s, const fs::path& v) {
                       Publish(v, s.Directory() + "/gone.sock");
                     },
                     ""},
        RegistryCase{"RegularFile",
                     [](const SimProcess& s, const fs::path& v) {
                       std::ofstream(s.Directory() + "/plain") << "not a device";
                       Publish(v, s.Directory() + "/plain");
                     },
                     ""},
        RegistryCase{"Fifo",
                     [](const SimProcess& s, const fs::path& v) {
                       ASSERT_EQ(mkfifo((s.Directory() + "/fifo").c_str(), 0600), 0);
                       Publish(v, s.Directory() + "/fifo");
                     },
                     ""},
        RegistryCase{"WorldWritableRoot",
                     [](const SimProcess& s, const fs::path& v) {
                       Publish(v, s.SocketPath());
                       fs::permissions(s.RegistryRoot(), fs::perms::others_write,
                                       fs::perm_options::add);
                     },
                     link::kNoControllerText}));

}  // namespace
}  // namespace tarnwick
