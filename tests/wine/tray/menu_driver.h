// Orbel's popup menu from the test's side: opened the way the shell opens it
// (the notification callback, posted), read through the probe DLL (see
// menu_probe.h) and driven with keys posted to the menu window.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "orbel_driver.h"

namespace orbel_tray {

struct MenuItem {
  UINT id;
  UINT type;
  UINT state;
  std::wstring label;

  bool separator() const { return (type & MFT_SEPARATOR) != 0; }
  bool checked() const { return (state & MFS_CHECKED) != 0; }
  bool grayed() const { return (state & (MF_GRAYED | MF_DISABLED)) != 0; }
  bool highlighted() const { return (state & MFS_HILITE) != 0; }
};

struct OpenMenu {
  std::wstring module;  // the menu's process, as GetModuleFileNameW reports it there
  int count = -1;
  std::vector<MenuItem> items;
};

// One line per item, as the tests compare menus: "[x] Hold orbel #1",
// "(grayed) Slår seg av 14:05 #0", "----". Wine marks separators grayed
// (Windows does not, and Orbel asks for neither), so a separator shows only
// as a separator.
std::vector<std::string> describe(const OpenMenu& menu);

class MenuDriver {
 public:
  explicit MenuDriver(const orbel_wine::OrbelProcess& orbel);
  MenuDriver(const MenuDriver&) = delete;
  MenuDriver& operator=(const MenuDriver&) = delete;
  ~MenuDriver();

  // Posts the notification callback with this mouse message (WM_LBUTTONUP,
  // WM_RBUTTONUP) and waits for the menu window.
  bool open(UINT mouse, std::string* error);

  // The open menu's items, read inside Orbel's process.
  bool read(OpenMenu* menu, std::string* error);

  // Posts a key press (down and up) to the menu window; false when there is
  // no menu or the key cannot go down.
  bool press(UINT virtual_key);

  // Moves the highlight down to the item with this label and presses Enter,
  // then waits for the menu to close.
  bool choose(const std::wstring& label, std::string* error);

  // Escape, then waits for the menu to close.
  bool close(std::string* error);

  HWND menu_window() const { return orbel_.open_menu(); }

 private:
  bool await_closed(std::string* error);

  const orbel_wine::OrbelProcess& orbel_;
  HMODULE probe_ = nullptr;
  HHOOK hook_ = nullptr;
  HWND reply_window_ = nullptr;
  UINT probe_message_ = 0;
  std::wstring reply_;
};

}  // namespace orbel_tray
