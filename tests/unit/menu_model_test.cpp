#include <gtest/gtest.h>

#include "tray/menu_model.h"

namespace {

using namespace orbel;

TEST(EndTimeLabel, LocalClockPlusTimeLeftWrappedAndTruncated) {
  struct Case {
    const char* name;
    std::uint64_t remaining;
    std::uint32_t h, m, s;
    const char* label;
  };
  const Case cases[] = {
      {"two hours from 13:10", 7200, 13, 10, 0, "Sl\xC3\xA5r seg av 15:10"},
      {"past midnight by seconds", 45, 23, 59, 30, "Sl\xC3\xA5r seg av 00:00"},
      {"eight hours from 20:00", 8 * 3600, 20, 0, 0, "Sl\xC3\xA5r seg av 04:00"},
      {"seconds are dropped, not rounded", 40, 9, 5, 10, "Sl\xC3\xA5r seg av 09:05"},
      {"zero padded", 7 * 3600 + 5 * 60, 0, 0, 0, "Sl\xC3\xA5r seg av 07:05"},
  };
  const std::uint64_t now = 1796126400;
  for (const Case& c : cases)
    EXPECT_EQ(end_time_label(now + c.remaining, now, c.h * 3600 + c.m * 60 + c.s), c.label) << c.name;
  // An end already passed shows the local time, never a negative remainder.
  EXPECT_EQ(end_time_label(now - 500, now, 10 * 3600 + 30 * 60), "Sl\xC3\xA5r seg av 10:30");
}

TEST(DurationLabel, SingularOnlyForOneHour) {
  EXPECT_EQ(duration_label(1), "1 time");
  EXPECT_EQ(duration_label(2), "2 timer");
  EXPECT_EQ(duration_label(8), "8 timer");
}

std::string describe(const std::vector<MenuEntry>& entries) {
  std::string out;
  for (const MenuEntry& e : entries) {
    if (e.flags & MENU_SEPARATOR) {
      out += "---|";
      continue;
    }
    out += std::to_string(e.id) + (e.flags & MENU_CHECKED ? "*" : "") + (e.flags & MENU_GRAYED ? "~" : "") + " " +
           e.label + "|";
  }
  return out;
}

TEST(MenuEntries, WhatEachStateShows) {
  const std::uint64_t now = 1796126400;
  struct Case {
    const char* name;
    MenuInput input;
    const char* expected;
  };
  const Case cases[] = {
      {"off", {false, 0, 0, false, false, 0, 0},
       "1 Hold orbel|---|11 1 time|12 2 timer|14 4 timer|18 8 timer|---|30 Start ved p\xC3\xA5logging|---|"
       "40 Laget av Dremmholt|99 Avslutt Orbel|"},
      {"open-ended with autostart", {true, 0, 0, true, false, 0, 0},
       "1* Hold orbel|---|11 1 time|12 2 timer|14 4 timer|18 8 timer|---|30* Start ved p\xC3\xA5logging|---|"
       "40 Laget av Dremmholt|99 Avslutt Orbel|"},
      {"two hours with an update", {true, now + 7200, 2, false, true, now, 13 * 3600 + 10 * 60},
       "1* Hold orbel|0~ Sl\xC3\xA5r seg av 15:10|---|11 1 time|12* 2 timer|14 4 timer|18 8 timer|---|"
       "30 Start ved p\xC3\xA5logging|---|41 Ny versjon tilgjengelig|40 Laget av Dremmholt|99 Avslutt Orbel|"},
      {"three hours checks no duration", {true, now + 3 * 3600, 3, false, false, now, 0},
       "1* Hold orbel|0~ Sl\xC3\xA5r seg av 03:00|---|11 1 time|12 2 timer|14 4 timer|18 8 timer|---|"
       "30 Start ved p\xC3\xA5logging|---|40 Laget av Dremmholt|99 Avslutt Orbel|"},
      {"hours without an end time checks nothing", {true, 0, 2, false, false, 0, 0},
       "1* Hold orbel|---|11 1 time|12 2 timer|14 4 timer|18 8 timer|---|30 Start ved p\xC3\xA5logging|---|"
       "40 Laget av Dremmholt|99 Avslutt Orbel|"},
  };
  for (const Case& c : cases) EXPECT_EQ(describe(menu_entries(c.input)), c.expected) << c.name;
}

}  // namespace
