// The keep-awake request and the lid-close override, call by call.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
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
// that is gone; N is the null GUID, the plan record of a backup being
// written or taken down.
constexpr GUID POWER_SAVER = {0xa1841308, 0x3541, 0x4fab, {0xbc, 0x81, 0xf7, 0x15, 0x56, 0xf2, 0x0b, 0x4a}};

GUID plan(char letter) {
  switch (letter) {
    case 'A':
      return winsim::plan_guid("Balanced");
    case 'B':
      return winsim::plan_guid("High performance");
    case 'N':
      return orbel::NO_PLAN;
    default:
      return POWER_SAVER;
  }
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
  for (char letter : {'A', 'B', 'X', 'N'}) {
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
      {"switch: A's restore fails, B left alone", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, "PowerWriteACValueIndex", 1, {1, 2, 'A'}, {{0, 0}, {3, 1}}, true},
      {"switch: the plan list cannot be read, B left alone", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, "PowerEnumerate", 1, {1, 2, 'A'}, {{0, 0}, {3, 1}}, false},
      {"switch: the plan list fails after A, B left alone", {1, 2, 'X'}, {{1, 1}, {3, 1}}, 'B', true, "PowerEnumerate", 3, {1, 2, 'X'}, {{1, 1}, {3, 1}}, false},
      {"switch: old backup not marked given back, B left alone", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, "RegSetKeyValueW", 1, {1, 2, 'A'}, {{1, 2}, {3, 1}}, true},
      {"switch: a value the delete missed is overwritten by B's backup", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, "RegDeleteKeyValueW", 1, {3, 1, 'B'}, {{1, 2}, {0, 0}}, true},
      {"switch: release into A fails, backup kept", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', false, "PowerWriteDCValueIndex", 1, {1, 2, 'A'}, {{1, 0}, {3, 1}}, true},
      // the backup's plan was deleted: it is not listed any more
      {"gone plan: its values go nowhere, A is saved and overridden", {4, 4, 'X'}, {{1, 2}, {5, 5}}, 'A', true, nullptr, 0, {1, 2, 'A'}, {{0, 0}, {5, 5}}, true},
      {"gone plan: release drops the backup, writes nothing", {4, 4, 'X'}, {{1, 2}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{1, 2}, {5, 5}}, false},
      {"gone plan: the plan list cannot be read, backup kept", {4, 4, 'X'}, {{1, 2}, {5, 5}}, 'A', false, "PowerEnumerate", 2, {4, 4, 'X'}, {{1, 2}, {5, 5}}, false},
      // what a backup being written or taken down leaves: a null plan record
      {"null plan record: the pair beside it is no backup, a fresh one is taken", {9, 9, 'N'}, {{1, 2}, {5, 5}}, 'A', true, nullptr, 0, {1, 2, 'A'}, {{0, 0}, {5, 5}}, true},
      {"null plan record: release clears it and restores nothing", {9, 9, 'N'}, {{1, 2}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{1, 2}, {5, 5}}, false},
      // half a pair without a plan record: no backup
      {"only LidAC: a fresh pair is saved and the plan overridden", {5, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, nullptr, 0, {1, 1, 'A'}, {{0, 0}, {5, 5}}, true},
      {"only LidDC: hold stores both", {NONE, 7, 0}, {{1, 2}, {5, 5}}, 'A', true, nullptr, 0, {1, 2, 'A'}, {{0, 0}, {5, 5}}, true},
      {"only LidDC: release clears it and restores nothing", {NONE, 7, 0}, {{1, 2}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{1, 2}, {5, 5}}, false},
      // a backup that lost a value while its plan was held (deleted or
      // overwritten from outside): the hold keeps it, never saving the
      // override's 0/0 as the user's; the release gives back what is left
      // and "sleep" where the plan still holds "do nothing"
      {"LidDC lost: the hold keeps the backup and the override", {5, NONE, 'A'}, {{0, 0}, {5, 5}}, 'A', true, nullptr, 0, {5, NONE, 'A'}, {{0, 0}, {5, 5}}, false},
      {"LidDC lost: release gives back LidAC and sleep", {5, NONE, 'A'}, {{0, 0}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{5, 1}, {5, 5}}, true},
      {"LidAC lost: release gives back LidDC and sleep", {NONE, 3, 'A'}, {{0, 0}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{1, 3}, {5, 5}}, true},
      {"LidDC lost, the user set DC since: left as it is", {5, NONE, 'A'}, {{0, 2}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{5, 2}, {5, 5}}, true},
      {"both lost: sleep for both", {NONE, NONE, 'A'}, {{0, 0}, {5, 5}}, 'A', false, nullptr, 0, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, true},
      {"LidDC lost, its plan's DC cannot be read: kept", {5, NONE, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "PowerReadDCValueIndex", 1, {5, NONE, 'A'}, {{0, 0}, {5, 5}}, false},
      {"LidDC lost after a switch: A gets LidAC and sleep, B is saved", {5, NONE, 'A'}, {{0, 0}, {3, 1}}, 'B', true, nullptr, 0, {3, 1, 'B'}, {{5, 1}, {0, 0}}, true},
      // failures
      {"no active plan: hold skips the lid", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "PowerGetActiveScheme", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"no active plan: release keeps the backup", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "PowerGetActiveScheme", 1, {1, 1, 'A'}, {{0, 0}, {5, 5}}, false},
      {"AC read fails", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "PowerReadACValueIndex", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"DC read fails", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "PowerReadDCValueIndex", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"null plan record write fails: no backup, no override", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "RegSetKeyValueW", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"LidAC write fails: no override without a backup", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "RegSetKeyValueW", 2, {NONE, NONE, 'N'}, {{1, 1}, {5, 5}}, false},
      {"LidDC write fails: the half is no backup, no override", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "RegSetKeyValueW", 3, {1, NONE, 'N'}, {{1, 1}, {5, 5}}, false},
      {"LidPlan write fails: the pair is no backup, no override", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "RegSetKeyValueW", 4, {1, 1, 'N'}, {{1, 1}, {5, 5}}, false},
      {"backup unreadable while overridden: nothing rewritten", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', true, "RegGetValueW", 1, {1, 1, 'A'}, {{0, 0}, {5, 5}}, false},
      {"backup unreadable at first hold: no override", {NONE, NONE, 0}, {{1, 1}, {5, 5}}, 'A', true, "RegGetValueW", 1, {NONE, NONE, 0}, {{1, 1}, {5, 5}}, false},
      {"LidPlan unreadable after a switch: nothing moves", {1, 2, 'A'}, {{0, 0}, {3, 1}}, 'B', true, "RegGetValueW", 3, {1, 2, 'A'}, {{0, 0}, {3, 1}}, false},
      {"backup unreadable at release: kept", {1, 2, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "RegGetValueW", 2, {1, 2, 'A'}, {{0, 0}, {5, 5}}, false},
      {"restoring AC fails: backup kept for the next release", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "PowerWriteACValueIndex", 1, {1, 1, 'A'}, {{0, 0}, {5, 5}}, true},
      {"restoring DC fails: backup kept", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "PowerWriteDCValueIndex", 1, {1, 1, 'A'}, {{1, 0}, {5, 5}}, true},
      {"applying fails: backup kept", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "PowerSetActiveScheme", 1, {1, 1, 'A'}, {{1, 1}, {5, 5}}, true},
      {"marking the backup given back fails: kept whole", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "RegSetKeyValueW", 1, {1, 1, 'A'}, {{1, 1}, {5, 5}}, true},
      {"deleting LidAC fails: a lone LidAC is no backup", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "RegDeleteKeyValueW", 1, {1, NONE, 0}, {{1, 1}, {5, 5}}, true},
      {"deleting LidDC fails: a lone LidDC is no backup", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "RegDeleteKeyValueW", 2, {NONE, 1, 0}, {{1, 1}, {5, 5}}, true},
      {"deleting LidPlan fails: a null plan record is no backup", {1, 1, 'A'}, {{0, 0}, {5, 5}}, 'A', false, "RegDeleteKeyValueW", 3, {NONE, NONE, 'N'}, {{1, 1}, {5, 5}}, true},
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

// "LidAC" or "LidDC" absent, of another type or of the wrong size, in a
// backup that names no plan: the pair counts as missing, so a hold takes a
// fresh pair from the active plan and overrides it, and the release gives
// that pair back. In a backup that names the held plan (the value was
// damaged from outside during a session) the hold keeps the backup and the
// override, and the release gives back the value left and "sleep" for the
// damaged one.
TEST(LidOverride, DamagedValueOfABackup) {
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
    for (const Damage& d : damages) {
      const std::string name = std::string(damaged) + " = " + d.label;
      const bool ac_damaged = std::string(damaged) == "LidAC";

      fresh_machine();
      set_lid(balanced(), 2, 3);
      store_backup({9, 9, '\0'});
      winsim::reg_set(ORBEL_KEY, damaged, d.type, d.data);
      orbel::set_power_hold(true);
      EXPECT_EQ(stored("LidAC"), 2u) << name;
      EXPECT_EQ(stored("LidDC"), 3u) << name;
      EXPECT_EQ(stored_plan(), 'A') << name;
      EXPECT_EQ(lid(balanced()), (winsim::ValueIndexes{0, 0})) << name;
      orbel::set_power_hold(false);
      EXPECT_EQ(lid(balanced()), (winsim::ValueIndexes{2, 3})) << name;
      EXPECT_TRUE(winsim::reg_value_names(ORBEL_KEY).empty()) << name;

      fresh_machine();
      set_lid(balanced(), 2, 3);
      orbel::set_power_hold(true);
      winsim::reg_set(ORBEL_KEY, damaged, d.type, d.data);
      winsim::clear_trace();
      orbel::set_power_hold(true);
      EXPECT_EQ(winsim::count_calls("RegSetKeyValueW"), 0u) << name << ", LidPlan A: no fresh backup of 0/0";
      EXPECT_EQ(lid(balanced()), (winsim::ValueIndexes{0, 0})) << name << ", LidPlan A";
      orbel::set_power_hold(false);
      EXPECT_EQ(lid(balanced()), (ac_damaged ? winsim::ValueIndexes{1, 3} : winsim::ValueIndexes{2, 1}))
          << name << ", LidPlan A";
      EXPECT_TRUE(winsim::reg_value_names(ORBEL_KEY).empty()) << name << ", LidPlan A";
    }
}

// The number of the first call of `step` (run on the machine `setup`
// makes) whose trace line starts with `prefix`, counted as cuts count.
std::size_t first_call(const std::function<void()>& setup, const std::function<void()>& step,
                       const std::string& prefix) {
  setup();
  winsim::clear_trace();
  step();
  for (std::size_t i = 0; i < winsim::trace().size(); ++i)
    if (winsim::trace()[i].rfind(prefix, 0) == 0) return i + 1;
  ADD_FAILURE() << "no call " << prefix;
  return 0;
}

// Two cuts in a row: a release of plan A ends right after its first delete;
// later, with B active, a hold ends right after it stores B's LidAC. What
// is left (B's LidAC beside A's LidDC) must never be restored as a pair: B
// would get A's battery value.
TEST(LidOverride, StaleHalfOfAnotherPlanIsNeverRestored) {
  fresh_machine();
  const GUID a = plan('A');
  const GUID b = plan('B');
  auto held_on_a = [a, b] {
    fresh_machine();
    set_lid(a, 1, 2);
    set_lid(b, 3, 1);
    orbel::set_power_hold(true);
  };
  auto release = [] { orbel::set_power_hold(false); };
  auto hold = [] { orbel::set_power_hold(true); };
  const std::size_t release_cut = first_call(held_on_a, release, "RegDeleteKeyValueW(");
  auto cut_release_then_switch = [&] {
    held_on_a();
    winsim::cut_after_call(release_cut);
    EXPECT_THROW(release(), winsim::ProcessCut);
    next_process();
    winsim::set_active_plan(b);
  };
  const std::size_t hold_cut =
      first_call(cut_release_then_switch, hold, "RegSetKeyValueW(Software\\Orbel, LidAC,");
  cut_release_then_switch();
  winsim::cut_after_call(hold_cut);
  EXPECT_THROW(hold(), winsim::ProcessCut);
  next_process();

  // The next start finds the session over.
  release();
  EXPECT_EQ(lid(a), (winsim::ValueIndexes{1, 2}));
  EXPECT_EQ(lid(b), (winsim::ValueIndexes{3, 1}));
  EXPECT_TRUE(winsim::reg_value_names(ORBEL_KEY).empty());
}

// The same with the half an older version's release left when it ended
// after deleting LidAC: a lone LidDC and no plan record.
TEST(LidOverride, StaleHalfWithoutAPlanRecordIsNeverRestored) {
  fresh_machine();
  const GUID b = plan('B');
  auto stale_half_then_b = [b] {
    fresh_machine();
    set_lid(plan('A'), 1, 2);
    set_lid(b, 3, 1);
    winsim::reg_set_qword(ORBEL_KEY, "LidDC", 2);
    winsim::set_active_plan(b);
  };
  auto hold = [] { orbel::set_power_hold(true); };
  const std::size_t hold_cut = first_call(stale_half_then_b, hold, "RegSetKeyValueW(Software\\Orbel, LidAC,");
  stale_half_then_b();
  winsim::cut_after_call(hold_cut);
  EXPECT_THROW(hold(), winsim::ProcessCut);
  next_process();

  orbel::set_power_hold(false);
  EXPECT_EQ(lid(b), (winsim::ValueIndexes{3, 1}));
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
                "RegSetKeyValueW(Software\\Orbel, LidPlan, 3, 16)",  // the null plan: not a backup yet
                "RegSetKeyValueW(Software\\Orbel, LidAC, 11, 8)",
                "RegSetKeyValueW(Software\\Orbel, LidDC, 11, 8)",
                "RegSetKeyValueW(Software\\Orbel, LidPlan, 3, 16)",  // Balanced: now it is one
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
                                         "RegSetKeyValueW(Software\\Orbel, LidPlan, 3, 16)",
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

// The LidDC write fails: the LidAC beside the null plan record is no
// backup, so nothing is overridden; the next hold saves a whole pair of the
// user's values before it overrides, and the release gives them back.
TEST(LidOverride, FailedBackupWriteLosesNothing) {
  fresh_machine();
  set_lid(balanced(), 2, 3);
  winsim::fail_call("RegSetKeyValueW", 3);  // LidDC
  orbel::set_power_hold(true);
  EXPECT_EQ(lid(balanced()), (winsim::ValueIndexes{2, 3}));
  orbel::set_power_hold(true);
  EXPECT_EQ(stored("LidDC"), 3u);
  EXPECT_EQ(lid(balanced()), (winsim::ValueIndexes{0, 0}));
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
