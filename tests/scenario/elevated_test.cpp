// Orbel run elevated ("Run as administrator") while Explorer and an
// installer run at the user's medium integrity level: its window must still
// take what they send it, and nothing more.
#include <gtest/gtest.h>

#include "harness.h"
#include "tray/tray_icon.h"

namespace {

using namespace scenario;

constexpr UINT ID_QUIT_COMMAND = 99;

TEST_F(Program, ElevatedOrbelStillHearsExplorerAndTheInstaller) {
  winsim::set_elevated(true);
  winsim::after_s(1, [] {
    // Explorer restarts: the icon comes back.
    winsim::restart_shell();
  });
  winsim::after_s(2, [] {
    EXPECT_EQ(winsim::tray_icons().size(), 1u) << "TaskbarCreated did not reach the elevated window";
    // A click on the icon opens the menu.
    EXPECT_TRUE(winsim::post_from_unelevated(orbel_window(), orbel::WM_TRAY_CALLBACK, 1, WM_LBUTTONUP));
  });
  winsim::after_s(3, [] {
    EXPECT_EQ(winsim::tracked_menus().size(), 1u) << "the icon's click did not reach the elevated window";
    // Nothing else gets through: a command is not among what they send.
    EXPECT_FALSE(winsim::post_from_unelevated(orbel_window(), WM_COMMAND, ID_QUIT_COMMAND, 0));
    // The installer's quit: the menu's cancel, then the close.
    EXPECT_TRUE(winsim::post_from_unelevated(orbel_window(), WM_CANCELMODE, 0, 0));
    EXPECT_TRUE(winsim::post_from_unelevated(orbel_window(), WM_CLOSE, 0, 0));
  });
  winsim::after_s(60, [] {
    ADD_FAILURE() << "the installer's WM_CLOSE did not reach the elevated window";
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
  EXPECT_EQ(winsim::uptime_ms() / 1000, 3u) << "Orbel did not quit when the installer asked";
}

// What winsim's ChangeWindowMessageFilterEx does, as documented: the status
// it reports, the checks of its arguments, the reset, and that only the
// window's own process may change the filter.
TEST_F(Program, MessageFilterChangesAsDocumented) {
  winsim::set_elevated(true);
  winsim::after_s(1, [] {
    const HWND window = orbel_window();
    CHANGEFILTERSTRUCT change{sizeof change, 0xdeadbeef};
    EXPECT_TRUE(ChangeWindowMessageFilterEx(window, WM_CLOSE, MSGFLT_ALLOW, &change));
    EXPECT_EQ(change.ExtStatus, MSGFLTINFO_ALREADYALLOWED_FORWND);  // Orbel's start-up allowed it
    EXPECT_TRUE(ChangeWindowMessageFilterEx(window, WM_CLOSE, MSGFLT_DISALLOW, &change));
    EXPECT_EQ(change.ExtStatus, MSGFLTINFO_NONE);
    EXPECT_FALSE(winsim::post_from_unelevated(window, WM_CLOSE, 0, 0));
    EXPECT_TRUE(ChangeWindowMessageFilterEx(window, WM_CLOSE, MSGFLT_DISALLOW, &change));
    EXPECT_EQ(change.ExtStatus, MSGFLTINFO_ALREADYDISALLOWED_FORWND);

    CHANGEFILTERSTRUCT wrong_size{sizeof wrong_size + 1, 0};
    EXPECT_FALSE(ChangeWindowMessageFilterEx(window, WM_CLOSE, MSGFLT_ALLOW, &wrong_size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(ChangeWindowMessageFilterEx(window, WM_CLOSE, 3, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(winsim::run_as_other_process([window] {
                return ChangeWindowMessageFilterEx(window, WM_CLOSE, MSGFLT_ALLOW, nullptr) ? 0 : 1;
              }),
              1);
    EXPECT_FALSE(winsim::post_from_unelevated(window, WM_CLOSE, 0, 0));

    EXPECT_TRUE(ChangeWindowMessageFilterEx(window, 0, MSGFLT_RESET, nullptr));
    EXPECT_FALSE(winsim::post_from_unelevated(window, orbel::WM_TRAY_CALLBACK, 1, WM_LBUTTONUP));
    // Not elevated, the window takes everything, whatever its filter.
    winsim::set_elevated(false);
    EXPECT_TRUE(winsim::post_from_unelevated(window, WM_CLOSE, 0, 0));
  });
  EXPECT_EQ(run_orbel(), 0);
}

}  // namespace
