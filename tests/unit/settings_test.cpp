#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "state/session_state.h"
#include "state/settings.h"
#include "winsim/control.h"

namespace {

constexpr const char* KEY = "Software\\Orbel";

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { winsim::reset(); }
};

TEST_F(Settings, ReadRulesByValueType) {
  winsim::reg_set_qword(KEY, "Q", 0x1122334455667788ull);
  winsim::reg_set_dword(KEY, "D", 0xFFFFFFFFu);
  winsim::reg_set_sz(KEY, "S", "1");
  winsim::reg_set(KEY, "B", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0});
  winsim::reg_set(KEY, "Long", REG_QWORD, std::vector<std::uint8_t>(16, 1));
  winsim::reg_set(KEY, "EmptyD", REG_DWORD, {});
  winsim::reg_set(KEY, "CutD", REG_DWORD, {0xFF, 0xFF});
  winsim::reg_set(KEY, "CutQ", REG_QWORD, {0xFF, 0xFF, 0xFF, 0xFF});
  winsim::reg_set(KEY, "WideD", REG_DWORD, {1, 0, 0, 0, 1, 0, 0, 0});
  struct Case {
    const char* name;
    const char* value;
    bool ok;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"qword", "Q", true, 0x1122334455667788ull},
      {"dword widens", "D", true, 0xFFFFFFFFull},
      {"names ignore case", "q", true, 0x1122334455667788ull},
      {"string is not a number", "S", false, 0},
      {"binary is not a number", "B", false, 0},
      {"oversized qword", "Long", false, 0},
      {"empty dword", "EmptyD", false, 0},
      {"cut dword", "CutD", false, 0},
      {"cut qword", "CutQ", false, 0},
      {"dword of eight bytes", "WideD", false, 0},
      {"missing value", "Nope", false, 0},
  };
  for (const Case& c : cases) {
    const orbel::SettingRead read = orbel::settings_read_u64(KEY, c.value);
    EXPECT_EQ(read.ok, c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(read.value, c.expected) << c.name;
    }
  }
  EXPECT_FALSE(orbel::settings_read_u64("Software\\Missing", "Q").ok);
}

// Only a read the registry refused is unreadable; absence, another type and
// the wrong size all mean nothing usable is stored.
TEST_F(Settings, UnreadableOnlyWhenTheRegistryRefuses) {
  winsim::reg_set_qword(KEY, "Q", 1);
  winsim::reg_set_sz(KEY, "S", "1");
  winsim::reg_set(KEY, "CutD", REG_DWORD, {0xFF, 0xFF});
  winsim::reg_set(KEY, "Long", REG_QWORD, std::vector<std::uint8_t>(16, 1));
  for (const char* name : {"Nope", "S", "CutD", "Long"}) {
    const orbel::SettingRead read = orbel::settings_read_u64(KEY, name);
    EXPECT_FALSE(read.ok || read.unreadable) << name;
  }
  EXPECT_FALSE(orbel::settings_read_u64("Software\\Missing", "Q").unreadable);
  winsim::fail_call("RegGetValueW");  // access denied
  const orbel::SettingRead refused = orbel::settings_read_u64(KEY, "Q");
  EXPECT_FALSE(refused.ok);
  EXPECT_TRUE(refused.unreadable);
}

TEST_F(Settings, GuidIsSixteenBinaryBytesAndNothingElse) {
  const GUID plan = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
  EXPECT_TRUE(orbel::settings_write_guid("LidPlan", plan));
  const auto stored = winsim::reg_get(KEY, "LidPlan");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, REG_BINARY);
  EXPECT_EQ(stored->data, (std::vector<std::uint8_t>{4, 3, 2, 1, 6, 5, 8, 7, 9, 10, 11, 12, 13, 14, 15, 16}));
  const orbel::GuidRead read = orbel::settings_read_guid("LidPlan");
  ASSERT_TRUE(read.ok);
  EXPECT_EQ(std::memcmp(&read.value, &plan, sizeof plan), 0);

  struct Case {
    const char* name;
    DWORD type;
    std::size_t size;
  };
  const Case unusable[] = {{"cut", REG_BINARY, 15}, {"long", REG_BINARY, 17}, {"empty", REG_BINARY, 0},
                           {"qword-sized", REG_BINARY, 8}, {"string", REG_SZ, 16}, {"number", REG_QWORD, 16}};
  for (const Case& c : unusable) {
    winsim::reg_set(KEY, "LidPlan", c.type, std::vector<std::uint8_t>(c.size, 1));
    const orbel::GuidRead odd = orbel::settings_read_guid("LidPlan");
    EXPECT_FALSE(odd.ok || odd.unreadable) << c.name;
  }
  winsim::reg_delete(KEY, "LidPlan");
  EXPECT_FALSE(orbel::settings_read_guid("LidPlan").ok || orbel::settings_read_guid("LidPlan").unreadable);
}

TEST_F(Settings, WriteStoresAnEightByteQwordAndCreatesTheKey) {
  ASSERT_FALSE(winsim::reg_key_exists(KEY));
  EXPECT_TRUE(orbel::settings_write_u64("Until", 7));
  const auto stored = winsim::reg_get(KEY, "Until");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->type, REG_QWORD);
  EXPECT_EQ(stored->data, (std::vector<std::uint8_t>{7, 0, 0, 0, 0, 0, 0, 0}));
  winsim::fail_call("RegSetKeyValueW");
  EXPECT_FALSE(orbel::settings_write_u64("Until", 9));
  EXPECT_EQ(winsim::reg_get_qword(KEY, "Until"), 7u);
}

// A value that is already gone counts as deleted; only a refused delete
// reports failure.
TEST_F(Settings, DeleteOfAMissingValueCountsAsDone) {
  winsim::reg_set_qword(KEY, "LidAC", 1);
  EXPECT_TRUE(orbel::settings_delete(KEY, "LidAC"));
  EXPECT_FALSE(winsim::reg_get(KEY, "LidAC"));
  EXPECT_TRUE(orbel::settings_delete(KEY, "LidAC"));
  EXPECT_TRUE(orbel::settings_delete("Software\\Missing", "LidAC"));
  winsim::reg_set_qword(KEY, "LidAC", 1);
  winsim::fail_call("RegDeleteKeyValueW");
  EXPECT_FALSE(orbel::settings_delete(KEY, "LidAC"));
  EXPECT_TRUE(winsim::reg_get(KEY, "LidAC"));
}

struct LoadCase {
  const char* name;
  std::function<void()> store;
  bool on;
  std::uint64_t until;
  std::uint32_t hours;
};

TEST_F(Settings, LoadRules) {
  const std::uint64_t now = winsim::DEFAULT_START_UNIX;
  const LoadCase cases[] = {
      {"first start", [] {}, true, 0, 0},
      {"on 0", [] { winsim::reg_set_qword(KEY, "On", 0); }, false, 0, 0},
      {"on 5 counts as on", [] { winsim::reg_set_qword(KEY, "On", 5); }, true, 0, 0},
      {"on as a string counts as on", [] { winsim::reg_set_sz(KEY, "On", "0"); }, true, 0, 0},
      {"future end kept",
       [&] {
         winsim::reg_set_qword(KEY, "On", 1);
         winsim::reg_set_qword(KEY, "Until", now + 60);
         winsim::reg_set_qword(KEY, "Hours", 2);
       },
       true, now + 60, 2},
      {"end equal to now clears",
       [&] {
         winsim::reg_set_qword(KEY, "On", 1);
         winsim::reg_set_qword(KEY, "Until", now);
         winsim::reg_set_qword(KEY, "Hours", 2);
       },
       false, 0, 0},
      {"past end clears even when off",
       [&] {
         winsim::reg_set_qword(KEY, "On", 0);
         winsim::reg_set_qword(KEY, "Until", now - 1);
         winsim::reg_set_qword(KEY, "Hours", 8);
       },
       false, 0, 0},
      {"hours keeps the low 32 bits", [] { winsim::reg_set_qword(KEY, "Hours", (1ull << 32) + 4); }, true, 0, 4},
      // An empty or cut number is no number: each gets its default rather
      // than the zeroed buffer or the few bytes that were there.
      {"empty dword on counts as on", [] { winsim::reg_set(KEY, "On", REG_DWORD, {}); }, true, 0, 0},
      {"cut qword on counts as on", [] { winsim::reg_set(KEY, "On", REG_QWORD, {0, 0, 0, 0}); }, true, 0, 0},
      {"cut qword until is no end", [] { winsim::reg_set(KEY, "Until", REG_QWORD, {0xFF, 0xFF, 0xFF, 0xFF}); }, true, 0, 0},
      {"cut dword hours is none", [] { winsim::reg_set(KEY, "Hours", REG_DWORD, {0xFF, 0xFF}); }, true, 0, 0},
      {"dword until and hours",
       [&] {
         winsim::reg_set_dword(KEY, "Until", static_cast<std::uint32_t>(now + 5));
         winsim::reg_set_dword(KEY, "Hours", 1);
       },
       true, now + 5, 1},
  };
  for (const LoadCase& c : cases) {
    winsim::reset();
    c.store();
    orbel::session.on = !c.on;
    orbel::load_session_state();
    EXPECT_EQ(orbel::session.on, c.on) << c.name;
    EXPECT_EQ(orbel::session.until, c.until) << c.name;
    EXPECT_EQ(orbel::session.hours, c.hours) << c.name;
    EXPECT_EQ(winsim::count_calls("RegSetKeyValueW") + winsim::count_calls("RegDeleteKeyValueW"), 0u) << c.name;
  }
}

TEST_F(Settings, ClockBefore1970NeverReachesAStoredEnd) {
  winsim::reg_set_qword(KEY, "Until", 1);
  winsim::set_filetime(0);
  orbel::load_session_state();
  EXPECT_TRUE(orbel::session.on);
  EXPECT_EQ(orbel::session.until, 1u);
}

}  // namespace
