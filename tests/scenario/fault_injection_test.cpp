// What winsim's fault injection refuses. A call whose failure Windows gives
// its caller nothing to act on is never failed, so arming a fault on one
// would quietly test nothing: the run stops and says why instead.
#include <gtest/gtest.h>

#include <string>

#include "winsim/control.h"

namespace {

TEST(FaultInjectionDeathTest, ArmingACallThatCannotFailStopsTheRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char* kind;
    const char* call;
  };
  const Case cases[] = {{"a clock read", "GetSystemTimePreciseAsFileTime"},
                        {"a close", "CloseHandle"},
                        {"a dispatch", "DispatchMessageW"}};
  for (const Case& c : cases) {
    EXPECT_FALSE(winsim::can_fail(c.call)) << c.kind;
    const std::string reason = std::string("fail_call\\(\"") + c.call + "\"\\).*no failure to act on";
    EXPECT_DEATH(
        {
          winsim::reset();
          winsim::fail_call(c.call, 1, true);
        },
        reason)
        << c.kind;
  }
}

}  // namespace
