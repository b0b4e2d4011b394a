// Orbel's popup menu under Wine: opened the way the shell opens it, read
// from inside Orbel's process (menu_probe.h), driven with the keyboard, and
// judged by what Orbel then stores.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "menu_driver.h"
#include "orbel_driver.h"
#include "screen.h"

namespace orbel_tray {
namespace {

using namespace orbel_wine;

constexpr std::uint64_t HOUR = 3600;

const std::wstring HOLD = L"Hold orbel";
const std::wstring TWO_HOURS = L"2 timer";
const std::wstring START_AT_LOGON = L"Start ved p\u00e5logging";
const std::wstring QUIT = L"Avslutt Orbel";

// "HH:MM" of a Unix time on this machine's local clock.
std::string local_clock(std::uint64_t unix_seconds) {
  const std::uint64_t ticks = unix_seconds * 10000000u + 116444736000000000u;
  const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  FILETIME local{};
  SYSTEMTIME time{};
  FileTimeToLocalFileTime(&utc, &local);
  FileTimeToSystemTime(&local, &time);
  const auto two = [](unsigned value) { return std::string(1, char('0' + value / 10)) + char('0' + value % 10); };
  return two(time.wHour) + ":" + two(time.wMinute);
}

// A session end `hours` from now, put at second 30 of its minute so that
// the end time the menu shows cannot tip over into the next minute while
// the test reads it.
std::uint64_t end_in_hours(std::uint64_t hours) {
  const std::uint64_t until = unix_now() + hours * HOUR;
  return until + (90 - until % 60) % 60;
}

// Orbel's whole menu as the probe describes it ("[x] text #id" for a checked
// item, "----" for a separator), each row once. "{KEY}" stands for the check
// mark of the item that KEY names in a case's marks; the end-time row shows
// only when the marks name END, with the clock time filled in.
const char* const MENU[] = {
    "{HOLD} Hold orbel #1",
    "(grayed) Sl\xC3\xA5r seg av {END} #0",
    "----",
    "{1} 1 time #11",
    "{2} 2 timer #12",
    "{4} 4 timer #14",
    "{8} 8 timer #18",
    "----",
    "{LOGON} Start ved p\xC3\xA5logging #30",
    "----",
    "[ ] Laget av Dremmholt #40",
    "[ ] Avslutt Orbel #99",
};

// The menu for `marks`, the space-separated keys of MENU that are checked
// (or, for END, shown), e.g. "HOLD END 2".
std::vector<std::string> expected_menu(const std::string& marks, const std::string& end_clock = "") {
  std::set<std::string> keys;
  std::istringstream words(marks);
  for (std::string word; words >> word;) keys.insert(word);
  std::set<std::string> used;
  std::vector<std::string> rows;
  for (std::string row : MENU) {
    const std::size_t open = row.find('{');
    if (open != std::string::npos) {
      const std::size_t close = row.find('}', open);
      const std::string key = row.substr(open + 1, close - open - 1);
      const bool marked = keys.count(key) != 0;
      if (marked) used.insert(key);
      if (key == "END") {
        if (!marked) continue;
        row.replace(open, close - open + 1, end_clock);
      } else {
        row.replace(open, close - open + 1, marked ? "[x]" : "[ ]");
      }
    }
    rows.push_back(row);
  }
  EXPECT_EQ(used, keys) << "marks \"" << marks << "\" name a key the menu does not have";
  return rows;
}

class OrbelMenu : public FreshMachineTest {
 protected:
  // Opens the menu with a right click on the icon and reads it.
  static std::vector<std::string> open_and_read(MenuDriver& menu, OpenMenu* read = nullptr) {
    std::string error;
    OpenMenu items;
    EXPECT_TRUE(menu.open(WM_RBUTTONUP, &error)) << error;
    EXPECT_TRUE(menu.read(&items, &error)) << error;
    if (read != nullptr) *read = items;
    return describe(items);
  }
};

// What the menu shows for a state left by an earlier run (or none), opened
// by either click.
struct MenuCase {
  const char* name;
  UINT mouse;
  bool stored;
  Session session;  // `until` in hours from now
  bool start_at_logon;
  const char* marks;  // for expected_menu
};

std::ostream& operator<<(std::ostream& out, const MenuCase& c) { return out << c.name; }

class OrbelMenuState : public OrbelMenu, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(OrbelMenuState, ShowsTheStateItOpensIn) {
  const MenuCase& c = GetParam();
  std::uint64_t until = 0;
  if (c.stored) {
    until = c.session.until == 0 ? 0 : end_in_hours(c.session.until);
    store_session({c.session.on, until, c.session.hours});
  }
  if (c.start_at_logon) {
    const std::wstring data = L"\"" + orbel_exe() + L"\"";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, REG_SZ, data.c_str(),
                              static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  MenuDriver menu(orbel);

  std::string error;
  ASSERT_TRUE(menu.open(c.mouse, &error)) << error;
  OpenMenu items;
  ASSERT_TRUE(menu.read(&items, &error)) << error;
  EXPECT_EQ(describe(items), expected_menu(c.marks, local_clock(until)));
  EXPECT_TRUE(menu.close(&error)) << error;
}

std::string menu_case_name(const ::testing::TestParamInfo<MenuCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Cases, OrbelMenuState,
    ::testing::Values(MenuCase{"FirstStartRightClick", WM_RBUTTONUP, false, {}, false, "HOLD"},
                      MenuCase{"FirstStartLeftClick", WM_LBUTTONUP, false, {}, false, "HOLD"},
                      MenuCase{"SwitchedOff", WM_RBUTTONUP, true, {0, 0, 0}, false, ""},
                      MenuCase{"TwoHours", WM_LBUTTONUP, true, {1, 2, 2}, false, "HOLD END 2"},
                      MenuCase{"EightHoursAndStartAtLogon", WM_RBUTTONUP, true, {1, 8, 8}, true,
                               "HOLD END 8 LOGON"}),
    menu_case_name);

TEST_F(OrbelMenu, TwoHoursFromTheMenuStartsATimedSession) {
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  MenuDriver menu(orbel);
  std::string error;
  ASSERT_TRUE(menu.open(WM_RBUTTONUP, &error)) << error;

  const std::uint64_t before = unix_now();
  ASSERT_TRUE(menu.choose(TWO_HOURS, &error)) << error;
  ASSERT_TRUE(poll_until(EXIT_TIMEOUT_MS, [] { return stored_number(L"Hours") == 2; })) << stored(L"Hours");
  const std::uint64_t after = unix_now();

  EXPECT_EQ(stored(L"On"), qword(1));
  const std::uint64_t until = stored_number(L"Until");
  EXPECT_GE(until, before + 2 * HOUR) << stored(L"Until");
  EXPECT_LE(until, after + 2 * HOUR) << stored(L"Until");

  EXPECT_EQ(open_and_read(menu), expected_menu("HOLD END 2", local_clock(until)));
}

TEST_F(OrbelMenu, HoldOrbelFromTheMenuSwitchesATimedSessionOff) {
  store_session({1, end_in_hours(2), 2});
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  MenuDriver menu(orbel);
  std::string error;
  ASSERT_TRUE(menu.open(WM_LBUTTONUP, &error)) << error;

  ASSERT_TRUE(menu.choose(HOLD, &error)) << error;
  ASSERT_TRUE(poll_until(EXIT_TIMEOUT_MS, [] { return stored_number(L"On") == 0; })) << stored(L"On");
  expect_session({0, 0, 0});
}

TEST_F(OrbelMenu, StartAtLogonFromTheMenuWritesAndRemovesTheRunValue) {
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  MenuDriver menu(orbel);
  std::string error;
  OpenMenu read;
  open_and_read(menu, &read);
  // The path Orbel's own process reports, read there by the probe.
  const std::string quoted_path = "\"" + utf8(read.module) + "\"";
  ASSERT_NE(read.module, L"");

  ASSERT_TRUE(menu.choose(START_AT_LOGON, &error)) << error;
  EXPECT_TRUE(poll_until(EXIT_TIMEOUT_MS, [] { return stored_run_value().rfind("REG_SZ", 0) == 0; }));
  EXPECT_EQ(stored_run_value(), "REG_SZ " + quoted_path);
  EXPECT_EQ(open_and_read(menu), expected_menu("HOLD LOGON"));

  ASSERT_TRUE(menu.choose(START_AT_LOGON, &error)) << error;
  EXPECT_TRUE(poll_until(EXIT_TIMEOUT_MS, [] { return stored_run_value() == "status 2"; })) << stored_run_value();
  EXPECT_EQ(open_and_read(menu), expected_menu("HOLD"));
  EXPECT_TRUE(menu.close(&error)) << error;
}

TEST_F(OrbelMenu, QuitFromTheMenuExitsWithZeroAndKeepsTheSession) {
  const Session session{1, end_in_hours(2), 2};
  store_session(session);
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  MenuDriver menu(orbel);
  std::string error;
  ASSERT_TRUE(menu.open(WM_RBUTTONUP, &error)) << error;

  ASSERT_TRUE(menu.choose(QUIT, &error)) << error;
  DWORD code = 0xdeadbeef;
  ASSERT_TRUE(orbel.wait_for_exit(EXIT_TIMEOUT_MS, &code)) << "Orbel is still running";
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(orbel_windows().empty());
  expect_session(session);
}

// The open menu as it appears on screen, kept as menu-timed.png. The theme
// is set light so that the eye shows on Wine's white taskbar, and the
// pointer rests just above the icon, where a click on it would leave it.
TEST_F(OrbelMenu, OpenMenuIsDrawnNextToTheIcon) {
  set_light_theme(true);
  store_session({1, end_in_hours(2), 2});
  ASSERT_TRUE(SetCursorPos(ICON_CELL_X + ICON_CELL_SIZE / 2, TASKBAR_TOP - 4));
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  MenuDriver menu(orbel);
  std::string error;
  ASSERT_TRUE(menu.open(WM_RBUTTONUP, &error)) << error;
  OpenMenu read;
  ASSERT_TRUE(menu.read(&read, &error)) << error;

  const std::string icon = await_icon("menu-timed", true, true);
  EXPECT_TRUE(icon.empty()) << icon;

  Screenshot shot;
  ASSERT_TRUE(take_screenshot("menu-timed", &shot, &error)) << error;
  RECT frame{};
  ASSERT_TRUE(GetWindowRect(menu.menu_window(), &frame));
  EXPECT_GE(frame.left, 0);
  EXPECT_LE(frame.right, DESKTOP_RIGHT);
  EXPECT_LE(frame.bottom, TASKBAR_TOP) << "the menu covers the taskbar";
  // The menu's face is the system menu colour, with dark text on it.
  const COLORREF face = GetSysColor(COLOR_MENU);
  const Rgb menu_face{GetRValue(face), GetGValue(face), GetBValue(face)};
  int face_pixels = 0;
  int text_pixels = 0;
  for (int y = frame.top; y < frame.bottom; ++y) {
    for (int x = frame.left; x < frame.right; ++x) {
      const Rgb seen = shot.at(x, y);
      if (seen == menu_face) ++face_pixels;
      if (seen.r < 64 && seen.g < 64 && seen.b < 64) ++text_pixels;
    }
  }
  const int area = (frame.right - frame.left) * (frame.bottom - frame.top);
  EXPECT_GT(face_pixels, area / 2) << "menu face " << describe(menu_face);
  EXPECT_GT(text_pixels, 200);
  EXPECT_TRUE(keep_screenshot(&shot, &error)) << error;
  EXPECT_TRUE(menu.close(&error)) << error;
}

}  // namespace
}  // namespace orbel_tray
