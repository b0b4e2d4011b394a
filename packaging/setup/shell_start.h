// Starting Orbel after an upgrade with the rights of the user's desktop, not
// with the installer's. A per-user package run from an elevated prompt runs
// its custom actions elevated, and an Orbel started from there would be
// elevated too: Explorer's clicks and "TaskbarCreated" would not reach it,
// and a later, unelevated uninstall could neither close nor end it.
#pragma once

namespace orbel_setup {

// How start_as_desktop_user started the program, if at all.
enum class StartRoute {
  DIRECT,       // the installer is not elevated: a plain start
  DESKTOP,      // through the desktop shell, which runs unelevated
  NOT_STARTED,  // elevated, and the desktop shell could not be reached
};

// Starts `exe` unelevated, or not at all (its Run value starts it at the
// next logon).
StartRoute start_as_desktop_user(const wchar_t* exe);

}  // namespace orbel_setup
