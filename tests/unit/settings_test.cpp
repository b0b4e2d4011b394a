#include <gtest/gtest.h>

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
  // Only absence counts as missing; a value that is there but unreadable
  // does not.
  EXPECT_TRUE(orbel::settings_read_u64("Software\\Missing", "Q").missing);
  EXPECT_TRUE(orbel::settings_read_u64(KEY, "Nope").missing);
  EXPECT_FALSE(orbel::settings_read_u64(KEY, "S").missing);
  EXPECT_FALSE(orbel::settings_read_u64(KEY, "CutD").missing);
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

TEST_F(Settings, DeleteOfAMissingValueIsSilent) {
  winsim::reg_set_qword(KEY, "LidAC", 1);
  orbel::settings_delete(KEY, "LidAC");
  orbel::settings_delete(KEY, "LidAC");
  EXPECT_FALSE(winsim::reg_get(KEY, "LidAC"));
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
