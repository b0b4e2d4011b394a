#include <gtest/gtest.h>

#include "state/clock.h"
#include "winsim/control.h"

namespace {

using orbel::FILETIME_UNIX_EPOCH;
using orbel::unix_seconds_from_filetime;

TEST(UnixSeconds, BoundariesAroundTheEpochAndTheFirstSecond) {
  struct Case {
    const char* name;
    std::int64_t filetime;
    std::uint64_t seconds;
  };
  const Case cases[] = {
      {"year 1601", 0, 0},
      {"one unit before 1970", FILETIME_UNIX_EPOCH - 1, 0},
      {"exactly 1970", FILETIME_UNIX_EPOCH, 0},
      {"last unit before 00:00:01", FILETIME_UNIX_EPOCH + 9999999, 0},
      {"00:00:01", FILETIME_UNIX_EPOCH + 10000000, 1},
      {"negative count", -5, 0},
      {"largest count", INT64_MAX, static_cast<std::uint64_t>((INT64_MAX - FILETIME_UNIX_EPOCH) / 10000000)},
  };
  for (const Case& c : cases) EXPECT_EQ(unix_seconds_from_filetime(c.filetime), c.seconds) << c.name;
}

TEST(UnixNow, ReadsThePreciseSystemTime) {
  winsim::reset();
  winsim::set_filetime(FILETIME_UNIX_EPOCH + 1796126400LL * 10000000 + 9999999);
  EXPECT_EQ(orbel::unix_now(), 1796126400u);
  winsim::set_filetime(FILETIME_UNIX_EPOCH - 10000000);
  EXPECT_EQ(orbel::unix_now(), 0u);
}

}  // namespace
