// Popup menus and the modal tracking loop, the cursor and the foreground
// window.
#include "machine.h"

namespace winsim::detail {

void end_menus_of(int process) {
  Machine& m = machine();
  for (auto it = m.menus.begin(); it != m.menus.end();) it = it->second.process == process ? m.menus.erase(it) : std::next(it);
}

}  // namespace winsim::detail

using namespace winsim::detail;

HMENU CreatePopupMenu() {
  if (enter("CreatePopupMenu")) return nullptr;
  const std::uintptr_t handle = new_handle();
  machine().menus[handle] = Machine::Menu{{}, machine().process};
  return reinterpret_cast<HMENU>(handle);
}

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text) {
  const bool separator = flags & MF_SEPARATOR;
  if (enter("AppendMenuW", hex(flags) + ", " + std::to_string(id) + ", " + (separator || !text ? "NULL" : utf8(text))))
    return FALSE;
  auto it = machine().menus.find(reinterpret_cast<std::uintptr_t>(menu));
  if (it == machine().menus.end()) return FALSE;
  it->second.entries.push_back(winsim::MenuEntry{flags, id, separator || !text ? std::u16string() : wide(text)});
  return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND window, const RECT* rect) {
  if (enter("TrackPopupMenu", hex(flags) + ", " + std::to_string(x) + ", " + std::to_string(y) + ", " +
                                  std::to_string(reserved) + ", " + (rect ? "rect" : "NULL")))
    return FALSE;
  Machine& m = machine();
  auto it = m.menus.find(reinterpret_cast<std::uintptr_t>(menu));
  if (it == m.menus.end() || !winsim::is_window(window)) return FALSE;
  m.tracked.push_back(winsim::TrackedMenu{it->second.entries, x, y});
  Machine::MenuScript script{std::nullopt, 0};
  if (!m.menu_scripts.empty()) {
    script = m.menu_scripts.front();
    m.menu_scripts.pop_front();
  }
  run_modal_until(m.uptime_ms + script.tracking_ms);
  if (!script.id) return FALSE;  // dismissed: nothing chosen
  if (!winsim::is_window(window)) return FALSE;
  MSG msg{};
  msg.hwnd = window;
  msg.message = WM_COMMAND;
  msg.wParam = MAKEWPARAM(*script.id, 0);
  m.queue.push_back(msg);
  return TRUE;
}

BOOL DestroyMenu(HMENU menu) {
  enter_cannot_fail("DestroyMenu");
  return machine().menus.erase(reinterpret_cast<std::uintptr_t>(menu)) ? TRUE : FALSE;
}

BOOL GetCursorPos(POINT* point) {
  if (enter("GetCursorPos") || !point) return FALSE;
  *point = machine().cursor;
  return TRUE;
}

BOOL SetForegroundWindow(HWND window) {
  if (enter("SetForegroundWindow", window ? "window" : "NULL")) return FALSE;
  return winsim::is_window(window) ? TRUE : FALSE;
}

namespace winsim {

void script_menu(std::optional<UINT> id, std::uint64_t tracking_ms) {
  machine().menu_scripts.push_back(Machine::MenuScript{id, tracking_ms});
}
std::vector<TrackedMenu> tracked_menus() { return machine().tracked; }
std::size_t live_menus() { return machine().menus.size(); }
void set_cursor_pos(int x, int y) { machine().cursor = POINT{x, y}; }

}  // namespace winsim
