// The popup menu opened by a click on the notification-area icon.
#pragma once

namespace orbel {

// Evaluates the state, then builds, tracks and destroys the menu; the chosen
// item arrives afterwards as a posted WM_COMMAND.
void show_tray_menu();

}  // namespace orbel
