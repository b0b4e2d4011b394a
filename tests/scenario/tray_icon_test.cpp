// The notification-area icon: what the shell is given and what stays alive.
#include <gtest/gtest.h>

#include <functional>

#include "harness.h"
#include "tray/eye_icon.h"
#include "tray/tray_icon.h"

namespace {

using namespace scenario;

constexpr const char* THEME_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";

// The icon the shell shows, compared with the raster it should hold.
void expect_shown(bool on, bool light, const char* where) {
  const auto icons = winsim::tray_icons();
  ASSERT_EQ(icons.size(), 1u) << where;
  EXPECT_EQ(icons[0].width, 32) << where;
  EXPECT_EQ(icons[0].height, 32) << where;
  EXPECT_TRUE(icons[0].pixels == orbel::render_eye_icon(on, light)) << where << ": on " << on << ", light " << light;
  EXPECT_EQ(icons[0].tip, u"Orbel") << where;
  EXPECT_EQ(icons[0].id, 1u) << where;
}

// After any number of refreshes exactly one icon made by the program is
// alive, and no bitmap.
void expect_no_leak(const char* where) {
  EXPECT_EQ(winsim::live_icons(), 1u) << where;
  EXPECT_EQ(winsim::live_bitmaps(), 0u) << where;
}

TEST_F(Program, AddedThenModifiedAtStartUpAndFollowsTheSession) {
  winsim::after_s(1, [] {
    EXPECT_EQ(count_lines("CreateIconIndirect"), 2u) << "drawn for the add and for the first commit";
    // The first add finds no earlier handle; the commit's modify replaces it.
    EXPECT_EQ(winsim::trace_of({"Shell_NotifyIconW", "DestroyIcon"}),
              (std::vector<std::string>{"Shell_NotifyIconW(0, cbSize 976, uID 1, uFlags 0x7)",
                                        "Shell_NotifyIconW(1, cbSize 976, uID 1, uFlags 0x7)", "DestroyIcon()"}));
    expect_shown(true, false, "open eye at start");
    expect_no_leak("start");
    SendMessageW(orbel_window(), WM_COMMAND, 1, 0);
    expect_shown(false, false, "struck through after the toggle");
    expect_no_leak("toggle");
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
  EXPECT_TRUE(winsim::tray_icons().empty());
}

TEST_F(Program, IconCallOrder) {
  winsim::after_s(1, [] {
    winsim::clear_trace();
    SendMessageW(orbel_window(), WM_SETTINGCHANGE, 0, 0);
    EXPECT_EQ(winsim::trace_of({"RegGetValueW", "CreateBitmap", "CreateIconIndirect", "DeleteObject",
                                "Shell_NotifyIconW", "DestroyIcon"}),
              (std::vector<std::string>{"RegGetValueW(" + std::string(THEME_KEY) + ", SystemUsesLightTheme, 0x50)",
                                        "CreateBitmap(32, 32, 1, 32)", "CreateBitmap(32, 32, 1, 1)",
                                        "CreateIconIndirect()", "DeleteObject()", "DeleteObject()",
                                        "Shell_NotifyIconW(1, cbSize 976, uID 1, uFlags 0x7)", "DestroyIcon()"}));
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
}

TEST_F(Program, ThemeValuesAndTheirInk) {
  struct Case {
    const char* name;
    std::function<void()> store;
    bool light;
  };
  const Case cases[] = {
      {"missing", [] {}, false},
      {"0", [] { winsim::reg_set_dword(THEME_KEY, "SystemUsesLightTheme", 0); }, false},
      {"2", [] { winsim::reg_set_dword(THEME_KEY, "SystemUsesLightTheme", 2); }, false},
      {"string 1", [] { winsim::reg_set_sz(THEME_KEY, "SystemUsesLightTheme", "1"); }, false},
      {"dword 1", [] { winsim::reg_set_dword(THEME_KEY, "SystemUsesLightTheme", 1); }, true},
      {"qword 1", [] { winsim::reg_set_qword(THEME_KEY, "SystemUsesLightTheme", 1); }, true},
  };
  winsim::after_s(1, [&] {
    for (const Case& c : cases) {
      winsim::reg_delete(THEME_KEY, "SystemUsesLightTheme");
      c.store();
      // The shell broadcasts the change; the icon is redrawn whatever it says.
      SendMessageW(orbel_window(), WM_SETTINGCHANGE, 0, 0);
      expect_shown(true, c.light, c.name);
    }
    expect_no_leak("after all theme changes");
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
}

TEST_F(Program, ExplorerRestartBringsTheIconBackOnce) {
  winsim::after_s(1, [] {
    winsim::clear_trace();
    winsim::restart_shell();
  });
  winsim::after_s(2, [] {
    expect_shown(true, false, "after TaskbarCreated");
    expect_no_leak("after TaskbarCreated");
    EXPECT_EQ(winsim::count_calls("SetThreadExecutionState") + count_lines("RegSetKeyValueW"), 0u);
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
}

// A failed icon call leaks nothing, and the next refresh shows the right
// icon again: a settings change repairs a failed draw or modify; an add the
// shell refused needs the shell's own restart (TaskbarCreated), since a
// modify cannot create an icon.
TEST_F(Program, FailingIconCallsNeitherLeakNorCrash) {
  struct Case {
    const char* call;
    unsigned nth;
    bool add_refused;
  };
  const Case cases[] = {{"Shell_NotifyIconW", 1, true}, {"Shell_NotifyIconW", 2, false},
                        {"CreateIconIndirect", 1, false}, {"CreateIconIndirect", 2, false},
                        {"CreateBitmap", 1, false},       {"CreateBitmap", 2, false}};
  for (const Case& c : cases) {
    fresh_machine();
    winsim::fail_call(c.call, c.nth);
    const std::string name = std::string(c.call) + " #" + std::to_string(c.nth);
    winsim::after_s(1, [&] {
      EXPECT_LE(winsim::live_icons(), 1u) << name;
      EXPECT_EQ(winsim::live_bitmaps(), 0u) << name;
      if (c.add_refused)
        winsim::restart_shell();
      else
        SendMessageW(orbel_window(), WM_SETTINGCHANGE, 0, 0);
    });
    winsim::after_s(2, [&] {
      expect_shown(true, false, name.c_str());
      expect_no_leak(name.c_str());
      close_orbel();
    });
    EXPECT_EQ(run_orbel(), 0);
    EXPECT_LE(winsim::live_icons(), 1u) << name;
    EXPECT_EQ(winsim::live_bitmaps(), 0u) << name;
  }
}

TEST_F(Program, ModifyThatFailedIsMadeGoodByTheNextRefresh) {
  winsim::after_s(1, [] {
    winsim::fail_call("Shell_NotifyIconW");
    SendMessageW(orbel_window(), WM_COMMAND, 1, 0);  // off, but the shell missed it
    expect_shown(true, false, "stale after the failed modify");
    SendMessageW(orbel_window(), WM_SETTINGCHANGE, 0, 0);
    expect_shown(false, false, "repaired by the next refresh");
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
}

TEST(TrayIcon, DeleteWithoutAnAddOnlyCallsTheShell) {
  fresh_machine();
  orbel::refresh_tray_icon(NIM_DELETE);
  EXPECT_EQ(winsim::trace(), std::vector<std::string>{"Shell_NotifyIconW(2, cbSize 976, uID 1, uFlags 0x0)"});
  EXPECT_EQ(orbel::session.tray_icon, nullptr);
}

}  // namespace
