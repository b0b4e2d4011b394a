#include "main/app.h"

#include "state/session_state.h"
#include "state/text.h"
#include "tray/tray_icon.h"

namespace orbel {

int main() {
  {
    const std::vector<WCHAR> mutex_name = to_wide(SINGLE_INSTANCE_MUTEX);
    // The handle is never closed: the mutex marks this session's copy for as
    // long as the process lives.
    CreateMutexW(nullptr, FALSE, mutex_name.data());
    if (GetLastError() == ERROR_ALREADY_EXISTS) return 0;
  }

  load_session_state();

  const std::vector<WCHAR> class_name = to_wide(WINDOW_CLASS_NAME);
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = window_proc;
  window_class.hInstance = instance;
  window_class.lpszClassName = class_name.data();
  RegisterClassW(&window_class);

  {
    const std::vector<WCHAR> title = to_wide(WINDOW_TITLE);
    // A hidden top-level window, not a message-only one: broadcasts such as
    // WM_SETTINGCHANGE, WM_POWERBROADCAST and "TaskbarCreated" reach only
    // top-level windows.
    session.window = CreateWindowExW(0, class_name.data(), title.data(), 0, 0, 0, 0, 0, nullptr, nullptr, instance,
                                     nullptr);
  }
  if (session.window == nullptr) return 0;

  {
    const std::vector<WCHAR> taskbar_created = to_wide(TASKBAR_CREATED_MESSAGE);
    session.taskbar_created_message = RegisterWindowMessageW(taskbar_created.data());
  }
  // Run elevated ("Run as administrator"), Orbel would hear nothing from
  // Explorer or an unelevated installer: Windows drops their messages to a
  // more privileged window unless it lets each one through. These four are
  // what they send: the new taskbar, the icon's clicks, the quit and the
  // closing of an open menu before it.
  for (const UINT message : {session.taskbar_created_message, WM_TRAY_CALLBACK, static_cast<UINT>(WM_CLOSE),
                             static_cast<UINT>(WM_CANCELMODE)}) {
    if (message != 0) ChangeWindowMessageFilterEx(session.window, message, MSGFLT_ALLOW, nullptr);
  }
  refresh_tray_icon(NIM_ADD);
  apply_state();
  SetTimer(session.window, TICK_TIMER_ID, TICK_INTERVAL_MS, nullptr);

  MSG msg{};
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

}  // namespace orbel
