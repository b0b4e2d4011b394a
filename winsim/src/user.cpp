// Window classes, windows, the message queue of the program's UI thread and
// its timers. GetMessageW is where virtual time passes: when nothing is
// queued it moves the monotonic clock (and the wall clock with it) to the
// next due timer or scripted event.
#include <algorithm>

#include "machine.h"

namespace winsim::detail {
namespace {

constexpr UINT FIRST_REGISTERED_MESSAGE = 0xC000;
constexpr UINT USER_TIMER_MINIMUM = 0x0000000A;

Window* live_window(HWND handle) {
  auto& windows = machine().windows;
  auto it = windows.find(reinterpret_cast<std::uintptr_t>(handle));
  return it != windows.end() && it->second.alive ? &it->second : nullptr;
}

void advance_to(Machine& m, std::uint64_t target_ms) {
  if (target_ms <= m.uptime_ms) return;
  const std::uint64_t step = target_ms - m.uptime_ms;
  m.uptime_ms = target_ms;
  m.filetime += static_cast<std::int64_t>(step) * FILETIME_TICKS_PER_MS;
}

}  // namespace

bool passes_integrity_filter(HWND window, UINT message) {
  const Window* w = live_window(window);
  if (!w) return false;
  return machine().elevated_processes.count(w->process) == 0 || w->allowed_from_lower.count(message) != 0;
}

void end_windows_of(int process) {
  Machine& m = machine();
  for (auto& entry : m.windows)
    if (entry.second.process == process) entry.second.alive = false;
  m.timers.erase(std::remove_if(m.timers.begin(), m.timers.end(),
                                [](const Timer& t) { return !live_window(t.window); }),
                 m.timers.end());
  m.tray.erase(std::remove_if(m.tray.begin(), m.tray.end(), [](const TrayIcon& t) { return !live_window(t.window); }),
               m.tray.end());
  for (auto it = m.classes.begin(); it != m.classes.end();)
    it = it->first.first == process ? m.classes.erase(it) : std::next(it);
  m.queue.clear();
}

// Puts a posted message at the end of the thread's queue.
void queue_message(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  MSG msg{};
  msg.hwnd = window;
  msg.message = message;
  msg.wParam = wparam;
  msg.lParam = lparam;
  machine().queue.push_back(msg);
}

}  // namespace winsim::detail

using namespace winsim::detail;

ATOM RegisterClassW(const WNDCLASSW* window_class) {
  if (enter("RegisterClassW", window_class ? utf8(window_class->lpszClassName) : "NULL") || !window_class ||
      !window_class->lpszClassName || !window_class->lpfnWndProc) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Machine& m = machine();
  auto key = std::make_pair(m.process, fold(wide(window_class->lpszClassName)));
  if (m.classes.count(key)) {
    set_last_error(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  m.classes[key] = window_class->lpfnWndProc;
  return static_cast<ATOM>(0xC000 + m.classes.size());
}

HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
  if (enter("CreateWindowExW", hex(ex_style) + ", " + utf8(class_name) + ", " + utf8(window_name) + ", " + hex(style) +
                                   ", " + std::to_string(x) + ", " + std::to_string(y) + ", " + std::to_string(width) +
                                   ", " + std::to_string(height) + ", " + (parent ? "parent" : "NULL") + ", " +
                                   (menu ? "menu" : "NULL") + ", " + (instance ? "instance" : "NULL") + ", " +
                                   (param ? "param" : "NULL"))) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Machine& m = machine();
  auto cls = m.classes.find(std::make_pair(m.process, fold(wide(class_name))));
  if (cls == m.classes.end()) {
    set_last_error(ERROR_CANNOT_FIND_WND_CLASS);
    return nullptr;
  }
  const std::uintptr_t handle = new_handle();
  m.windows[handle] = Window{fold(wide(class_name)), cls->second, m.process, true};
  const auto hwnd = reinterpret_cast<HWND>(handle);
  // Creation messages, as Windows sends them: a FALSE from WM_NCCREATE or -1
  // from WM_CREATE makes the creation fail.
  if (!cls->second(hwnd, WM_NCCREATE, 0, 0) || cls->second(hwnd, WM_CREATE, 0, 0) == -1) {
    m.windows[handle].alive = false;
    return nullptr;
  }
  return hwnd;
}

BOOL DestroyWindow(HWND window) {
  if (enter("DestroyWindow")) return FALSE;
  Window* w = live_window(window);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  const WNDPROC proc = w->proc;
  proc(window, WM_DESTROY, 0, 0);
  proc(window, WM_NCDESTROY, 0, 0);
  Machine& m = machine();
  m.windows[reinterpret_cast<std::uintptr_t>(window)].alive = false;
  m.timers.erase(std::remove_if(m.timers.begin(), m.timers.end(), [&](const Timer& t) { return t.window == window; }),
                 m.timers.end());
  return TRUE;
}

LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  enter_cannot_fail("DefWindowProcW",
                    hex(message) + ", " + hex(wparam) + ", " + hex(static_cast<std::uint64_t>(lparam)));
  switch (message) {
    case WM_NCCREATE: return TRUE;
    case WM_CLOSE: DestroyWindow(window); return 0;
    case WM_QUERYENDSESSION: return TRUE;
    default: return 0;
  }
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (enter("PostMessageW", hex(message) + ", " + hex(wparam) + ", " + hex(static_cast<std::uint64_t>(lparam)))) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (window && !live_window(window)) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  queue_message(window, message, wparam, lparam);
  return TRUE;
}

LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  enter_cannot_fail("SendMessageW", hex(message) + ", " + hex(wparam) + ", " + hex(static_cast<std::uint64_t>(lparam)));
  Window* w = live_window(window);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return w->proc(window, message, wparam, lparam);
}

void PostQuitMessage(int exit_code) {
  enter_cannot_fail("PostQuitMessage", std::to_string(exit_code));
  machine().quit_pending = true;
  machine().quit_code = exit_code;
}

BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max) {
  if (enter("GetMessageW", std::string(window ? "window" : "NULL") + ", " + std::to_string(filter_min) + ", " +
                               std::to_string(filter_max))) {
    // GetMessageW's documented error return (an invalid handle or pointer).
    set_last_error(ERROR_INVALID_PARAMETER);
    return -1;
  }
  Machine& m = machine();
  for (;;) {
    if (m.fail_loop) {
      m.fail_loop = false;
      set_last_error(ERROR_INVALID_PARAMETER);
      return -1;
    }
    if (!m.queue.empty()) {
      *msg = m.queue.front();
      m.queue.pop_front();
      return msg->message == WM_QUIT ? 0 : 1;
    }
    if (m.quit_pending) {
      m.quit_pending = false;
      *msg = MSG{};
      msg->message = WM_QUIT;
      msg->wParam = static_cast<WPARAM>(m.quit_code);
      return 0;
    }
    // Idle: the earliest due timer (it ties before a scripted event at the
    // same moment) or the earliest scripted event.
    auto timer = std::min_element(m.timers.begin(), m.timers.end(),
                                  [](const Timer& a, const Timer& b) { return a.due_ms < b.due_ms; });
    auto event = std::min_element(m.events.begin(), m.events.end(), [](const ScriptedEvent& a, const ScriptedEvent& b) {
      return a.due_ms != b.due_ms ? a.due_ms < b.due_ms : a.sequence < b.sequence;
    });
    const bool has_timer = timer != m.timers.end();
    const bool has_event = event != m.events.end();
    const std::uint64_t next = !has_timer ? (has_event ? event->due_ms : 0)
                               : !has_event ? timer->due_ms
                                            : std::min(timer->due_ms, event->due_ms);
    if ((!has_timer && !has_event) || next - m.run_started_ms > m.run_limit_ms) {
      // Real Windows would wait here for ever; a test that gets here has lost its way.
      m.limit_hit = true;
      set_last_error(ERROR_INVALID_PARAMETER);
      return -1;
    }
    // Background threads take no virtual time: they finish before it moves.
    join_threads();
    advance_to(m, next);
    if (has_timer && timer->due_ms <= next) {
      timer->due_ms = m.uptime_ms + timer->interval_ms;
      *msg = MSG{};
      msg->hwnd = timer->window;
      msg->message = WM_TIMER;
      msg->wParam = timer->id;
      return 1;
    }
    auto action = std::move(event->action);
    m.events.erase(event);
    action();
  }
}

BOOL TranslateMessage(const MSG* msg) {
  enter_cannot_fail("TranslateMessage", msg ? hex(msg->message) : "NULL");
  return FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
  enter_cannot_fail("DispatchMessageW", msg ? hex(msg->message) : "NULL");
  if (!msg) return 0;
  Window* w = live_window(msg->hwnd);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return w->proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

UINT RegisterWindowMessageW(LPCWSTR name) {
  if (enter("RegisterWindowMessageW", utf8(name)) || !name || !*name) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  auto& registered = machine().registered_messages;
  auto it = registered.find(fold(wide(name)));
  if (it != registered.end()) return it->second;
  const auto number = static_cast<UINT>(FIRST_REGISTERED_MESSAGE + registered.size());
  registered[fold(wide(name))] = number;
  return number;
}

BOOL ChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT change_filter) {
  if (enter("ChangeWindowMessageFilterEx",
            hex(message) + ", " + std::to_string(action) + ", " + (change_filter ? "struct" : "NULL"))) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  Window* w = live_window(window);
  if (!w) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  // Only the window's own process may change its filter.
  if (w->process != machine().process) {
    set_last_error(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if ((change_filter && change_filter->cbSize != sizeof(CHANGEFILTERSTRUCT)) ||
      (action != MSGFLT_RESET && action != MSGFLT_ALLOW && action != MSGFLT_DISALLOW)) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  DWORD status = MSGFLTINFO_NONE;
  if (action == MSGFLT_RESET) {
    // Back to the default filter; `message` is ignored.
    w->allowed_from_lower.clear();
  } else if (action == MSGFLT_ALLOW) {
    if (!w->allowed_from_lower.insert(message).second) status = MSGFLTINFO_ALREADYALLOWED_FORWND;
  } else if (w->allowed_from_lower.erase(message) == 0) {
    status = MSGFLTINFO_ALREADYDISALLOWED_FORWND;
  }
  if (change_filter) change_filter->ExtStatus = status;
  return TRUE;
}

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse_ms, TIMERPROC timer_proc) {
  if (enter("SetTimer", std::to_string(id) + ", " + std::to_string(elapse_ms) + ", " + (timer_proc ? "proc" : "NULL")))
    return 0;
  if (!live_window(window)) {
    set_last_error(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  Machine& m = machine();
  const std::uint64_t interval = std::max<UINT>(elapse_ms, USER_TIMER_MINIMUM);
  m.timers.erase(std::remove_if(m.timers.begin(), m.timers.end(),
                                [&](const Timer& t) { return t.window == window && t.id == id; }),
                 m.timers.end());
  m.timers.push_back(Timer{window, id, interval, m.uptime_ms + interval});
  return id ? id : 1;
}

namespace winsim::detail {

void run_modal_until(std::uint64_t until_ms) {
  Machine& m = machine();
  for (;;) {
    auto timer = std::min_element(m.timers.begin(), m.timers.end(),
                                  [](const Timer& a, const Timer& b) { return a.due_ms < b.due_ms; });
    auto event = std::min_element(m.events.begin(), m.events.end(), [](const ScriptedEvent& a, const ScriptedEvent& b) {
      return a.due_ms != b.due_ms ? a.due_ms < b.due_ms : a.sequence < b.sequence;
    });
    const bool timer_due = timer != m.timers.end() && timer->due_ms <= until_ms;
    const bool event_due = event != m.events.end() && event->due_ms <= until_ms;
    join_threads();
    if (!timer_due && !event_due) break;
    if (timer_due && (!event_due || timer->due_ms <= event->due_ms)) {
      advance_to(m, timer->due_ms);
      timer->due_ms = m.uptime_ms + timer->interval_ms;
      MSG msg{};
      msg.hwnd = timer->window;
      msg.message = WM_TIMER;
      msg.wParam = timer->id;
      DispatchMessageW(&msg);
    } else {
      advance_to(m, event->due_ms);
      auto action = std::move(event->action);
      m.events.erase(event);
      action();
    }
  }
  advance_to(m, until_ms);
}

}  // namespace winsim::detail

namespace winsim {

HWND find_window(const std::string& class_name) {
  for (const auto& entry : machine().windows)
    if (entry.second.alive && entry.second.class_name == fold(from_utf8(class_name)))
      return reinterpret_cast<HWND>(entry.first);
  return nullptr;
}

std::size_t live_windows() {
  return static_cast<std::size_t>(std::count_if(machine().windows.begin(), machine().windows.end(),
                                                [](const auto& entry) { return entry.second.alive; }));
}

bool is_window(HWND window) { return live_window(window) != nullptr; }

void set_elevated(bool elevated) {
  Machine& m = machine();
  if (elevated) {
    m.elevated_processes.insert(m.process);
  } else {
    m.elevated_processes.erase(m.process);
  }
}

bool post_from_unelevated(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (!passes_integrity_filter(window, message)) return false;
  queue_message(window, message, wparam, lparam);
  return true;
}

void post_broadcast(UINT message, WPARAM wparam, LPARAM lparam) {
  for (const auto& entry : machine().windows) {
    if (!entry.second.alive) continue;
    MSG msg{};
    msg.hwnd = reinterpret_cast<HWND>(entry.first);
    msg.message = message;
    msg.wParam = wparam;
    msg.lParam = lparam;
    machine().queue.push_back(msg);
  }
}

}  // namespace winsim
