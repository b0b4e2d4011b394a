#include "tray/tray_icon.h"

#include <algorithm>
#include <cstring>

#include "state/session_state.h"
#include "state/settings.h"
#include "state/text.h"
#include "tray/eye_icon.h"

namespace orbel {
namespace {

bool taskbar_is_light() {
  const SettingRead light = settings_read_u64(THEME_KEY, THEME_VALUE_LIGHT);
  return light.ok && light.value == 1;
}

// An icon handle from the eye raster: a 32-bit colour bitmap that carries the
// alpha channel, and an all-zero mask. The icon keeps its own copies of both.
HICON make_eye_icon(bool on, bool light) {
  const std::vector<std::uint8_t> pixels = render_eye_icon(on, light);
  const std::vector<std::uint8_t> mask(EYE_ICON_SIZE * EYE_ICON_SIZE / 8, 0);
  HBITMAP color = CreateBitmap(EYE_ICON_SIZE, EYE_ICON_SIZE, 1, 32, pixels.data());
  HBITMAP mask_bitmap = CreateBitmap(EYE_ICON_SIZE, EYE_ICON_SIZE, 1, 1, mask.data());
  ICONINFO info{};
  info.fIcon = TRUE;
  info.xHotspot = 0;
  info.yHotspot = 0;
  info.hbmMask = mask_bitmap;
  info.hbmColor = color;
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(color);
  DeleteObject(mask_bitmap);
  return icon;
}

}  // namespace

void refresh_tray_icon(DWORD action) {
  static_assert(sizeof(NOTIFYICONDATAW) == 976, "the full NOTIFYICONDATAW record is expected");
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = session.window;
  data.uID = TRAY_ICON_ID;
  if (action == NIM_DELETE) {
    Shell_NotifyIconW(NIM_DELETE, &data);
    return;
  }
  HICON old_icon = session.tray_icon;
  session.tray_icon = make_eye_icon(session.on, taskbar_is_light());
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_TRAY_CALLBACK;
  data.hIcon = session.tray_icon;
  const std::vector<WCHAR> tip = to_wide(TRAY_TOOLTIP);
  const std::size_t units = std::min(tip.size(), std::size(data.szTip) - 1);
  std::memcpy(data.szTip, tip.data(), units * sizeof(WCHAR));
  Shell_NotifyIconW(action, &data);
  // Only now, with the shell holding the replacement, can the old one go.
  if (old_icon) DestroyIcon(old_icon);
}

}  // namespace orbel
