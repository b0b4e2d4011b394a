// Faults that once could cost the user data, each shown small: the lid-close
// values saved by a hold and the numbers read back from the registry.
#include <gtest/gtest.h>

#include <functional>

#include "harness.h"
#include "state/settings.h"

namespace {

using namespace scenario;

// Only a missing "LidAC" means there is no backup yet. One that merely could
// not be read during a hold must not be replaced by the overridden 0/0.
TEST(DataSafety, UnreadableBackupDuringAHoldIsNotOverwritten) {
  fresh_machine();
  set_lid(balanced(), 2, 3);
  orbel::set_power_hold(true);        // backup 2/3, plan 0/0
  winsim::fail_call("RegGetValueW");  // the steady tick's read of LidAC is refused once
  orbel::set_power_hold(true);
  EXPECT_EQ(stored("LidAC"), 2u);
  EXPECT_EQ(stored("LidDC"), 3u);
  orbel::set_power_hold(false);
  EXPECT_EQ(lid(balanced()).ac, 2u);
  EXPECT_EQ(lid(balanced()).dc, 3u);
}

// An empty or cut REG_DWORD / REG_QWORD is no number: each value gets its
// default instead of the zeroed buffer or the few bytes that were there.
TEST(DataSafety, EmptyOrCutNumbersReadAsMissing) {
  struct Case {
    const char* name;
    DWORD type;
    std::vector<std::uint8_t> data;
    std::function<bool()> holds;  // the default the value should load as
  };
  const Case cases[] = {
      {"On", REG_DWORD, {}, [] { return orbel::session.on; }},
      {"On", REG_QWORD, {0, 0, 0, 0}, [] { return orbel::session.on; }},
      {"Until", REG_QWORD, {0xFF, 0xFF, 0xFF, 0xFF}, [] { return orbel::session.until == 0; }},
      {"Hours", REG_DWORD, {0xFF, 0xFF}, [] { return orbel::session.hours == 0; }},
  };
  for (const Case& c : cases) {
    fresh_machine();
    winsim::reg_set(ORBEL_KEY, c.name, c.type, c.data);
    orbel::load_session_state();
    EXPECT_TRUE(c.holds()) << c.name << ", " << c.data.size() << " bytes of type " << c.type;
  }
  // A cut LidAC is no backup to restore from, so the plan is not overridden.
  fresh_machine();
  set_lid(balanced(), 2, 3);
  winsim::reg_set(ORBEL_KEY, "LidAC", REG_DWORD, {});
  orbel::set_power_hold(true);
  orbel::set_power_hold(false);
  EXPECT_EQ(lid(balanced()).ac, 2u);
  EXPECT_EQ(lid(balanced()).dc, 3u);
}

// A failed LidDC write whose rollback also fails leaves "LidAC" alone; the
// plan must then keep the user's values rather than be overridden for good.
TEST(DataSafety, HalfABackupLeftByTwoFailuresNeverOverrides) {
  fresh_machine();
  set_lid(balanced(), 2, 3);
  winsim::fail_call("RegSetKeyValueW", 2);   // LidDC
  winsim::fail_call("RegDeleteKeyValueW");  // the rollback of LidAC
  orbel::set_power_hold(true);
  orbel::set_power_hold(true);
  orbel::set_power_hold(false);
  EXPECT_EQ(lid(balanced()).ac, 2u);
  EXPECT_EQ(lid(balanced()).dc, 3u);
}

}  // namespace
