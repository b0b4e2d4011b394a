#include "menu_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

#include "menu_probe.h"

namespace orbel_tray {

using namespace orbel_wine;

namespace {

constexpr const wchar_t* REPLY_CLASS = L"OrbelTrayTests.MenuReply";
constexpr DWORD MENU_TIMEOUT_MS = 10000;
constexpr DWORD KEY_TIMEOUT_MS = 3000;
constexpr int MAX_PRESSES = 24;

LRESULT CALLBACK reply_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_COPYDATA) {
    const COPYDATASTRUCT* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
    auto* reply = reinterpret_cast<std::wstring*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (reply == nullptr || data->dwData != MENU_PROBE_REPLY) return FALSE;
    reply->assign(static_cast<const wchar_t*>(data->lpData), data->cbData / sizeof(wchar_t));
    return TRUE;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

std::vector<std::wstring> split(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(separator, start)) != std::wstring::npos; start = end + 1)
    parts.push_back(text.substr(start, end - start));
  parts.push_back(text.substr(start));
  return parts;
}

UINT number(const std::wstring& text) { return static_cast<UINT>(std::wcstoul(text.c_str(), nullptr, 10)); }

int highlighted_index(const OpenMenu& menu) {
  for (std::size_t i = 0; i < menu.items.size(); ++i)
    if (menu.items[i].highlighted()) return static_cast<int>(i);
  return -1;
}

}  // namespace

std::vector<std::string> describe(const OpenMenu& menu) {
  std::vector<std::string> lines;
  for (const MenuItem& item : menu.items) {
    if (item.separator()) {
      lines.push_back("----");
      continue;
    }
    std::string line = item.grayed() ? "(grayed) " : item.checked() ? "[x] " : "[ ] ";
    if (item.grayed() && item.checked()) line = "(grayed) [x] ";
    lines.push_back(line + utf8(item.label) + " #" + std::to_string(item.id));
  }
  return lines;
}

MenuDriver::MenuDriver(const OrbelProcess& orbel) : orbel_(orbel) {
  probe_message_ = RegisterWindowMessageW(MENU_PROBE_MESSAGE);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = reply_proc;
  window_class.hInstance = GetModuleHandleW(nullptr);
  window_class.lpszClassName = REPLY_CLASS;
  RegisterClassW(&window_class);  // fails harmlessly when a test before registered it
  // Message-only: nothing of the test shows on the screen it photographs.
  reply_window_ = CreateWindowExW(0, REPLY_CLASS, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
  EXPECT_NE(reply_window_, nullptr) << "no reply window: " << GetLastError();
  if (reply_window_) SetWindowLongPtrW(reply_window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&reply_));

  const std::wstring dll = windows_path(ORBEL_MENU_PROBE_DLL);
  probe_ = LoadLibraryW(dll.c_str());
  EXPECT_NE(probe_, nullptr) << "cannot load " << utf8(dll) << ": " << GetLastError();
  if (probe_ == nullptr) return;
  const auto hook = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(probe_, MENU_PROBE_HOOK)));
  EXPECT_NE(hook, nullptr) << "the probe DLL exports no " << MENU_PROBE_HOOK;
  if (hook == nullptr) return;
  hook_ = SetWindowsHookExW(WH_CALLWNDPROC, hook, probe_, orbel_.ui_thread());
  EXPECT_NE(hook_, nullptr) << "SetWindowsHookExW on Orbel's UI thread failed: " << GetLastError();
}

MenuDriver::~MenuDriver() {
  if (hook_) UnhookWindowsHookEx(hook_);
  if (reply_window_) DestroyWindow(reply_window_);
  if (probe_) FreeLibrary(probe_);
}

bool MenuDriver::open(UINT mouse, std::string* error) {
  if (!orbel_.post_click(mouse)) {
    *error = "cannot post the tray callback: " + std::to_string(GetLastError());
    return false;
  }
  if (!poll_until(MENU_TIMEOUT_MS, [this] { return menu_window() != nullptr; })) {
    *error = "no menu opened within " + std::to_string(MENU_TIMEOUT_MS) + " ms";
    return false;
  }
  return true;
}

bool MenuDriver::read(OpenMenu* menu, std::string* error) {
  const HWND window = menu_window();
  if (window == nullptr) {
    *error = "no menu is open";
    return false;
  }
  if (hook_ == nullptr) {
    *error = "the probe is not hooked into Orbel";
    return false;
  }
  reply_.clear();
  DWORD_PTR result = 0;
  // A send, so that the hook runs; Orbel's thread answers it from inside the
  // menu's own message loop. The probe's reply arrives while this waits.
  if (!SendMessageTimeoutW(window, probe_message_, reinterpret_cast<WPARAM>(reply_window_), 0, SMTO_NORMAL,
                           MENU_TIMEOUT_MS, &result)) {
    *error = "the menu window does not answer: " + std::to_string(GetLastError());
    return false;
  }
  if (reply_.empty()) {
    *error = "the probe in Orbel's process sent nothing back";
    return false;
  }
  *menu = OpenMenu{};
  for (const std::wstring& line : split(reply_, L'\n')) {
    const std::vector<std::wstring> field = split(line, L'\t');
    if (field[0] == L"module" && field.size() == 2) {
      menu->module = field[1];
    } else if (field[0] == L"count" && field.size() == 2) {
      menu->count = std::stoi(field[1]);
    } else if (field[0] == L"item" && field.size() == 5) {
      menu->items.push_back(MenuItem{number(field[1]), number(field[2]), number(field[3]), field[4]});
    } else if (!line.empty()) {
      *error = "the probe could not read an item: " + utf8(line);
      return false;
    }
  }
  if (menu->count < 0 || static_cast<std::size_t>(menu->count) != menu->items.size()) {
    *error = "the probe read " + std::to_string(menu->items.size()) + " items of " + std::to_string(menu->count);
    return false;
  }
  return true;
}

bool MenuDriver::press(UINT virtual_key) {
  const HWND window = menu_window();
  if (window == nullptr) return false;
  const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(virtual_key, MAPVK_VK_TO_VSC)) << 16;
  if (!PostMessageW(window, WM_KEYDOWN, virtual_key, scan | 1)) return false;
  // Escape and Enter end the menu as the key goes down, and Orbel's thread
  // may have destroyed the menu's window before the release is posted; that
  // release then has nowhere to go, which is no failure.
  PostMessageW(window, WM_KEYUP, virtual_key, scan | 1 | (LPARAM{3} << 30));
  return true;
}

bool MenuDriver::choose(const std::wstring& label, std::string* error) {
  std::string path;  // the items the highlight passed, for a failure message
  for (int presses = 0; presses <= MAX_PRESSES; ++presses) {
    OpenMenu menu;
    if (!read(&menu, error)) return false;
    if (presses == 0 && std::none_of(menu.items.begin(), menu.items.end(),
                                     [&label](const MenuItem& item) { return item.label == label; })) {
      *error = "the menu has no item \"" + utf8(label) + "\"";
      return false;
    }
    const int current = highlighted_index(menu);
    if (current >= 0) {
      const MenuItem& item = menu.items[static_cast<std::size_t>(current)];
      path += (path.empty() ? "" : " > ") + utf8(item.label);
      if (item.label == label) {
        if (!press(VK_RETURN)) {
          *error = "cannot post Enter to the menu";
          return false;
        }
        return await_closed(error);
      }
    }
    if (!press(VK_DOWN)) {
      *error = "cannot post Down to the menu";
      return false;
    }
    // The keys are posted and the probe's read is sent, and Windows handles
    // sent messages first: read until the highlight has moved.
    std::string read_error;
    if (!poll_until(KEY_TIMEOUT_MS, [&] { return read(&menu, &read_error) && highlighted_index(menu) != current; })) {
      *error = "Down did not move the highlight (" + read_error + "); passed: " + path;
      return false;
    }
  }
  *error = "no item \"" + utf8(label) + "\" reached with Down; passed: " + path;
  return false;
}

bool MenuDriver::close(std::string* error) {
  if (!press(VK_ESCAPE)) {
    *error = "no menu to close";
    return false;
  }
  return await_closed(error);
}

bool MenuDriver::await_closed(std::string* error) {
  if (poll_until(MENU_TIMEOUT_MS, [this] { return menu_window() == nullptr; })) return true;
  *error = "the menu is still open after " + std::to_string(MENU_TIMEOUT_MS) + " ms";
  return false;
}

}  // namespace orbel_tray
