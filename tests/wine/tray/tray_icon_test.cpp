// The eye as it really shows in the notification area, read back from
// screenshots of the run's X display and compared with the raster Orbel
// draws. These run on a desktop whose taskbar is dark (tray-run-setup.sh),
// the taskbar Orbel's white ink is for: on Wine's own white taskbar the
// white eye would be there and invisible, and a missing icon would pass.
#include <gtest/gtest.h>

#include "orbel_driver.h"
#include "screen.h"

namespace orbel_tray {
namespace {

using namespace orbel_wine;

class TrayIconOnDarkTaskbar : public FreshMachineTest {};

TEST_F(TrayIconOnDarkTaskbar, ShowsTheOpenEyeWhileASessionIsActive) {
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  expect_session({1, 0, 0});

  const std::string problem = await_icon("dark-taskbar-open", true, false);
  EXPECT_TRUE(problem.empty()) << problem;
}

TEST_F(TrayIconOnDarkTaskbar, ShowsTheStruckEyeOnceTheSessionIsSwitchedOff) {
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  const std::string before = await_icon("dark-taskbar-before-toggle", true, false);
  ASSERT_TRUE(before.empty()) << before;

  ASSERT_TRUE(orbel.post(WM_COMMAND, COMMAND_TOGGLE, 0));
  EXPECT_TRUE(poll_until(EXIT_TIMEOUT_MS, [] { return stored(L"On") == qword(0); })) << stored(L"On");

  const std::string problem = await_icon("dark-taskbar-struck", false, false);
  EXPECT_TRUE(problem.empty()) << problem;
}

// Explorer sends "TaskbarCreated" when it starts again and every icon is
// gone; Orbel adds its icon anew. Wine's taskbar cannot be restarted under a
// running test, so here the message comes while the icon is still there:
// the add must not leave a second eye next to the first (Wine's shell turns
// down an add for an icon it already has).
TEST_F(TrayIconOnDarkTaskbar, TaskbarCreatedLeavesExactlyOneIcon) {
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  const std::string before = await_icon("dark-taskbar-before-taskbar-created", true, false);
  ASSERT_TRUE(before.empty()) << before;

  const UINT taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
  ASSERT_NE(taskbar_created, 0u);
  ASSERT_TRUE(orbel.post(taskbar_created, 0, 0));
  // Posted messages are handled in order, so once the menu asked for next
  // is open, Orbel has handled TaskbarCreated. It also shows that the icon's
  // callback still reaches Orbel.
  ASSERT_TRUE(orbel.post_click(WM_RBUTTONUP));
  ASSERT_TRUE(poll_until(EXIT_TIMEOUT_MS, [&] { return orbel.open_menu() != nullptr; }))
      << "no menu after TaskbarCreated";
  PostMessageW(orbel.open_menu(), WM_KEYDOWN, VK_ESCAPE, 0);
  ASSERT_TRUE(poll_until(EXIT_TIMEOUT_MS, [&] { return orbel.open_menu() == nullptr; }));

  const std::string problem = await_icon("dark-taskbar-after-taskbar-created", true, false);
  EXPECT_TRUE(problem.empty()) << problem;
}

}  // namespace
}  // namespace orbel_tray
