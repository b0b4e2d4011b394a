#include "main/app.h"
#include "state/session_state.h"
#include "tray/tray_icon.h"
#include "tray/tray_menu.h"

namespace orbel {

// Every event reaches the program here. The rows are tested in this order
// and the first match decides.
LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      release_and_remove();
      PostQuitMessage(0);
      return 0;
    case WM_ENDSESSION:
      // Logoff or shutdown goes ahead: give everything back but keep the
      // stored session, so the next logon resumes it. wParam 0 = cancelled.
      if (wparam != 0) release_and_remove();
      return 0;
    case WM_SETTINGCHANGE:
      refresh_tray_icon(NIM_MODIFY);
      return 0;
    case WM_COMMAND:
      handle_command(LOWORD(wparam));
      return 0;
    case WM_TIMER:
      evaluate_tick();
      return 0;
    case WM_POWERBROADCAST:
      evaluate_tick();
      return TRUE;
    case WM_TRAY_CALLBACK: {
      const UINT mouse = LOWORD(lparam);
      if (mouse == WM_LBUTTONUP || mouse == WM_RBUTTONUP) show_tray_menu();
      return 0;
    }
    default:
      break;
  }
  // The registered message is never 0, so WM_NULL cannot be taken for it.
  if (session.taskbar_created_message != 0 && message == session.taskbar_created_message) {
    refresh_tray_icon(NIM_ADD);
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace orbel
