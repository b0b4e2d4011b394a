// The hook DLL that reads Orbel's open menu from inside Orbel's process; see
// menu_probe.h. It runs on Orbel's UI thread while the menu tracks, so it
// only reads, and it never waits long for the test.
#include "menu_probe.h"

#include <string>

namespace {

constexpr UINT REPLY_TIMEOUT_MS = 5000;
constexpr int LABEL_CAPACITY = 256;

void add_number(std::wstring& text, long long value) { text += std::to_wstring(value); }

std::wstring read_menu(HWND menu_window) {
  std::wstring text = L"module\t";
  wchar_t module[4096];
  const DWORD length = GetModuleFileNameW(nullptr, module, static_cast<DWORD>(std::size(module)));
  text.append(module, length);
  text += L"\ncount\t";

  HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menu_window, MN_GETHMENU, 0, 0));
  const int count = menu == nullptr ? -1 : GetMenuItemCount(menu);
  add_number(text, count);
  text += L'\n';
  for (int i = 0; i < count; ++i) {
    wchar_t label[LABEL_CAPACITY] = {};
    MENUITEMINFOW item{};
    item.cbSize = sizeof item;
    item.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING;
    item.dwTypeData = label;
    item.cch = LABEL_CAPACITY - 1;
    if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &item)) {
      text += L"unreadable\t";
      add_number(text, i);
      text += L'\n';
      continue;
    }
    text += L"item\t";
    add_number(text, item.wID);
    text += L'\t';
    add_number(text, item.fType);
    text += L'\t';
    add_number(text, item.fState);
    text += L'\t';
    text += label;
    text += L'\n';
  }
  return text;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK orbel_menu_probe_hook(int code, WPARAM wparam, LPARAM lparam) {
  static const UINT probe_message = RegisterWindowMessageW(orbel_tray::MENU_PROBE_MESSAGE);
  if (code == HC_ACTION) {
    const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lparam);
    if (sent->message == probe_message && sent->wParam != 0) {
      std::wstring text = read_menu(sent->hwnd);
      COPYDATASTRUCT reply{};
      reply.dwData = orbel_tray::MENU_PROBE_REPLY;
      reply.cbData = static_cast<DWORD>(text.size() * sizeof(wchar_t));
      reply.lpData = text.data();
      DWORD_PTR result = 0;
      SendMessageTimeoutW(reinterpret_cast<HWND>(sent->wParam), WM_COPYDATA, reinterpret_cast<WPARAM>(sent->hwnd),
                          reinterpret_cast<LPARAM>(&reply), SMTO_ABORTIFHUNG, REPLY_TIMEOUT_MS, &result);
    }
  }
  return CallNextHookEx(nullptr, code, wparam, lparam);
}
