// The shell's notification area and the GDI objects that icons are made of.
// Like Explorer, the notification area keeps its own copy of each icon it is
// given, so the program may destroy its handle once the shell has it.
#include <algorithm>
#include <cstring>

#include "machine.h"

namespace winsim::detail {
namespace {

TrayIcon* find_tray(HWND window, UINT id) {
  for (auto& icon : machine().tray)
    if (icon.window == window && icon.id == id) return &icon;
  return nullptr;
}

void apply_fields(TrayIcon& icon, const NOTIFYICONDATAW& data) {
  if (data.uFlags & NIF_MESSAGE) icon.callback_message = data.uCallbackMessage;
  if (data.uFlags & NIF_TIP) {
    std::size_t n = 0;
    while (n < 128 && data.szTip[n]) ++n;
    icon.tip.assign(data.szTip, n);
  }
  if (data.uFlags & NIF_ICON) {
    auto it = machine().icons.find(reinterpret_cast<std::uintptr_t>(data.hIcon));
    const bool known = it != machine().icons.end();
    icon.pixels = known ? it->second.color : std::vector<std::uint8_t>();
    icon.width = known ? it->second.width : 0;
    icon.height = known ? it->second.height : 0;
  }
}

}  // namespace

void end_gdi_of(int process) {
  Machine& m = machine();
  for (auto it = m.bitmaps.begin(); it != m.bitmaps.end();) it = it->second.process == process ? m.bitmaps.erase(it) : std::next(it);
  for (auto it = m.icons.begin(); it != m.icons.end();) it = it->second.process == process ? m.icons.erase(it) : std::next(it);
}

}  // namespace winsim::detail

using namespace winsim::detail;
using winsim::TrayIcon;

BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data) {
  if (enter("Shell_NotifyIconW", std::to_string(message) + (data ? ", cbSize " + std::to_string(data->cbSize) + ", uID " +
                                                                       std::to_string(data->uID) + ", uFlags " +
                                                                       hex(data->uFlags)
                                                                 : ", NULL")))
    return FALSE;
  if (!data || data->cbSize != sizeof(NOTIFYICONDATAW) || !winsim::is_window(data->hWnd)) return FALSE;
  TrayIcon* existing = find_tray(data->hWnd, data->uID);
  switch (message) {
    case NIM_ADD: {
      if (existing) return FALSE;
      TrayIcon icon{data->hWnd, data->uID, 0, {}, {}, 0, 0};
      apply_fields(icon, *data);
      machine().tray.push_back(icon);
      return TRUE;
    }
    case NIM_MODIFY:
      if (!existing) return FALSE;
      apply_fields(*existing, *data);
      return TRUE;
    case NIM_DELETE: {
      if (!existing) return FALSE;
      auto& tray = machine().tray;
      tray.erase(tray.begin() + (existing - tray.data()));
      return TRUE;
    }
    default: return FALSE;
  }
}

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bits_per_pixel, const void* bits) {
  if (enter("CreateBitmap", std::to_string(width) + ", " + std::to_string(height) + ", " + std::to_string(planes) + ", " +
                                std::to_string(bits_per_pixel)) ||
      width <= 0 || height <= 0 || planes != 1)
    return nullptr;
  // Rows are padded to a multiple of 16 bits, as for any device-dependent bitmap.
  const std::size_t stride = ((static_cast<std::size_t>(width) * bits_per_pixel + 15) / 16) * 2;
  std::vector<std::uint8_t> pixels(stride * static_cast<std::size_t>(height), 0);
  if (bits) std::memcpy(pixels.data(), bits, pixels.size());
  const std::uintptr_t handle = new_handle();
  machine().bitmaps[handle] = Bitmap{width, height, bits_per_pixel, std::move(pixels), machine().process};
  return reinterpret_cast<HBITMAP>(handle);
}

BOOL DeleteObject(HGDIOBJ object) {
  enter_cannot_fail("DeleteObject");
  return machine().bitmaps.erase(reinterpret_cast<std::uintptr_t>(object)) ? TRUE : FALSE;
}

HICON CreateIconIndirect(ICONINFO* info) {
  if (enter("CreateIconIndirect") || !info) return nullptr;
  Machine& m = machine();
  auto mask = m.bitmaps.find(reinterpret_cast<std::uintptr_t>(info->hbmMask));
  if (mask == m.bitmaps.end()) return nullptr;
  Icon icon{mask->second.width, mask->second.height, {}, m.process};
  if (info->hbmColor) {
    auto color = m.bitmaps.find(reinterpret_cast<std::uintptr_t>(info->hbmColor));
    if (color == m.bitmaps.end()) return nullptr;
    icon.width = color->second.width;
    icon.height = color->second.height;
    if (color->second.bits_per_pixel == 32) icon.color = color->second.bits;
  }
  const std::uintptr_t handle = new_handle();
  m.icons[handle] = std::move(icon);
  return reinterpret_cast<HICON>(handle);
}

BOOL DestroyIcon(HICON icon) {
  enter_cannot_fail("DestroyIcon");
  return machine().icons.erase(reinterpret_cast<std::uintptr_t>(icon)) ? TRUE : FALSE;
}

namespace winsim {

std::vector<TrayIcon> tray_icons() { return machine().tray; }

void restart_shell() {
  Machine& m = machine();
  m.tray.clear();
  // Explorer runs at the user's medium integrity level: an elevated
  // process's window hears the broadcast only through its message filter.
  const UINT taskbar_created = RegisterWindowMessageW(u"TaskbarCreated");
  for (const auto& entry : m.windows) {
    const auto window = reinterpret_cast<HWND>(entry.first);
    if (entry.second.alive) post_from_unelevated(window, taskbar_created, 0, 0);
  }
}

std::size_t live_bitmaps() { return machine().bitmaps.size(); }
std::size_t live_icons() { return machine().icons.size(); }

}  // namespace winsim
