// The real Orbel.exe, driven from outside as another process of the same
// session: it is started with CreateProcessW, found by its window class,
// observed through the values it stores under HKCU\Software\Orbel and ended
// with WM_CLOSE. Runs under Wine in the run's prefix (see run-setup.sh).
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "orbel_driver.h"

namespace {

using namespace orbel_wine;

class OrbelE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    expect_clean_desktop();
    if (HasFatalFailure()) return;
    forget_session();
  }
};

TEST_F(OrbelE2E, FirstStartStoresAnActiveSessionWithoutEndTime) {
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());

  expect_session({1, 0, 0});
}

TEST_F(OrbelE2E, SecondCopyExitsAtOnceAndLeavesTheFirstRunning) {
  OrbelProcess first;
  ASSERT_TRUE(first.start());

  OrbelProcess second;
  ASSERT_TRUE(second.create_process());
  DWORD code = 0xdeadbeef;
  ASSERT_TRUE(second.wait_for_exit(EXIT_TIMEOUT_MS, &code)) << "the second copy is still running";
  EXPECT_EQ(code, 0u);

  EXPECT_TRUE(first.running());
  EXPECT_EQ(orbel_windows(), std::vector<HWND>{first.window()});
}

TEST_F(OrbelE2E, CloseExitsWithZeroAndKeepsTheStoredSession) {
  const Session session{1, unix_now() + 2 * 3600, 2};
  store_session(session);
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());

  ASSERT_TRUE(orbel.post_close());
  DWORD code = 0xdeadbeef;
  ASSERT_TRUE(orbel.wait_for_exit(EXIT_TIMEOUT_MS, &code)) << "Orbel did not exit after WM_CLOSE";
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(orbel_windows().empty());
  expect_session(session);
}

// A session stored by an earlier run, with its end time relative to now.
struct StoredSessionCase {
  const char* name;
  std::int64_t until_from_now_s;
  bool expect_cleared;
};

std::ostream& operator<<(std::ostream& out, const StoredSessionCase& c) { return out << c.name; }

class OrbelStoredSession : public OrbelE2E, public ::testing::WithParamInterface<StoredSessionCase> {};

TEST_P(OrbelStoredSession, StartClearsOnlyAnExpiredSession) {
  const StoredSessionCase& c = GetParam();
  const Session before{1, static_cast<std::uint64_t>(static_cast<std::int64_t>(unix_now()) + c.until_from_now_s), 2};
  store_session(before);

  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());

  expect_session(c.expect_cleared ? Session{0, 0, 0} : before);
}

std::string stored_session_name(const ::testing::TestParamInfo<StoredSessionCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(Cases, OrbelStoredSession,
                         ::testing::Values(StoredSessionCase{"EndedAnHourAgo", -3600, true},
                                           StoredSessionCase{"EndsInTwoHours", 2 * 3600, false}),
                         stored_session_name);

}  // namespace
