#include "orbel_driver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace orbel_tray {

namespace {
constexpr DWORD KILL_TIMEOUT_MS = 5000;
}  // namespace

std::wstring windows_path(const std::string& unix_path) {
  std::wstring path(unix_path.begin(), unix_path.end());
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
  return path;
}

std::string utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::uint64_t unix_now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (ticks - 116444736000000000u) / 10000000u;
}

std::string stored(const wchar_t* name) {
  DWORD type = 0xdeadbeef;
  std::uint64_t value = 0;
  DWORD size = sizeof value;
  const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, ORBEL_KEY, name, RRF_RT_ANY, &type, &value, &size);
  std::ostringstream out;
  if (status != ERROR_SUCCESS) {
    out << "status " << status;
  } else {
    out << (type == REG_QWORD   ? "REG_QWORD"
            : type == REG_DWORD ? "REG_DWORD"
                                : "type " + std::to_string(type))
        << ", " << size << " bytes, " << value;
  }
  return out.str();
}

std::string qword(std::uint64_t value) { return "REG_QWORD, 8 bytes, " + std::to_string(value); }

std::uint64_t stored_number(const wchar_t* name) {
  std::uint64_t value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_CURRENT_USER, ORBEL_KEY, name, RRF_RT_REG_QWORD, nullptr, &value, &size) != ERROR_SUCCESS)
    return ~std::uint64_t{0};
  return value;
}

void store_session(const Session& s) {
  const std::pair<const wchar_t*, std::uint64_t> values[] = {{L"On", s.on}, {L"Until", s.until}, {L"Hours", s.hours}};
  for (const auto& [name, value] : values) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, name, REG_QWORD, &value, sizeof value), ERROR_SUCCESS);
  }
}

void expect_session(const Session& s) {
  EXPECT_EQ(stored(L"On"), qword(s.on));
  EXPECT_EQ(stored(L"Until"), qword(s.until));
  EXPECT_EQ(stored(L"Hours"), qword(s.hours));
}

std::string stored_run_value() {
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, RRF_RT_ANY, &type, nullptr, &size);
  if (status != ERROR_SUCCESS) return "status " + std::to_string(status);
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  status = RegGetValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, RRF_RT_ANY, &type, text.data(), &size);
  if (status != ERROR_SUCCESS) return "status " + std::to_string(status);
  const std::string name = type == REG_SZ ? "REG_SZ" : "type " + std::to_string(type);
  return name + " " + utf8(text.data());
}

void set_light_theme(bool light) {
  const DWORD value = light ? 1 : 0;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, THEME_KEY, THEME_VALUE_LIGHT, REG_DWORD, &value, sizeof value),
            ERROR_SUCCESS);
}

void forget_everything() {
  const LSTATUS session = RegDeleteTreeW(HKEY_CURRENT_USER, ORBEL_KEY);
  EXPECT_TRUE(session == ERROR_SUCCESS || session == ERROR_FILE_NOT_FOUND) << session;
  for (const auto& [key, value] : {std::pair{RUN_KEY, RUN_VALUE}, std::pair{THEME_KEY, THEME_VALUE_LIGHT}}) {
    const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, key, value);
    EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
  }
}

std::vector<HWND> orbel_windows() {
  std::vector<HWND> windows;
  for (HWND w = FindWindowExW(nullptr, nullptr, ORBEL_CLASS, nullptr); w != nullptr;
       w = FindWindowExW(nullptr, w, ORBEL_CLASS, nullptr))
    windows.push_back(w);
  return windows;
}

HWND open_menu_window(DWORD thread) {
  struct Search {
    HWND found;
  } search{nullptr};
  EnumThreadWindows(
      thread,
      [](HWND window, LPARAM context) -> BOOL {
        wchar_t name[16] = {};
        GetClassNameW(window, name, 16);
        if (lstrcmpW(name, L"#32768") != 0 || !IsWindowVisible(window)) return TRUE;
        reinterpret_cast<Search*>(context)->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

void expect_clean_desktop() {
  // Orbel adds its icon at start-up, so the taskbar must already be there.
  ASSERT_TRUE(poll_until(START_TIMEOUT_MS, [] { return FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr; }))
      << "no taskbar: the run's fixture did not start the desktop";
  ASSERT_TRUE(orbel_windows().empty()) << "an Orbel this test did not start is running";
}

bool OrbelProcess::start() {
  const std::wstring exe = windows_path(ORBEL_EXE_PATH);
  std::wstring command_line = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // No standard handles: under Wine a child would otherwise hold the test's
  // output pipe, and ctest waits for that pipe to close.
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    ADD_FAILURE() << "CreateProcessW(" << utf8(exe) << ") failed: " << GetLastError();
    return false;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;

  const bool found = poll_until(START_TIMEOUT_MS, [this] {
    for (HWND w : orbel_windows()) {
      DWORD owner = 0;
      const DWORD thread = GetWindowThreadProcessId(w, &owner);
      if (owner == pid_) {
        window_ = w;
        ui_thread_ = thread;
      }
    }
    return window_ != nullptr || !running();
  });
  if (!found || window_ == nullptr) {
    ADD_FAILURE() << "Orbel (PID " << pid_ << ") showed no window" << (running() ? "" : " and exited");
    return false;
  }
  // The message loop runs only once start-up has added the icon and stored
  // the session.
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, START_TIMEOUT_MS, &result)) {
    ADD_FAILURE() << "Orbel's window does not answer: " << GetLastError();
    return false;
  }
  return true;
}

bool OrbelProcess::running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

bool OrbelProcess::wait_for_exit(DWORD timeout_ms, DWORD* exit_code) const {
  if (WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return false;
  return GetExitCodeProcess(process_, exit_code) != 0;
}

bool OrbelProcess::post(UINT message, WPARAM wparam, LPARAM lparam) const {
  return PostMessageW(window_, message, wparam, lparam) != 0;
}

void OrbelProcess::stop() {
  if (process_ == nullptr) return;
  DWORD code = 0;
  if (running() && window_ != nullptr) {
    // An open menu would hold WM_CLOSE until it closes.
    if (HWND menu = open_menu_window(ui_thread_)) {
      PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
      poll_until(EXIT_TIMEOUT_MS, [this] { return open_menu_window(ui_thread_) == nullptr; });
    }
    if (post(WM_CLOSE, 0, 0)) wait_for_exit(EXIT_TIMEOUT_MS, &code);
  }
  if (running()) {
    ADD_FAILURE() << "Orbel (PID " << pid_ << ") did not close; terminating it";
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, KILL_TIMEOUT_MS);
  }
  CloseHandle(process_);
  process_ = nullptr;
}

}  // namespace orbel_tray
