// How the tray tests read Orbel's open popup menu. A menu's items can only be
// read inside the process that owns it, so a small DLL of the tests (never
// part of Orbel.exe) is hooked into Orbel's UI thread with
// SetWindowsHookExW(WH_CALLWNDPROC). The test sends MENU_PROBE_MESSAGE to the
// menu window ("#32768") with a window of its own in wParam; the hook, called
// on Orbel's thread before the menu window sees the message, reads the menu
// from MN_GETHMENU and sends the items back in a WM_COPYDATA.
//
// The reply is UTF-16 text, one record per line, fields separated by tabs:
//   module <GetModuleFileNameW(nullptr) of the menu's process>
//   count  <GetMenuItemCount, -1 when the menu cannot be read>
//   item   <wID> <fType> <fState> <label>      (numbers in decimal)
#pragma once

#include <windows.h>

namespace orbel_tray {

constexpr const wchar_t* MENU_PROBE_MESSAGE = L"OrbelTrayTests.ReadMenu";
constexpr ULONG_PTR MENU_PROBE_REPLY = 0x4f52424d;  // "ORBM"
constexpr const char* MENU_PROBE_HOOK = "orbel_menu_probe_hook";

}  // namespace orbel_tray
