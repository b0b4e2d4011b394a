// Sessions over virtual time: the commands that start and end them, the
// periodic evaluation that ends them, and the daily update schedule.
#include <gtest/gtest.h>

#include "harness.h"
#include "tray/menu_model.h"

namespace {

using namespace scenario;

std::vector<std::u16string> labels(const winsim::TrackedMenu& menu) {
  std::vector<std::u16string> out;
  for (const auto& e : menu.entries) out.push_back(e.text);
  return out;
}

const winsim::MenuEntry* entry(const winsim::TrackedMenu& menu, const std::u16string& text) {
  for (const auto& e : menu.entries)
    if (e.text == text) return &e;
  return nullptr;
}

TEST_F(Program, TwoHourSessionChosenAt1310EndsAtItsTime) {
  // 13:10:00 local at +1 h from UTC.
  const std::uint64_t start = 1796127000;  // 12:10:00 UTC
  winsim::set_time_unix(start - 5);
  winsim::set_local_offset_s(3600);
  store_session(0, 0, 0);
  winsim::after_s(5, [] {
    winsim::script_menu(orbel::ID_DURATION_BASE + 2);
    click_icon();
  });
  winsim::after_s(10, [] { click_icon(WM_RBUTTONUP); });
  winsim::after_s(10 + 2 * HOUR + 60, close_orbel);
  EXPECT_EQ(run_orbel(), 0);

  const auto menus = winsim::tracked_menus();
  ASSERT_EQ(menus.size(), 2u);
  EXPECT_EQ(menus[1].entries.size(), 12u);
  const auto* end_label = entry(menus[1], u"Sl\u00E5r seg av 15:10");
  ASSERT_NE(end_label, nullptr) << "labels: " << labels(menus[1]).size();
  EXPECT_EQ(end_label->flags, MF_STRING | MF_GRAYED);
  EXPECT_EQ(end_label->id, 0u);
  EXPECT_EQ(entry(menus[1], u"2 timer")->flags, MF_STRING | MF_CHECKED);
  EXPECT_EQ(entry(menus[1], u"1 time")->flags, MF_STRING);
  EXPECT_EQ(entry(menus[1], u"Hold orbel")->flags, MF_STRING | MF_CHECKED);

  EXPECT_EQ(stored("On"), 0u);
  EXPECT_EQ(stored("Until"), 0u);
  EXPECT_EQ(stored("Hours"), 0u);
  EXPECT_EQ(winsim::main_thread_execution_state(), 0x80000000u);
}

TEST_F(Program, SessionEndsAtTheFirstTickAtOrAfterItsEnd) {
  const std::uint64_t start = winsim::DEFAULT_START_UNIX;
  store_session(1, start + 100, 1);
  std::uint64_t switched_off_at = 0;
  // Watch the commit that ends the session.
  winsim::after_s(1, [&] {
    for (int i = 0; i < 20; ++i)
      winsim::after_s(static_cast<std::uint64_t>(i) * 10, [&] {
        if (switched_off_at == 0 && !orbel::session.on) switched_off_at = winsim::time_unix();
      });
  });
  EXPECT_EQ(run_for(400), 0);
  // Ticks come at +20, +40, ..., +100: the one at +100 ends it (>=).
  EXPECT_GE(switched_off_at, start + 100);
  EXPECT_LT(switched_off_at, start + 120);
  EXPECT_EQ(stored("On"), 0u);
}

struct BatteryCase {
  const char* name;
  BYTE ac_line;
  BYTE percent;
  bool stays_on;
};

TEST_F(Program, BatteryRules) {
  const BatteryCase cases[] = {
      {"battery 11 %", 0, 11, true},       {"battery 10 %", 0, 10, false},
      {"battery, charge unknown", 0, 255, true}, {"mains status unknown, 3 %", 255, 3, true},
      {"mains, 2 %", 1, 2, true},
  };
  for (const BatteryCase& c : cases) {
    fresh_machine();
    winsim::set_power_status(c.ac_line, c.percent);
    EXPECT_EQ(run_for(30), 0) << c.name;  // one tick at +20 s
    EXPECT_EQ(stored("On"), c.stays_on ? 1u : 0u) << c.name;
  }
}

TEST_F(Program, UnpluggingAtLowChargeEndsAtOnce) {
  winsim::set_power_status(1, 10);
  bool on_after_unplug = true;
  winsim::after_s(25, [&] {
    winsim::set_power_status(0, 10);  // broadcasts WM_POWERBROADCAST
    on_after_unplug = orbel::session.on;
  });
  EXPECT_EQ(run_for(30), 0);
  EXPECT_FALSE(on_after_unplug);
  EXPECT_EQ(stored("On"), 0u);
}

TEST_F(Program, PowerStatusFailureKeepsTheSessionAndTimedEndDoesNotAskForIt) {
  winsim::fail_call("GetSystemPowerStatus", 1, true);
  winsim::set_power_status(0, 1);
  EXPECT_EQ(run_for(60), 0);
  EXPECT_EQ(stored("On"), 1u);

  fresh_machine();
  store_session(1, winsim::DEFAULT_START_UNIX + 10, 1);
  EXPECT_EQ(run_for(30), 0);
  EXPECT_EQ(stored("On"), 0u);
  EXPECT_EQ(winsim::count_calls("GetSystemPowerStatus"), 0u);
}

TEST_F(Program, OffSessionOnlyRunsTheUpdateSchedule) {
  store_session(0, 0, 0);
  winsim::after_s(1, winsim::clear_trace);
  EXPECT_EQ(run_for(90), 0);
  EXPECT_EQ(winsim::count_calls("GetSystemPowerStatus"), 0u);
  EXPECT_EQ(winsim::count_calls("SetThreadExecutionState"), 1u);  // the release on quit
}

struct CommandCase {
  const char* name;
  bool on;
  std::uint64_t until_offset;  // 0: no end time
  std::uint32_t hours;
  std::uint16_t id;
  bool on_after;
  std::uint64_t until_offset_after;
  std::uint32_t hours_after;
  bool commits;
};

TEST_F(Program, CommandsAndIdentifierRanges) {
  const std::uint64_t now = winsim::DEFAULT_START_UNIX + 1;
  std::vector<CommandCase> cases = {
      {"toggle on gives an open-ended session", false, 0, 0, 1, true, 0, 0, true},
      {"toggle off ends a timed session", true, 3600, 1, 1, false, 0, 0, true},
      {"toggle off ends an open session", true, 0, 0, 1, false, 0, 0, true},
      {"duration replaces the session, from now", true, 600, 2, 14, true, 4 * HOUR, 4, true},
      {"same duration again moves the end", true, 60, 2, 12, true, 2 * HOUR, 2, true},
      {"id 10 turns on with no end, even when on", true, 0, 0, 10, true, 0, 0, true},
      {"id 13 gives three hours", false, 0, 0, 13, true, 3 * HOUR, 3, true},
      {"id 18 gives eight hours", false, 0, 0, 18, true, 8 * HOUR, 8, true},
      {"autostart changes no session", true, 0, 0, 30, true, 0, 0, false},
      {"about changes no session", false, 0, 0, 40, false, 0, 0, false},
      {"new version changes no session", false, 0, 0, 41, false, 0, 0, false},
  };
  for (int id : {0, 2, 9, 19, 29, 31, 39, 42, 98, 100, 1000, 65535})
    cases.push_back({"unknown id does nothing", true, 0, 0, static_cast<std::uint16_t>(id), true, 0, 0, false});
  for (const CommandCase& c : cases) {
    fresh_machine();
    store_session(c.on, c.until_offset ? now + c.until_offset : 0, c.hours);
    winsim::after_s(1, [&] {
      winsim::clear_trace();
      SendMessageW(orbel_window(), WM_COMMAND, MAKEWPARAM(c.id, 0), 0);
      EXPECT_EQ(orbel::session.on, c.on_after) << c.name << " " << c.id;
      EXPECT_EQ(orbel::session.until, c.until_offset_after ? now + c.until_offset_after : 0) << c.name << " " << c.id;
      EXPECT_EQ(orbel::session.hours, c.hours_after) << c.name << " " << c.id;
      const std::size_t session_writes = count_lines("RegSetKeyValueW(Software\\Orbel, On,") +
                                         count_lines("RegSetKeyValueW(Software\\Orbel, Until,") +
                                         count_lines("RegSetKeyValueW(Software\\Orbel, Hours,");
      // Switching on or changing a session stores the end first in its
      // pending form: one write more.
      EXPECT_EQ(session_writes, c.commits ? (c.on_after ? 4u : 3u) : 0u) << c.name << " " << c.id;
      close_orbel();
    });
    EXPECT_EQ(run_orbel(), 0);
  }
}

TEST_F(Program, PageCommandsOpenTheMakersPages) {
  winsim::after_s(1, [] {
    SendMessageW(orbel_window(), WM_COMMAND, orbel::ID_ABOUT, 0);
    SendMessageW(orbel_window(), WM_COMMAND, orbel::ID_NEW_VERSION, 0);
    winsim::fail_call("ShellExecuteW");
    SendMessageW(orbel_window(), WM_COMMAND, orbel::ID_ABOUT, 0);
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
  const auto opened = winsim::shell_executions();
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0].file, u"https://dremmholt.no");
  EXPECT_EQ(opened[1].file, u"https://www.dremmholt.no/verktoy");
  for (const auto& o : opened) {
    EXPECT_EQ(o.operation, u"open");
    EXPECT_EQ(o.show, SW_SHOWNORMAL);
    EXPECT_FALSE(o.has_owner || o.has_parameters || o.has_directory);
  }
}

TEST_F(Program, SessionEndingDuringMenuTracking) {
  store_session(1, winsim::DEFAULT_START_UNIX + 30, 1);
  // The menu opens at +5 and stays open for a minute; the tick at +40 ends
  // the session meanwhile; the toggle chosen from the stale menu then acts on
  // the new state and turns keep-awake on.
  winsim::after_s(5, [] {
    winsim::script_menu(orbel::ID_TOGGLE, 60000);
    click_icon();
  });
  bool on_when_menu_closed = true;
  winsim::after_s(64, [&] { on_when_menu_closed = orbel::session.on; });
  EXPECT_EQ(run_for(120), 0);
  const auto menus = winsim::tracked_menus();
  ASSERT_EQ(menus.size(), 1u);
  EXPECT_EQ(menus[0].entries[0].flags, MF_STRING | MF_CHECKED) << "the open menu shows the old state";
  EXPECT_FALSE(on_when_menu_closed);
  EXPECT_EQ(stored("On"), 1u);
  EXPECT_EQ(stored("Until"), 0u);
  EXPECT_EQ(winsim::live_menus(), 0u);
}

TEST_F(Program, MenuCallsAndOtherMouseMessages) {
  winsim::set_cursor_pos(700, 590);
  winsim::after_s(5, [] {
    winsim::clear_trace();
    for (UINT mouse : {WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_RBUTTONDOWN, WM_LBUTTONDBLCLK}) click_icon(mouse);
  });
  winsim::after_s(6, [] {
    EXPECT_EQ(winsim::count_calls("CreatePopupMenu"), 0u);
    EXPECT_EQ(winsim::count_calls("GetSystemPowerStatus"), 0u);
    click_icon(WM_RBUTTONUP);
  });
  EXPECT_EQ(run_for(10), 0);
  EXPECT_TRUE(in_order(winsim::trace(), {"GetSystemPowerStatus", "CreatePopupMenu", "AppendMenuW(0x8, 1, Hold orbel)",
                                         "AppendMenuW(0x800, 0, NULL)", "GetCursorPos", "SetForegroundWindow(window)",
                                         "TrackPopupMenu(0x22, 700, 590, 0, NULL)", "PostMessageW(0x0, 0x0, 0x0)",
                                         "DestroyMenu"}));
  const auto menus = winsim::tracked_menus();
  ASSERT_EQ(menus.size(), 1u);
  EXPECT_EQ(menus[0].entries.size(), 11u);
  EXPECT_EQ(winsim::live_menus(), 0u);
}

TEST_F(Program, CursorFailureOpensTheMenuAtTheOrigin) {
  winsim::set_cursor_pos(700, 590);
  winsim::fail_call("GetCursorPos");
  winsim::after_s(5, [] { click_icon(); });
  EXPECT_EQ(run_for(10), 0);
  ASSERT_EQ(winsim::tracked_menus().size(), 1u);
  EXPECT_EQ(winsim::tracked_menus()[0].x, 0);
  EXPECT_EQ(winsim::tracked_menus()[0].y, 0);
}

}  // namespace
