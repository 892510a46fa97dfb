// The poll driven as fast as it will go against a real tarnwick-sim, with the controller
// pulled and plugged back among the polls: descriptors and resident memory must stay flat.
// TARNWICK_SOAK_POLLS sets the count (the test command runs a reduced soak).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "e2e/sim_process.hpp"
#include "platform/posix_os.hpp"
#include "ui/main_form.hpp"

namespace tarnwick {
namespace {

using testing::SimProcess;

long ResidentKiB(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// The sockets and directories a process holds: what a leaked device connection or registry
// key would add. Other descriptors come and go with the runtime (a sanitizer's, for one).
std::multiset<std::string> LinkDescriptors(const std::string& pid) {
  std::multiset<std::string> held;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd", error)) {
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.rfind("socket:", 0) == 0) held.insert("socket");
    if (std::filesystem::is_directory(target, error)) held.insert(target);
  }
  return held;
}

// The simulator closes its end of a connection when it notices the program's end went away;
// idle and plugged in, it holds its listening socket alone.
std::multiset<std::string> SettledDescriptors(pid_t pid) {
  auto held = LinkDescriptors(std::to_string(pid));
  for (int wait = 0; wait < 100 && held.count("socket") > 1; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    held = LinkDescriptors(std::to_string(pid));
  }
  return held;
}

TEST(Soak, PollsWithUnplugsKeepDescriptorsAndMemoryFlat) {
  const char* configured = std::getenv("TARNWICK_SOAK_POLLS");
  const long polls = configured != nullptr ? std::atol(configured) : 10000;
  ASSERT_GT(polls, 1000);
  constexpr long kPlugEvery = 500;  // polls between one unplug or plug and the next

  SimProcess sim;
  platform::posix::PosixOs os;
  ui::MainForm form(os);
  form.Form_Load();
  form.txtCurrent.SetText("1234");

  // Warm up first, so allocations that are made once are not counted as growth.
  for (int i = 0; i < 200; ++i) form.tmrSN_Timer();
  const auto descriptors = LinkDescriptors("self");
  const auto simDescriptors = SettledDescriptors(sim.Pid());
  const long resident = ResidentKiB("self");
  const long simResident = ResidentKiB(std::to_string(sim.Pid()));

  bool plugged = true;
  long zeroLines = 0;
  for (long poll = 1; poll <= polls; ++poll) {
    form.tmrSN_Timer();
    if (form.lblSerNum.caption == "Serial Number: 0") ++zeroLines;
    if (poll % kPlugEvery == 0) {
      ASSERT_EQ(sim.Command(plugged ? "unplug" : "plug").rfind("ok", 0), 0u) << poll;
      plugged = !plugged;
    }
  }
  if (!plugged) {
    ASSERT_EQ(sim.Command("plug").rfind("ok", 0), 0u);
  }
  form.tmrSN_Timer();

  EXPECT_EQ(form.lblSerNum.caption, "Serial Number: 12345");
  EXPECT_EQ(sim.Status().output, 1234);  // back on the converter after the last replug
  EXPECT_GT(zeroLines, polls / 4);       // the unplugged stretches were seen as such
  EXPECT_EQ(LinkDescriptors("self"), descriptors);
  EXPECT_EQ(SettledDescriptors(sim.Pid()), simDescriptors);
  // Flat within allocator noise: a leak of even one small block per poll would be megabytes.
  // Memory checkers hold freed blocks back on purpose, so there their own leak check counts.
#if !defined(__SANITIZE_ADDRESS__)
  if (std::getenv("TARNWICK_MEMORY_CHECKER") == nullptr) {
    EXPECT_LT(ResidentKiB("self") - resident, 1024);
  }
#endif
  EXPECT_LT(ResidentKiB(std::to_string(sim.Pid())) - simResident, 1024);
  std::printf("soak: %ld polls, resident %ld -> %ld KiB, simulator %ld -> %ld KiB\n", polls,
              resident, ResidentKiB("self"), simResident, ResidentKiB(std::to_string(sim.Pid())));
}

}  // namespace
}  // namespace tarnwick
