// The keep-awake request and the lid-close override, call by call.
#include <gtest/gtest.h>

#include <optional>

#include "harness.h"

namespace {

using namespace scenario;

struct Backup {
  std::optional<std::uint64_t> ac;
  std::optional<std::uint64_t> dc;
};

bool operator==(const Backup& a, const Backup& b) { return a.ac == b.ac && a.dc == b.dc; }

std::ostream& operator<<(std::ostream& out, const Backup& b) {
  auto part = [&](const std::optional<std::uint64_t>& v) { return v ? std::to_string(*v) : std::string("absent"); };
  return out << "{" << part(b.ac) << ", " << part(b.dc) << "}";
}

void store_backup(const Backup& b) {
  if (b.ac) winsim::reg_set_qword(ORBEL_KEY, "LidAC", *b.ac);
  if (b.dc) winsim::reg_set_qword(ORBEL_KEY, "LidDC", *b.dc);
}

Backup stored_backup() { return Backup{stored("LidAC"), stored("LidDC")}; }

struct LidCase {
  const char* name;
  Backup backup_before;
  winsim::ValueIndexes plan_before;
  bool active;
  const char* failing_call;  // nullptr: nothing fails
  unsigned failing_nth;
  Backup backup_after;
  winsim::ValueIndexes plan_after;
  bool plan_written;
};

constexpr std::nullopt_t NONE = std::nullopt;

TEST(LidOverride, StateTable) {
  const LidCase cases[] = {
      // released -> overridden
      {"first hold saves 1/1 and overrides", {NONE, NONE}, {1, 1}, true, nullptr, 0, {1, 1}, {0, 0}, true},
      {"first hold with 0/0 saves but leaves the plan alone", {NONE, NONE}, {0, 0}, true, nullptr, 0, {0, 0}, {0, 0}, false},
      {"one non-zero index writes both", {NONE, NONE}, {3, 0}, true, nullptr, 0, {3, 0}, {0, 0}, true},
      // overridden -> overridden
      {"steady hold only reads", {1, 1}, {0, 0}, true, nullptr, 0, {1, 1}, {0, 0}, false},
      {"user's later change is undone, backup kept", {1, 1}, {2, 0}, true, nullptr, 0, {1, 1}, {0, 0}, true},
      // overridden -> released
      {"release restores and deletes the backup", {1, 2}, {0, 0}, false, nullptr, 0, {NONE, NONE}, {1, 2}, true},
      {"release of a 0/0 backup still applies", {0, 0}, {0, 0}, false, nullptr, 0, {NONE, NONE}, {0, 0}, true},
      {"release uses the low 32 bits", {(1ull << 32) + 2, 3}, {0, 0}, false, nullptr, 0, {NONE, NONE}, {2, 3}, true},
      // released -> released
      {"release without backup changes nothing", {NONE, NONE}, {1, 1}, false, nullptr, 0, {NONE, NONE}, {1, 1}, false},
      // a pair broken from outside
      {"only LidAC: no new backup, and no override it could never undo", {5, NONE}, {1, 1}, true, nullptr, 0, {5, NONE}, {1, 1}, false},
      {"only LidAC: release does nothing", {5, NONE}, {0, 0}, false, nullptr, 0, {5, NONE}, {0, 0}, false},
      {"only LidDC: hold stores both", {NONE, 7}, {1, 2}, true, nullptr, 0, {1, 2}, {0, 0}, true},
      {"only LidDC: release does nothing", {NONE, 7}, {1, 2}, false, nullptr, 0, {NONE, 7}, {1, 2}, false},
      // failures
      {"no active plan: hold skips the lid", {NONE, NONE}, {1, 1}, true, "PowerGetActiveScheme", 1, {NONE, NONE}, {1, 1}, false},
      {"no active plan: release keeps the backup", {1, 1}, {0, 0}, false, "PowerGetActiveScheme", 1, {1, 1}, {0, 0}, false},
      {"AC read fails", {NONE, NONE}, {1, 1}, true, "PowerReadACValueIndex", 1, {NONE, NONE}, {1, 1}, false},
      {"DC read fails", {NONE, NONE}, {1, 1}, true, "PowerReadDCValueIndex", 1, {NONE, NONE}, {1, 1}, false},
      {"LidAC write fails: no override without a backup", {NONE, NONE}, {1, 1}, true, "RegSetKeyValueW", 1, {NONE, NONE}, {1, 1}, false},
      {"LidDC write fails: half backup undone, no override", {NONE, NONE}, {1, 1}, true, "RegSetKeyValueW", 2, {NONE, NONE}, {1, 1}, false},
      {"backup unreadable while overridden: nothing rewritten", {1, 1}, {0, 0}, true, "RegGetValueW", 1, {1, 1}, {0, 0}, false},
      {"backup unreadable at first hold: no override", {NONE, NONE}, {1, 1}, true, "RegGetValueW", 1, {NONE, NONE}, {1, 1}, false},
      {"restoring AC fails: backup kept for the next release", {1, 1}, {0, 0}, false, "PowerWriteACValueIndex", 1, {1, 1}, {0, 1}, true},
      {"restoring DC fails: backup kept", {1, 1}, {0, 0}, false, "PowerWriteDCValueIndex", 1, {1, 1}, {1, 0}, true},
      {"applying fails: backup kept", {1, 1}, {0, 0}, false, "PowerSetActiveScheme", 1, {1, 1}, {1, 1}, true},
      {"deleting LidAC fails: the pair stays whole", {1, 1}, {0, 0}, false, "RegDeleteKeyValueW", 1, {1, 1}, {1, 1}, true},
      {"deleting LidDC fails: a lone LidDC is harmless", {1, 1}, {0, 0}, false, "RegDeleteKeyValueW", 2, {NONE, 1}, {1, 1}, true},
  };
  for (const LidCase& c : cases) {
    fresh_machine();
    store_backup(c.backup_before);
    set_lid(balanced(), c.plan_before.ac, c.plan_before.dc);
    if (c.failing_call) winsim::fail_call(c.failing_call, c.failing_nth);

    orbel::set_power_hold(c.active);

    EXPECT_EQ(stored_backup(), c.backup_after) << c.name;
    EXPECT_EQ(lid(balanced()).ac, c.plan_after.ac) << c.name;
    EXPECT_EQ(lid(balanced()).dc, c.plan_after.dc) << c.name;
    const std::size_t plan_writes = winsim::count_calls("PowerWriteACValueIndex") +
                                    winsim::count_calls("PowerWriteDCValueIndex") +
                                    winsim::count_calls("PowerSetActiveScheme");
    EXPECT_EQ(plan_writes != 0, c.plan_written) << c.name;
    EXPECT_EQ(winsim::main_thread_execution_state(), c.active ? 0x80000003u : 0x80000000u) << c.name;
    EXPECT_EQ(winsim::outstanding_local_allocations(), 0u) << c.name;
  }
}

TEST(LidOverride, CallOrderOfFirstHoldAndRelease) {
  fresh_machine();
  orbel::set_power_hold(true);
  EXPECT_EQ(winsim::trace_of({"SetThreadExecutionState", "PowerGetActiveScheme", "PowerReadACValueIndex",
                              "PowerReadDCValueIndex", "RegGetValueW", "RegSetKeyValueW", "PowerWriteACValueIndex",
                              "PowerWriteDCValueIndex", "PowerSetActiveScheme", "LocalFree"}),
            (std::vector<std::string>{
                "SetThreadExecutionState(0x80000003)",
                "PowerGetActiveScheme()",
                "PowerReadACValueIndex({381B4222-F694-41F0-9685-FF5BB260DF2E}, {4F971E89-EEBD-4455-A8DE-9E59040E7347}, "
                "{5CA83367-6E45-459F-A27B-476B1D01C936})",
                "PowerReadDCValueIndex({381B4222-F694-41F0-9685-FF5BB260DF2E}, {4F971E89-EEBD-4455-A8DE-9E59040E7347}, "
                "{5CA83367-6E45-459F-A27B-476B1D01C936})",
                "RegGetValueW(Software\\Orbel, LidAC, 0x50)",
                "RegSetKeyValueW(Software\\Orbel, LidAC, 11, 8)",
                "RegSetKeyValueW(Software\\Orbel, LidDC, 11, 8)",
                "PowerWriteACValueIndex({381B4222-F694-41F0-9685-FF5BB260DF2E}, {4F971E89-EEBD-4455-A8DE-9E59040E7347}, "
                "{5CA83367-6E45-459F-A27B-476B1D01C936}, 0)",
                "PowerWriteDCValueIndex({381B4222-F694-41F0-9685-FF5BB260DF2E}, {4F971E89-EEBD-4455-A8DE-9E59040E7347}, "
                "{5CA83367-6E45-459F-A27B-476B1D01C936}, 0)",
                "PowerSetActiveScheme({381B4222-F694-41F0-9685-FF5BB260DF2E})",
                "LocalFree(allocation)",
            }));

  winsim::clear_trace();
  orbel::set_power_hold(false);
  EXPECT_TRUE(in_order(winsim::trace(), {"SetThreadExecutionState(0x80000000)", "PowerGetActiveScheme",
                                         "RegGetValueW(Software\\Orbel, LidAC", "RegGetValueW(Software\\Orbel, LidDC",
                                         "PowerWriteACValueIndex", "PowerWriteDCValueIndex", "PowerSetActiveScheme",
                                         "RegDeleteKeyValueW(Software\\Orbel, LidAC)",
                                         "RegDeleteKeyValueW(Software\\Orbel, LidDC)", "LocalFree(allocation)"}));
}

TEST(LidOverride, SteadyHoldReadsOnly) {
  fresh_machine();
  orbel::set_power_hold(true);
  winsim::clear_trace();
  orbel::set_power_hold(true);
  EXPECT_EQ(winsim::count_calls("RegSetKeyValueW") + winsim::count_calls("PowerWriteACValueIndex") +
                winsim::count_calls("PowerWriteDCValueIndex") + winsim::count_calls("PowerSetActiveScheme"),
            0u);
}

TEST(LidOverride, PlanSwitchedMidSession) {
  fresh_machine();
  const GUID high = winsim::plan_guid("High performance");
  set_lid(high, 2, 3);
  orbel::set_power_hold(true);
  winsim::set_active_plan(high);
  orbel::set_power_hold(true);
  EXPECT_EQ(lid(high).ac, 0u);
  EXPECT_EQ(lid(high).dc, 0u);
  EXPECT_EQ(stored("LidAC"), 1u);

  orbel::set_power_hold(false);
  // The saved values go into the plan active at release; the first one keeps 0.
  EXPECT_EQ(lid(high).ac, 1u);
  EXPECT_EQ(lid(high).dc, 1u);
  EXPECT_EQ(lid(balanced()).ac, 0u);
  EXPECT_EQ(lid(balanced()).dc, 0u);
  EXPECT_FALSE(stored("LidAC"));
}

TEST(LidOverride, FailedRestoreIsRetriedByTheNextRelease) {
  fresh_machine();
  orbel::set_power_hold(true);
  winsim::fail_call("PowerSetActiveScheme");
  orbel::set_power_hold(false);
  EXPECT_EQ(stored("LidAC"), 1u);
  orbel::set_power_hold(false);
  EXPECT_FALSE(stored("LidAC"));
  EXPECT_FALSE(stored("LidDC"));
  EXPECT_EQ(lid(balanced()).ac, 1u);
}

}  // namespace
