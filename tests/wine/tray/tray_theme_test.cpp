// The eye's ink follows the taskbar theme. This runs on Wine's own taskbar,
// which is white: the light taskbar the near-black ink is for.
#include <gtest/gtest.h>

#include "orbel_driver.h"
#include "screen.h"

namespace orbel_tray {
namespace {

using namespace orbel_wine;

class TrayIconOnLightTaskbar : public FreshMachineTest {};

TEST_F(TrayIconOnLightTaskbar, LightThemeSettingTurnsTheInkNearBlack) {
  // Started with no theme value: Orbel draws the white eye for a dark
  // taskbar, which vanishes into this white one.
  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());

  set_light_theme(true);
  // What Windows sends to every top-level window when the theme changes.
  DWORD_PTR result = 0;
  ASSERT_TRUE(SendMessageTimeoutW(orbel.window(), WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"ImmersiveColorSet"),
                                  SMTO_ABORTIFHUNG, EXIT_TIMEOUT_MS, &result));
  const std::string open = await_icon("light-taskbar-open", true, true);
  EXPECT_TRUE(open.empty()) << open;

  // The switched-off eye keeps the ink.
  ASSERT_TRUE(orbel.post(WM_COMMAND, COMMAND_TOGGLE, 0));
  const std::string struck = await_icon("light-taskbar-struck", false, true);
  EXPECT_TRUE(struck.empty()) << struck;
}

}  // namespace
}  // namespace orbel_tray
