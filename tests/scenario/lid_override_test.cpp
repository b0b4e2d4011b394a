// The keep-awake request and the lid-close override, call by call.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "harness.h"

namespace winsim {
bool operator==(ValueIndexes x, ValueIndexes y) { return x.ac == y.ac && x.dc == y.dc; }
std::ostream& operator<<(std::ostream& out, ValueIndexes v) { return out << v.ac << "/" << v.dc; }
}  // namespace winsim

namespace {

using namespace scenario;

// Plans by letter: A "Balanced" and B "High performance" exist; X ("Power
// saver") is deleted before each case, so a backup naming it names a plan
// that is gone.
constexpr GUID POWER_SAVER = {0xa1841308, 0x3541, 0x4fab, {0xbc, 0x81, 0xf7, 0x15, 0x56, 0xf2, 0x0b, 0x4a}};

GUID plan(char letter) {
  return letter == 'A' ? winsim::plan_guid("Balanced") : letter == 'B' ? winsim::plan_guid("High performance") : POWER_SAVER;
}

struct Backup {
  std::optional<std::uint64_t> ac;
  std::optional<std::uint64_t> dc;
  char plan;  // 0: no "LidPlan" (stored before plans were recorded)
};

constexpr std::nullopt_t NONE = std::nullopt;

struct Lids {
  winsim::ValueIndexes a;
  winsim::ValueIndexes b;
};

void store_backup(const Backup& b) {
  if (b.ac) winsim::reg_set_qword(ORBEL_KEY, "LidAC", *b.ac);
  if (b.dc) winsim::reg_set_qword(ORBEL_KEY, "LidDC", *b.dc);
  if (b.plan) {
    const GUID g = plan(b.plan);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&g);
    winsim::reg_set(ORBEL_KEY, "LidPlan", REG_BINARY, std::vector<std::uint8_t>(bytes, bytes + sizeof g));
  }
}

// The letter of the plan "LidPlan" names; '?' for anything else.
char stored_plan() {
  const auto v = winsim::reg_get(ORBEL_KEY, "LidPlan");
  if (!v) return 0;
  for (char letter : {'A', 'B', 'X'}) {
    const GUID g = plan(letter);
    if (v->type == REG_BINARY && v->data.size() == sizeof g && std::memcmp(v->data.data(), &g, sizeof g) == 0)
      return letter;
  }
  return '?';
}

// PowerSetActiveScheme is only ever asked to apply the plan that is active:
// applying another would switch the user's plan.
void expect_only_the_active_plan_applied(const std::string& name) {
  const std::string active = "PowerSetActiveScheme(" + winsim::trace_text(winsim::active_plan()) + ")";
  for (const std::string& line : winsim::trace_of({"PowerSetActiveScheme"})) EXPECT_EQ(line, active) << name;
}

struct LidCase {
  const char* name;
  Backup backup_before;
  Lids lids_before;
  char active_plan;
  bool hold;
  const char* failing_call;  // nullptr: nothing fails
  unsigned failing_nth;
  Backup backup_after;
  Lids lids_after;
  bool plan_written;
};

TEST(LidOverride, StateTable) {
  const LidCase cases[] = {
      // released -> overridden
      {"first hold saves 1/1 and overrides", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, nullptr, 0, {1, 1, 'A'}, {{0, 0}, {5, 5}}, true},
      {"first hold with 0/0 saves but leaves the plan alone", {NONE, NONE, 0}, {{0, 0}, {5, 5}}, 'A', true, nullptr, 0, {0, 0, 'A'}, {{0, 0}, {5, 5}}, false},
      {"AC alone non-zero: both written", {NONE, NONE, 0}, {{3, 0}, {5, 5}}, 'A', true, nullptr, 0, {3, 0, 'A'}, {{0, 0}, {5, 5}}, true},
      {"DC alone non-zero: both written", {NONE, NONE, 0}, {{0, 3}, {5, 5}}, 'A', true, nullptr, 0, {0, 3, 'A'}, {{0, 0}, {5, 5}}, true},
      {"first hold on plan B", {NONE, NONE, 0}, {{1, 1}, {3, 1}}, 'B', true, nullptr, 0, {3, 1, 'B'}, {{1, 1}, {0, 0}}, true},
      // overridden -> overridden
      {"steady hold only reads", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', true, nullptr, 0, {1, 1, 'A'}, {{0, 0}, {5, 5}}, false},
      {"user's later AC change is undone, backup kept", {1, 1, 'A'}, {{2, 0}, {5, 5}}, 'A', true, nullptr, 0, {1, 1, 'A'}, {{0, 0}, {5, 5}}, true},
      {"user's later DC change is undone, backup kept", {1, 1, 'A'}, {{0, 2}, {5, 5}}, 'A', true, nullptr, 0, {1, 1, 'A'}, {{0, 0}, {5, 5}}, true},
      {"backup without plan belongs to the active plan", {1, 2, 0}, {{0, 0}, {5, 5}}, 'A', true, nullptr, 0, {1, 2, 'A'}, {{0, 0}, {5, 5}}, false},
      // overridden -> released
      {"release restores and deletes the backup", {1, 2, 'A'}, {{0, 0}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{1, 2}, {5, 5}}, true},
      {"release of a 0/0 backup still applies", {0, 0, 'A'}, {{0, 0}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{0, 0}, {5, 5}}, true},
      {"release uses the low 32 bits", {(1ull << 32) + 2, 3, 'A'}, {{0, 0}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{2, 3}, {5, 5}}, true},
      {"release of a backup without plan restores the active plan", {1, 2, 0}, {{0, 0}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{1, 2}, {5, 5}}, true},
      // released -> released
      {"release without backup changes nothing", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      // the user switched plans during the session
      {"switch: A gets its values back, B is saved and overridden", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, nullptr, 0, {3, 1, 'B'}, {{1, 2}, {0, 0}}, true},
      {"switch to a plan already at 0/0", {1, 2, 'A'}, {{0, 0}, {0, 0}}, 'B', true, nullptr, 0, {0, 0, 'B'}, {{1, 2}, {0, 0}}, true},
      {"switch: release gives A back without applying it", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', false, nullptr, 0, {NONE, NONE, 0}, {{1, 2}, {3, 1}}, true},
      {"switch: A's restore fails, B left alone", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, "PowerWriteACValueIndex", 1, {1, 2, 'A'}, {{0, 2}, {3, 1}}, true},
      {"switch: A cannot be read, B left alone", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, "PowerReadACValueIndex", 2, {1, 2, 'A'}, {{0, 0}, {3, 1}}, false},
      {"switch: old backup not deleted, B left alone", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, "RegDeleteKeyValueW", 1, {1, 2, 'A'}, {{1, 2}, {3, 1}}, true},
      {"switch: release into A fails, backup kept", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', false, "PowerWriteDCValueIndex", 1, {1, 2, 'A'}, {{1, 0}, {3, 1}}, true},
      // the backup's plan was deleted
      {"gone plan: its values go nowhere, A is saved and overridden", {4, 4, 'X'}, {{1, 2}, {5, 5}}, 'A', true, nullptr, 0, {1, 2, 'A'}, {{0, 0}, {5, 5}}, true},
      {"gone plan: release drops the backup, writes nothing", {4, 4, 'X'}, {{1, 2}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{1, 2}, {5, 5}}, false},
      // a pair broken from outside counts as no backup
      {"only LidAC: a fresh pair is saved and the plan overridden", {5, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, nullptr, 0, {1, 1, 'A'}, {{0, 0}, {5, 5}}, true},
      {"only LidAC: release does nothing", {5, NONE, 'A'}, {{0, 0}, {5, 5}}, 'A', false, nullptr, 0, {5, NONE, 'A'}, {{0, 0}, {5, 5}}, false},
      {"only LidDC: hold stores both", {NONE, 7, 0}, {{1, 2}, {5, 5}}, 'A', true, nullptr, 0, {1, 2, 'A'}, {{0, 0}, {5, 5}}, true},
      {"only LidDC: release does nothing", {NONE, 7, 0}, {{1, 2}, {5, 5}}, 'A', false, nullptr, 0, {NONE, 7, 0}, {{1, 2}, {5, 5}}, false},
      // failures
      {"no active plan: hold skips the lid", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "PowerGetActiveScheme", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"no active plan: release keeps the backup", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "PowerGetActiveScheme", 1, {1, 1, 'A'}, {{0, 0}, {5, 5}}, false},
      {"AC read fails", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "PowerReadACValueIndex", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"DC read fails", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "PowerReadDCValueIndex", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"LidPlan write fails: no backup, no override", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "RegSetKeyValueW", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"LidAC write fails: no override without a backup", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "RegSetKeyValueW", 2, {NONE, NONE, 'A'}, {{1, 1}, {5, 5}}, false},
      {"LidDC write fails: half backup undone, no override", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "RegSetKeyValueW", 3, {NONE, NONE, 'A'}, {{1, 1}, {5, 5}}, false},
      {"backup unreadable while overridden: nothing rewritten", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', true, "RegGetValueW", 1, {1, 1, 'A'}, {{0, 0}, {5, 5}}, false},
      {"backup unreadable at first hold: no override", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "RegGetValueW", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"LidPlan unreadable after a switch: nothing moves", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, "RegGetValueW", 3, {1, 2, 'A'}, {{0, 0}, {3, 1}}, false},
      {"backup unreadable at release: kept", {1, 2, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "RegGetValueW", 2, {1, 2, 'A'}, {{0, 0}, {5, 5}}, false},
      {"restoring AC fails: backup kept for the next release", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "PowerWriteACValueIndex", 1, {1, 1, 'A'}, {{0, 1}, {5, 5}}, true},
      {"restoring DC fails: backup kept", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "PowerWriteDCValueIndex", 1, {1, 1, 'A'}, {{1, 0}, {5, 5}}, true},
      {"applying fails: backup kept", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "PowerSetActiveScheme", 1, {1, 1, 'A'}, {{1, 1}, {5, 5}}, true},
      {"deleting LidAC fails: the pair stays whole", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "RegDeleteKeyValueW", 1, {1, 1, 'A'}, {{1, 1}, {5, 5}}, true},
      {"deleting LidDC fails: a lone LidDC is harmless", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "RegDeleteKeyValueW", 2, {NONE, 1, 'A'}, {{1, 1}, {5, 5}}, true},
      {"deleting LidPlan fails: a lone LidPlan is harmless", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "RegDeleteKeyValueW", 3, {NONE, NONE, 'A'}, {{1, 1}, {5, 5}}, true},
  };
  for (const LidCase& c : cases) {
    fresh_machine();
    ASSERT_TRUE(winsim::delete_plan(plan('X'))) << c.name;
    store_backup(c.backup_before);
    set_lid(plan('A'), c.lids_before.a.ac, c.lids_before.a.dc);
    set_lid(plan('B'), c.lids_before.b.ac, c.lids_before.b.dc);
    winsim::set_active_plan(plan(c.active_plan));
    if (c.failing_call) winsim::fail_call(c.failing_call, c.failing_nth);

    orbel::set_power_hold(c.hold);

    EXPECT_EQ(stored("LidAC"), c.backup_after.ac) << c.name;
    EXPECT_EQ(stored("LidDC"), c.backup_after.dc) << c.name;
    EXPECT_EQ(stored_plan(), c.backup_after.plan) << c.name;
    EXPECT_EQ(lid(plan('A')), c.lids_after.a) << c.name;
    EXPECT_EQ(lid(plan('B')), c.lids_after.b) << c.name;
    const std::size_t plan_writes = winsim::count_calls("PowerWriteACValueIndex") +
                                    winsim::count_calls("PowerWriteDCValueIndex") +
                                    winsim::count_calls("PowerSetActiveScheme");
    EXPECT_EQ(plan_writes != 0, c.plan_written) << c.name;
    expect_only_the_active_plan_applied(c.name);
    EXPECT_EQ(winsim::main_thread_execution_state(), c.hold ? 0x80000003u : 0x80000000u) << c.name;
    EXPECT_EQ(winsim::outstanding_local_allocations(), 0u) << c.name;
  }
}

// "LidAC" or "LidDC" absent, of another type or of the wrong size: the pair
// counts as missing, so a hold takes a fresh pair from the active plan and
// overrides it, and the release gives that pair back.
TEST(LidOverride, DamagedPairIsReplacedByAFreshOne) {
  struct Damage {
    const char* label;
    DWORD type;
    std::vector<std::uint8_t> data;
  };
  const std::vector<std::uint8_t> nine = {9, 0, 0, 0, 0, 0, 0, 0};
  const Damage damages[] = {
      {"REG_SZ \"1\"", REG_SZ, {'1', 0, 0, 0}},
      {"empty REG_QWORD", REG_QWORD, {}},
      {"REG_QWORD of 4 bytes", REG_QWORD, {9, 0, 0, 0}},
      {"REG_QWORD of 16 bytes", REG_QWORD, std::vector<std::uint8_t>(16, 9)},
      {"REG_DWORD of 2 bytes", REG_DWORD, {9, 0}},
      {"REG_BINARY of 8 bytes", REG_BINARY, nine},
  };
  for (const char* damaged : {"LidAC", "LidDC"})
    for (const Damage& d : damages)
      for (bool with_plan : {false, true}) {
        const std::string name = std::string(damaged) + " = " + d.label + (with_plan ? ", LidPlan A" : "");
        fresh_machine();
        set_lid(balanced(), 2, 3);
        store_backup({9, 9, with_plan ? 'A' : '\0'});
        winsim::reg_set(ORBEL_KEY, damaged, d.type, d.data);

        orbel::set_power_hold(true);
        EXPECT_EQ(stored("LidAC"), 2u) << name;
        EXPECT_EQ(stored("LidDC"), 3u) << name;
        EXPECT_EQ(stored_plan(), 'A') << name;
        EXPECT_EQ(lid(balanced()), (winsim::ValueIndexes{0, 0})) << name;

        orbel::set_power_hold(false);
        EXPECT_EQ(lid(balanced()), (winsim::ValueIndexes{2, 3})) << name;
        EXPECT_TRUE(winsim::reg_value_names(ORBEL_KEY).empty()) << name;
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
                "RegGetValueW(Software\\Orbel, LidDC, 0x50)",
                "RegGetValueW(Software\\Orbel, LidPlan, 0x8)",
                "RegSetKeyValueW(Software\\Orbel, LidPlan, 3, 16)",
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
                                         "RegDeleteKeyValueW(Software\\Orbel, LidDC)",
                                         "RegDeleteKeyValueW(Software\\Orbel, LidPlan)", "LocalFree(allocation)"}));
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

// A whole session over plan switches and a deleted plan: every plan ends
// with the values it had before the session, whichever plan is active.
TEST(LidOverride, PlansSwitchedAndDeletedMidSession) {
  fresh_machine();
  const GUID a = plan('A');
  const GUID b = plan('B');
  set_lid(a, 1, 2);
  set_lid(b, 3, 1);
  orbel::set_power_hold(true);
  winsim::set_active_plan(b);
  orbel::set_power_hold(true);
  EXPECT_EQ(lid(a), (winsim::ValueIndexes{1, 2}));
  EXPECT_EQ(lid(b), (winsim::ValueIndexes{0, 0}));
  winsim::set_active_plan(a);
  orbel::set_power_hold(true);
  EXPECT_EQ(lid(b), (winsim::ValueIndexes{3, 1}));
  EXPECT_EQ(lid(a), (winsim::ValueIndexes{0, 0}));
  orbel::set_power_hold(false);
  EXPECT_EQ(lid(a), (winsim::ValueIndexes{1, 2}));
  EXPECT_EQ(lid(b), (winsim::ValueIndexes{3, 1}));
  EXPECT_TRUE(winsim::reg_value_names(ORBEL_KEY).empty());

  // The user deletes the overridden plan after switching away from it.
  orbel::set_power_hold(true);
  winsim::set_active_plan(b);
  ASSERT_TRUE(winsim::delete_plan(a));
  orbel::set_power_hold(true);
  EXPECT_EQ(lid(b), (winsim::ValueIndexes{0, 0}));
  EXPECT_EQ(stored("LidAC"), 3u);
  EXPECT_EQ(stored("LidDC"), 1u);
  orbel::set_power_hold(false);
  EXPECT_EQ(lid(b), (winsim::ValueIndexes{3, 1}));
  EXPECT_TRUE(winsim::reg_value_names(ORBEL_KEY).empty());
}

// The LidDC write fails and so does taking LidAC back: the lone LidAC left
// behind is no backup, so the next hold saves a whole pair of the user's
// values before it overrides, and the release gives them back.
TEST(LidOverride, TwoFailuresInOneBackupWriteLoseNothing) {
  fresh_machine();
  set_lid(balanced(), 2, 3);
  winsim::fail_call("RegSetKeyValueW", 3);  // LidDC
  winsim::fail_call("RegDeleteKeyValueW");  // the rollback of LidAC
  orbel::set_power_hold(true);
  EXPECT_EQ(lid(balanced()), (winsim::ValueIndexes{2, 3}));
  orbel::set_power_hold(true);
  EXPECT_EQ(stored("LidDC"), 3u);
  orbel::set_power_hold(false);
  EXPECT_EQ(lid(balanced()), (winsim::ValueIndexes{2, 3}));
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
