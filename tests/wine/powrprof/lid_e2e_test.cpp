// The lid-close override of the real Orbel.exe end to end. Wine's own
// power-plan calls are stubs, so these tests start a copy of Orbel.exe with
// the stand-in powrprof.dll beside it (powrprof_standin.cpp) and watch the
// plans in the stand-in's registry key: their values, which plans
// PowerSetActiveScheme was called for, whether every write took effect, and
// that each active-plan GUID Orbel was handed went to LocalFree exactly once.
// That is what winsim cannot show: the real binary's GUIDs, argument passing
// and heap handling. Orbel's own backup is read under HKCU\Software\Orbel.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "orbel_driver.h"
#include "plan_list_check.h"
#include "plan_store.h"

namespace {

using namespace orbel_wine;

// GUID_SYSTEM_BUTTON_SUBGROUP and GUID_LIDCLOSE_ACTION.
constexpr GUID BUTTON_SUBGROUP = {0x4f971e89, 0xeebd, 0x4455, {0xa8, 0xde, 0x9e, 0x59, 0x04, 0x0e, 0x73, 0x47}};
constexpr GUID LID_CLOSE_ACTION = {0x5ca83367, 0x6e45, 0x459f, {0xa2, 0x7b, 0x47, 0x6b, 0x1d, 0x01, 0xc9, 0x36}};

// Windows' own Balanced, High performance and Power saver plans.
constexpr GUID PLAN_A = {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
constexpr GUID PLAN_B = {0x8c5e7fda, 0xe8bf, 0x4a96, {0x9a, 0x85, 0xa6, 0xe2, 0x3a, 0x8c, 0x63, 0x5c}};
constexpr GUID PLAN_DELETED = {0xa1841308, 0x3541, 0x4fab, {0xbc, 0x81, 0xf7, 0x15, 0x56, 0xf2, 0x0b, 0x4a}};

// Lid-close actions as Windows numbers them.
constexpr DWORD LID_DO_NOTHING = 0;
constexpr DWORD LID_SLEEP = 1;
constexpr DWORD LID_HIBERNATE = 2;
constexpr DWORD LID_SHUT_DOWN = 3;

// Orbel's backup of the plan's values, and the plan they came from.
constexpr const wchar_t* LID_AC = L"LidAC";
constexpr const wchar_t* LID_DC = L"LidDC";
constexpr const wchar_t* LID_PLAN = L"LidPlan";

constexpr DWORD EVALUATION_TIMEOUT_MS = 15000;

struct Lid {
  DWORD ac;
  DWORD dc;
};
constexpr Lid HELD = {LID_DO_NOTHING, LID_DO_NOTHING};

// The copy of Orbel.exe with the stand-in beside it, which no other test
// starts. The tests run with WINEDLLOVERRIDES=powrprof=n (CMakeLists.txt).
std::wstring orbel_with_standin() { return windows_path(ORBEL_WITH_STANDIN_EXE); }

std::string text(const Lid& lid) { return "AC " + std::to_string(lid.ac) + ", DC " + std::to_string(lid.dc); }

std::string plan_name(const GUID& plan) { return utf8(plan_store::guid_text(plan)); }

void add_plan(const GUID& plan, const Lid& lid) {
  const std::wstring key = plan_store::setting_key(plan, BUTTON_SUBGROUP, LID_CLOSE_ACTION);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), plan_store::AC_INDEX, REG_DWORD, &lid.ac, sizeof lid.ac),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), plan_store::DC_INDEX, REG_DWORD, &lid.dc, sizeof lid.dc),
            ERROR_SUCCESS);
}

// As the user switching plans in the control panel: Orbel is not told, and
// the stand-in counts no PowerSetActiveScheme call for it.
void make_active(const GUID& plan) {
  const std::wstring name = plan_store::guid_text(plan);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, plan_store::ROOT_KEY, plan_store::ACTIVE, REG_SZ, name.c_str(),
                            static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

void forget_plans() {
  const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, plan_store::ROOT_KEY);
  ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
}

std::string lid_of(const GUID& plan) {
  const std::wstring key = plan_store::setting_key(plan, BUTTON_SUBGROUP, LID_CLOSE_ACTION);
  const StoredValue ac = read_value(key.c_str(), plan_store::AC_INDEX);
  const StoredValue dc = read_value(key.c_str(), plan_store::DC_INDEX);
  if (ac.status != ERROR_SUCCESS || dc.status != ERROR_SUCCESS) return "AC " + describe(ac) + ", DC " + describe(dc);
  return text({static_cast<DWORD>(ac.value), static_cast<DWORD>(dc.value)});
}

DWORD counter(const std::wstring& key, const wchar_t* name) {
  const StoredValue v = read_value(key.c_str(), name);
  return v.status == ERROR_SUCCESS ? static_cast<DWORD>(v.value) : 0;
}
DWORD write_calls() { return counter(plan_store::ROOT_KEY, plan_store::WRITE_CALLS); }
DWORD set_active_calls(const GUID& plan) { return counter(plan_store::plan_key(plan), plan_store::SET_ACTIVE_CALLS); }
DWORD pending_writes(const GUID& plan) { return counter(plan_store::plan_key(plan), plan_store::PENDING_WRITES); }
DWORD guids_handed_out() { return counter(plan_store::ROOT_KEY, plan_store::GUIDS_HANDED_OUT); }

// "LidPlan" as stored: the plan it names when it is a 16-byte REG_BINARY.
std::string stored_plan() {
  BYTE data[32] = {};
  DWORD type = 0xdeadbeef;
  DWORD size = sizeof data;
  const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, ORBEL_KEY, LID_PLAN, RRF_RT_ANY, &type, data, &size);
  if (status != ERROR_SUCCESS) return "status " + std::to_string(status);
  if (type != REG_BINARY || size != sizeof(GUID))
    return "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes";
  GUID plan{};
  std::memcpy(&plan, data, sizeof plan);
  return "REG_BINARY " + plan_name(plan);
}
// "LidPlan" as stored when it names `plan`.
std::string lid_plan(const GUID& plan) { return "REG_BINARY " + plan_name(plan); }

void store_lid_plan(const GUID& plan) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, LID_PLAN, REG_BINARY, &plan, sizeof plan), ERROR_SUCCESS);
}

void store_lid_value(const wchar_t* name, DWORD type, const void* data, DWORD size) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, name, type, data, size), ERROR_SUCCESS);
}

void expect_backup(const Lid& lid) {
  EXPECT_EQ(stored(LID_AC), qword(lid.ac));
  EXPECT_EQ(stored(LID_DC), qword(lid.dc));
}

// A backup without "LidPlan" belongs to the active plan, so while `plan` is
// active either form is right.
void expect_backup_of_active(const GUID& plan, const Lid& lid) {
  expect_backup(lid);
  const std::string stored = stored_plan();
  EXPECT_TRUE(stored == "status 2" || stored == lid_plan(plan)) << "LidPlan: " << stored;
}

void expect_no_backup() {
  EXPECT_EQ(stored(LID_AC), "status 2");
  EXPECT_EQ(stored(LID_DC), "status 2");
  EXPECT_EQ(stored_plan(), "status 2");
}

// Every active-plan GUID Orbel was handed went to LocalFree, once.
void expect_plan_guids_freed_once() {
  EXPECT_EQ(counter(plan_store::ROOT_KEY, plan_store::GUIDS_NOT_FREED), 0u) << "active-plan GUIDs never freed";
  EXPECT_EQ(counter(plan_store::ROOT_KEY, plan_store::GUIDS_FREED_TWICE), 0u) << "LocalFree of a GUID already freed";
}

// Every value of HKCU\Software\Orbel. Wine's registry drops a write of the
// data a value already holds without a trace (not even a new last-write time
// of the key), so only a write that changes something shows here; the host
// tier's steady-tick test counts every call.
std::string orbel_key_snapshot() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, ORBEL_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) return "no key";
  std::string snapshot;
  for (DWORD index = 0;; ++index) {
    wchar_t name[64] = {};
    DWORD name_chars = 64;
    BYTE data[64] = {};
    DWORD size = sizeof data;
    DWORD type = 0;
    if (RegEnumValueW(key, index, name, &name_chars, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
    snapshot += utf8(name) + " type " + std::to_string(type) + ":";
    for (DWORD i = 0; i < size; ++i) snapshot += " " + std::to_string(data[i]);
    snapshot += "; ";
  }
  RegCloseKey(key);
  return snapshot;
}

// Starts Orbel, waits until its start-up is over and checks that it reached
// the stand-in rather than Wine's builtin powrprof.
bool start_with_standin(OrbelProcess& orbel) {
  if (!orbel.start()) return false;
  if (guids_handed_out() == 0) {
    ADD_FAILURE() << "Orbel never called the stand-in's PowerGetActiveScheme: it did not load the powrprof.dll "
                     "beside it";
    return false;
  }
  return true;
}

// One periodic evaluation, as a power broadcast runs it.
bool evaluate(const OrbelProcess& orbel) {
  return orbel.send(WM_POWERBROADCAST, PBT_APMPOWERSTATUSCHANGE, 0, EVALUATION_TIMEOUT_MS);
}

bool close_and_wait(const OrbelProcess& orbel) {
  DWORD code = 0xdeadbeef;
  return orbel.post_close() && orbel.wait_for_exit(EXIT_TIMEOUT_MS, &code) && code == 0;
}

// Plan A, its lid closing to sleep on mains and to hibernation on battery, is
// the active plan; Orbel has never run. Plan B, for the tests that add it,
// shuts down on mains and sleeps on battery.
class LidE2E : public ::testing::Test {
 protected:
  static constexpr Lid A_LID = {LID_SLEEP, LID_HIBERNATE};
  static constexpr Lid B_LID = {LID_SHUT_DOWN, LID_SLEEP};

  void SetUp() override {
    expect_clean_desktop();
    if (HasFatalFailure()) return;
    ASSERT_NO_FATAL_FAILURE(forget_session());
    ASSERT_NO_FATAL_FAILURE(forget_plans());
    ASSERT_NO_FATAL_FAILURE(add_plan(PLAN_A, A_LID));
    ASSERT_NO_FATAL_FAILURE(make_active(PLAN_A));
  }
  void TearDown() override {
    forget_session();
    forget_plans();
  }
};

TEST_F(LidE2E, SessionHoldsTheActivePlanAndCloseGivesItsValuesBack) {
  OrbelProcess orbel(orbel_with_standin());
  ASSERT_TRUE(start_with_standin(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(HELD));
  EXPECT_EQ(pending_writes(PLAN_A), 0u) << "written but never made active, so not in effect";
  expect_backup_of_active(PLAN_A, A_LID);

  ASSERT_TRUE(close_and_wait(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(A_LID));
  EXPECT_EQ(pending_writes(PLAN_A), 0u);
  expect_no_backup();
  expect_plan_guids_freed_once();
}

TEST_F(LidE2E, CrashKeepsOverrideAndBackupUntilAStartAfterTheSessionEnded) {
  {
    OrbelProcess orbel(orbel_with_standin());
    ASSERT_TRUE(start_with_standin(orbel));
    ASSERT_TRUE(orbel.kill());
  }
  EXPECT_EQ(lid_of(PLAN_A), text(HELD));
  expect_backup_of_active(PLAN_A, A_LID);

  ASSERT_NO_FATAL_FAILURE(store_session({1, unix_now() - 3600, 2}));
  OrbelProcess again(orbel_with_standin());
  ASSERT_TRUE(start_with_standin(again));
  EXPECT_EQ(lid_of(PLAN_A), text(A_LID));
  EXPECT_EQ(pending_writes(PLAN_A), 0u);
  expect_no_backup();
  expect_session({0, 0, 0});
  expect_plan_guids_freed_once();
}

// The user switches from plan A to plan B during a session. The backup must
// follow: A's values go back into A without making A active again, and B is
// saved and held instead.
TEST_F(LidE2E, PlanSwitchMidSessionGivesTheOldPlanItsValuesAndHoldsTheNewOne) {
  ASSERT_NO_FATAL_FAILURE(add_plan(PLAN_B, B_LID));
  OrbelProcess orbel(orbel_with_standin());
  ASSERT_TRUE(start_with_standin(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(HELD));
  expect_backup(A_LID);
  EXPECT_EQ(stored_plan(), lid_plan(PLAN_A));
  const DWORD a_made_active = set_active_calls(PLAN_A);

  ASSERT_NO_FATAL_FAILURE(make_active(PLAN_B));
  ASSERT_TRUE(evaluate(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(A_LID));
  EXPECT_EQ(set_active_calls(PLAN_A), a_made_active) << "PowerSetActiveScheme for A, which is not active";
  EXPECT_EQ(lid_of(PLAN_B), text(HELD));
  EXPECT_GT(set_active_calls(PLAN_B), 0u);
  EXPECT_EQ(pending_writes(PLAN_B), 0u) << "written but never made active, so not in effect";
  expect_backup(B_LID);
  EXPECT_EQ(stored_plan(), lid_plan(PLAN_B));

  ASSERT_TRUE(close_and_wait(orbel));
  EXPECT_EQ(lid_of(PLAN_B), text(B_LID));
  EXPECT_EQ(pending_writes(PLAN_B), 0u);
  EXPECT_EQ(lid_of(PLAN_A), text(A_LID));
  EXPECT_EQ(set_active_calls(PLAN_A), a_made_active) << "PowerSetActiveScheme for A, which is not active";
  expect_no_backup();
  expect_plan_guids_freed_once();
}

// The user switches from plan A to plan B and Orbel closes before an
// evaluation has seen it: A's values still go back into A, not into the
// active plan, and A is not made active for it.
TEST_F(LidE2E, CloseAfterAPlanSwitchGivesTheValuesBackToTheirOwnPlan) {
  ASSERT_NO_FATAL_FAILURE(add_plan(PLAN_B, B_LID));
  OrbelProcess orbel(orbel_with_standin());
  ASSERT_TRUE(start_with_standin(orbel));
  ASSERT_EQ(lid_of(PLAN_A), text(HELD));
  const DWORD a_made_active = set_active_calls(PLAN_A);

  ASSERT_NO_FATAL_FAILURE(make_active(PLAN_B));
  ASSERT_TRUE(close_and_wait(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(A_LID));
  EXPECT_EQ(set_active_calls(PLAN_A), a_made_active) << "PowerSetActiveScheme for A, which is not active";
  EXPECT_EQ(lid_of(PLAN_B), text(B_LID));
  expect_no_backup();
  expect_plan_guids_freed_once();
}

// A backup left by a session on a plan that has since been deleted: its
// values belong nowhere now, least of all in the active plan.
TEST_F(LidE2E, BackupOfADeletedPlanIsDroppedAndNeverWrittenIntoAnother) {
  const std::uint64_t shut_down = LID_SHUT_DOWN;
  ASSERT_NO_FATAL_FAILURE(store_lid_value(LID_AC, REG_QWORD, &shut_down, sizeof shut_down));
  ASSERT_NO_FATAL_FAILURE(store_lid_value(LID_DC, REG_QWORD, &shut_down, sizeof shut_down));
  ASSERT_NO_FATAL_FAILURE(store_lid_plan(PLAN_DELETED));
  ASSERT_NO_FATAL_FAILURE(store_session({1, 0, 0}));

  OrbelProcess orbel(orbel_with_standin());
  ASSERT_TRUE(start_with_standin(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(HELD));
  expect_backup_of_active(PLAN_A, A_LID);

  ASSERT_TRUE(close_and_wait(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(A_LID));
  EXPECT_FALSE(plan_store::plan_exists(PLAN_DELETED));
  expect_no_backup();
  expect_plan_guids_freed_once();
}

// A backup that cannot be given back as it stands, left with a session on.
// The values in it are never the plan's, so a restore of them shows.
struct DamagedBackup {
  const char* name;
  DWORD ac_type;
  const void* ac_data;
  DWORD ac_size;
  bool with_dc;
};

std::ostream& operator<<(std::ostream& out, const DamagedBackup& c) { return out << c.name; }

constexpr std::uint64_t SHUT_DOWN_QWORD = LID_SHUT_DOWN;
constexpr wchar_t SHUT_DOWN_TEXT[] = L"3";

class LidDamagedBackup : public LidE2E, public ::testing::WithParamInterface<DamagedBackup> {};

TEST_P(LidDamagedBackup, IsReplacedByAFreshBackupOfTheActivePlan) {
  const DamagedBackup& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(store_lid_value(LID_AC, c.ac_type, c.ac_data, c.ac_size));
  if (c.with_dc) {
    ASSERT_NO_FATAL_FAILURE(store_lid_value(LID_DC, REG_QWORD, &SHUT_DOWN_QWORD, sizeof SHUT_DOWN_QWORD));
  }
  ASSERT_NO_FATAL_FAILURE(store_session({1, 0, 0}));

  OrbelProcess orbel(orbel_with_standin());
  ASSERT_TRUE(start_with_standin(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(HELD));
  expect_backup_of_active(PLAN_A, A_LID);

  ASSERT_TRUE(close_and_wait(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(A_LID));
  expect_no_backup();
  expect_plan_guids_freed_once();
}

std::string damaged_backup_name(const ::testing::TestParamInfo<DamagedBackup>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Cases, LidDamagedBackup,
    ::testing::Values(DamagedBackup{"LidAcAsText", REG_SZ, SHUT_DOWN_TEXT, sizeof SHUT_DOWN_TEXT, true},
                      DamagedBackup{"LidAcAsEmptyQword", REG_QWORD, nullptr, 0, true},
                      DamagedBackup{"LidAcWithoutLidDc", REG_QWORD, &SHUT_DOWN_QWORD, sizeof SHUT_DOWN_QWORD, false}),
    damaged_backup_name);

// A saved value damaged from outside while the session holds the plan
// (deleted by hand, or overwritten with text): the evaluation holds on
// without saving the override's "do nothing" as the user's setting, and the
// quit gives back the value left and Windows' default, sleep, for the lost
// one, instead of leaving the plan at "do nothing".
struct LostValue {
  const char* name;
  bool deleted;  // else overwritten with text
};

std::ostream& operator<<(std::ostream& out, const LostValue& c) { return out << c.name; }

constexpr wchar_t HIBERNATE_TEXT[] = L"2";

class LidValueLostWhileHeld : public LidE2E, public ::testing::WithParamInterface<LostValue> {};

TEST_P(LidValueLostWhileHeld, ComesBackAsSleep) {
  OrbelProcess orbel(orbel_with_standin());
  ASSERT_TRUE(start_with_standin(orbel));
  ASSERT_EQ(lid_of(PLAN_A), text(HELD));
  if (GetParam().deleted) {
    ASSERT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, LID_DC), ERROR_SUCCESS);
  } else {
    ASSERT_NO_FATAL_FAILURE(store_lid_value(LID_DC, REG_SZ, HIBERNATE_TEXT, sizeof HIBERNATE_TEXT));
  }
  ASSERT_TRUE(evaluate(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text(HELD));
  EXPECT_EQ(stored(LID_AC), qword(A_LID.ac)) << "a fresh backup took the override for the user's setting";

  ASSERT_TRUE(close_and_wait(orbel));
  EXPECT_EQ(lid_of(PLAN_A), text({A_LID.ac, LID_SLEEP}));
  expect_no_backup();
  expect_plan_guids_freed_once();
}

std::string lost_value_name(const ::testing::TestParamInfo<LostValue>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(Cases, LidValueLostWhileHeld,
                         ::testing::Values(LostValue{"LidDcDeleted", true}, LostValue{"LidDcOverwrittenWithText", false}),
                         lost_value_name);

// The stand-in lists its plans as Windows documents PowerEnumerate, which is
// how Orbel tells a deleted plan: it is not listed.
TEST_F(LidE2E, StandinListsThePlansAsDocumented) {
  std::wstring dll = windows_path(ORBEL_WITH_STANDIN_EXE);
  dll = dll.substr(0, dll.find_last_of(L'\\') + 1) + L"powrprof.dll";
  HMODULE standin = LoadLibraryW(dll.c_str());
  ASSERT_NE(standin, nullptr) << utf8(dll) << ": " << GetLastError();
  const auto enumerate = reinterpret_cast<plan_list::Enumerate>(
      reinterpret_cast<void (*)()>(GetProcAddress(standin, "PowerEnumerate")));
  ASSERT_NE(enumerate, nullptr);
  plan_list::check(enumerate, {PLAN_A});
  ASSERT_NO_FATAL_FAILURE(add_plan(PLAN_B, B_LID));
  plan_list::check(enumerate, {PLAN_A, PLAN_B});
  FreeLibrary(standin);
}

// Once the plan is held, an evaluation finds nothing to do and must touch
// neither the plan nor Orbel's own key: it runs every tick for as long as a
// session lasts.
TEST_F(LidE2E, SteadyEvaluationWritesNothing) {
  OrbelProcess orbel(orbel_with_standin());
  ASSERT_TRUE(start_with_standin(orbel));
  ASSERT_EQ(lid_of(PLAN_A), text(HELD));
  const DWORD writes = write_calls();
  const DWORD made_active = set_active_calls(PLAN_A);
  const DWORD handed_out = guids_handed_out();
  const std::string orbel_key = orbel_key_snapshot();

  ASSERT_TRUE(evaluate(orbel));
  EXPECT_GT(guids_handed_out(), handed_out) << "the evaluation never looked at the active plan";
  EXPECT_EQ(write_calls(), writes);
  EXPECT_EQ(set_active_calls(PLAN_A), made_active);
  EXPECT_EQ(orbel_key_snapshot(), orbel_key);
  expect_plan_guids_freed_once();
}

}  // namespace
