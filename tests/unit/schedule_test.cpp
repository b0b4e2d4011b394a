#include <gtest/gtest.h>

#include "main/schedule.h"

namespace {

using namespace orbel;

TEST(UpdateCheckDue, OnceADayAndNotWhenTheClockWentBack) {
  struct Case {
    const char* name;
    std::uint64_t now, last;
    bool due;
  };
  const Case cases[] = {
      {"first evaluation of a run", 1796126400, 0, true},
      {"one second short of a day", 86399 + 1000, 1000, false},
      {"exactly a day", 86400 + 1000, 1000, true},
      {"clock set back", 1000, 5000, false},
      {"clock before 1970", 0, 0, false},
  };
  for (const Case& c : cases) EXPECT_EQ(update_check_due(c.now, c.last), c.due) << c.name;
}

TEST(BatteryTooLow, OnlyAKnownLowChargeOnBattery) {
  struct Case {
    const char* name;
    std::uint8_t ac, percent;
    bool low;
  };
  const Case cases[] = {
      {"battery 11 %", 0, 11, false}, {"battery 10 %", 0, 10, true},       {"battery 0 %", 0, 0, true},
      {"mains 5 %", 1, 5, false},     {"unknown mains 5 %", 255, 5, false}, {"battery unknown charge", 0, 255, false},
  };
  for (const Case& c : cases) EXPECT_EQ(battery_too_low(c.ac, c.percent), c.low) << c.name;
}

}  // namespace
