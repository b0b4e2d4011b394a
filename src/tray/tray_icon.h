// The notification-area icon: added, modified (redrawn from the current
// state and taskbar theme) or deleted. Exactly one icon handle made here is
// alive after any number of refreshes; it lives in session.tray_icon.
#pragma once

#include "platform.h"

namespace orbel {

constexpr UINT TRAY_ICON_ID = 1;
constexpr UINT WM_TRAY_CALLBACK = WM_APP + 1;
constexpr const char* TRAY_TOOLTIP = "Orbel";
constexpr const char* THEME_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr const char* THEME_VALUE_LIGHT = "SystemUsesLightTheme";

// `action` is NIM_ADD, NIM_MODIFY or NIM_DELETE, passed to the shell as is.
void refresh_tray_icon(DWORD action);

}  // namespace orbel
