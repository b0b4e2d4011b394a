// The cost of keeping a session alive: once the lid backup exists and the
// plan's indexes are already 0, a tick reads and renews but writes neither
// the registry nor the power plan. The exact list of calls is the contract;
// anything added to the tick shows up here first.
#include <gtest/gtest.h>

#include <iostream>

#include "harness.h"
#include "invariants.h"

namespace {

const std::string PLAN = "{381B4222-F694-41F0-9685-FF5BB260DF2E}";
const std::string LID_SETTING = "{4F971E89-EEBD-4455-A8DE-9E59040E7347}, {5CA83367-6E45-459F-A27B-476B1D01C936}";

std::vector<std::string> steady_tick(bool timed) {
  std::vector<std::string> calls = {"TranslateMessage(0x113)", "DispatchMessageW(0x113)",
                                    "GetSystemTimePreciseAsFileTime()"};
  // A timed session reads the clock again for its end.
  if (timed) calls.push_back("GetSystemTimePreciseAsFileTime()");
  for (const std::string& call : {
           std::string("GetSystemPowerStatus()"),
           std::string("SetThreadExecutionState(0x80000003)"),
           std::string("PowerGetActiveScheme()"),
           "PowerReadACValueIndex(" + PLAN + ", " + LID_SETTING + ")",
           "PowerReadDCValueIndex(" + PLAN + ", " + LID_SETTING + ")",
           std::string("RegGetValueW(Software\\Orbel, LidAC, 0x50)"),
           // The pair must be whole before the plan may stay overridden.
           std::string("RegGetValueW(Software\\Orbel, LidDC, 0x50)"),
           // ...and belong to the active plan.
           std::string("RegGetValueW(Software\\Orbel, LidPlan, 0x8)"),
           std::string("LocalFree(allocation)"),
           std::string("GetMessageW(NULL, 0, 0)"),
       })
    calls.push_back(call);
  return calls;
}

TEST(SteadyTick, RenewsWithoutWriting) {
  struct Case {
    const char* name;
    bool timed;
  };
  for (const Case& c : {Case{"open-ended session", false}, Case{"timed session", true}}) {
    scenario::fresh_machine();
    scenario::set_lid(scenario::balanced(), 2, 3);
    const std::uint64_t start = winsim::time_unix();
    winsim::reg_set_qword(hardening::ORBEL_KEY, "On", 1);
    winsim::reg_set_qword(hardening::ORBEL_KEY, "Until", c.timed ? start + 8 * hardening::HOUR_S : 0);
    winsim::reg_set_qword(hardening::ORBEL_KEY, "Hours", c.timed ? 8 : 0);
    std::vector<std::string> between;
    // Ticks come at 20, 40, 60 and 80 s; the one at 20 s starts the day's
    // update check, so the window around 60 s is the steady state.
    winsim::after_s(50, [] {
      const auto lid = hardening::active_lid();
      EXPECT_EQ(lid.ac, 0u);
      EXPECT_EQ(lid.dc, 0u);
      EXPECT_EQ(winsim::reg_get_qword(hardening::ORBEL_KEY, "LidAC"), 2u);
      EXPECT_EQ(winsim::reg_get_qword(hardening::ORBEL_KEY, "LidDC"), 3u);
      winsim::clear_trace();
    });
    winsim::after_s(70, [&between] {
      between = winsim::trace();
      hardening::close_program();
    });
    EXPECT_EQ(scenario::run_orbel(), 0) << c.name;
    EXPECT_FALSE(winsim::run_limit_hit()) << c.name;
    EXPECT_EQ(between, steady_tick(c.timed)) << c.name;
    std::cout << "steady tick, " << c.name << ": " << between.size() << " OS calls" << std::endl;
  }
}

}  // namespace
