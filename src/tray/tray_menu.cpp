#include "tray/tray_menu.h"

#include "autostart/autostart.h"
#include "main/app.h"
#include "platform.h"
#include "state/clock.h"
#include "state/session_state.h"
#include "state/text.h"
#include "tray/menu_model.h"

namespace orbel {

static_assert(MENU_STRING == MF_STRING && MENU_GRAYED == MF_GRAYED && MENU_CHECKED == MF_CHECKED &&
                  MENU_SEPARATOR == MF_SEPARATOR,
              "the menu model uses AppendMenuW's flag values");

void show_tray_menu() {
  // The menu shows the state as this evaluation leaves it: a session whose
  // time is up or whose battery is low already shows as off.
  evaluate_tick();

  HMENU menu = CreatePopupMenu();
  MenuInput input{session.on, session.until, session.hours, false,
                  session.update_available.load(std::memory_order_relaxed), 0, 0};
  if (session.on && session.until != 0) {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    input.local_seconds_of_day = local.wHour * 3600u + local.wMinute * 60u + local.wSecond;
    input.now = unix_now();
  }
  input.autostart = autostart_enabled();

  for (const MenuEntry& entry : menu_entries(input)) {
    if (entry.flags & MENU_SEPARATOR) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    } else {
      const std::vector<WCHAR> label = to_wide(entry.label);
      AppendMenuW(menu, entry.flags, entry.id, label.data());
    }
  }

  POINT cursor{0, 0};
  GetCursorPos(&cursor);
  // Without the foreground the menu would not close when the user clicks
  // elsewhere.
  SetForegroundWindow(session.window);
  TrackPopupMenu(menu, TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, session.window, nullptr);
  // A message after the menu lets the next click on the icon open it again.
  PostMessageW(session.window, WM_NULL, 0, 0);
  DestroyMenu(menu);
}

}  // namespace orbel
