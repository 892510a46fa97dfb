// The poll driven as fast as it will go against a real tarnwick-sim, with the controller
// pulled and plugged back among the polls: descriptors and resident memory must stay flat.
// TARNWICK_SOAK_POLLS sets the count (the test command runs a reduced soak).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "e2e/sim_process.hpp"
#include "platform/posix_os.hpp"
#include "ui/main_form.hpp"

namespace tarnwick {
namespace {

using testing::OpenDescriptorCount;
using testing::SimProcess;

long ResidentKiB(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

int DescriptorsOf(pid_t pid) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++count;
  }
  return count;
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
  const int descriptors = OpenDescriptorCount();
  const int simDescriptors = DescriptorsOf(sim.Pid());
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
  EXPECT_EQ(OpenDescriptorCount(), descriptors);
  EXPECT_EQ(DescriptorsOf(sim.Pid()), simDescriptors);
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
