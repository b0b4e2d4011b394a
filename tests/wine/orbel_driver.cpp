#include "orbel_driver.h"

#include <gtest/gtest.h>

#include <utility>

namespace orbel_wine {

namespace {

constexpr DWORD KILL_TIMEOUT_MS = 5000;
constexpr const wchar_t* MENU_CLASS = L"#32768";

void forget_value(const wchar_t* key, const wchar_t* name) {
  const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, key, name);
  ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
}

}  // namespace

std::wstring windows_path(const std::string& unix_path) {
  std::wstring path(unix_path.begin(), unix_path.end());
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
  return path;
}

std::wstring orbel_exe() { return windows_path(ORBEL_EXE_PATH); }

std::string utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::uint64_t unix_now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (ticks - 116444736000000000u) / 10000000u;
}

StoredValue read_value(const wchar_t* key, const wchar_t* name) {
  StoredValue v;
  v.type = 0xdeadbeef;  // poisoned: a read that succeeds without writing it shows
  v.size = sizeof v.value;
  v.status = RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, &v.type, &v.value, &v.size);
  return v;
}

bool value_exists(const wchar_t* key, const wchar_t* name) {
  return RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

std::string describe(const StoredValue& v) {
  if (v.status != ERROR_SUCCESS) return "status " + std::to_string(v.status);
  const std::string type = v.type == REG_QWORD   ? "REG_QWORD"
                           : v.type == REG_DWORD ? "REG_DWORD"
                                                 : "type " + std::to_string(v.type);
  return type + ", " + std::to_string(v.size) + " bytes, " + std::to_string(v.value);
}

std::string stored(const wchar_t* name) { return describe(read_value(ORBEL_KEY, name)); }

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

void forget_session() {
  const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, ORBEL_KEY);
  ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
}

void forget_run_value() { forget_value(RUN_KEY, RUN_VALUE); }

void forget_everything() {
  // Each one even when another failed: a TearDown leaves as little as it can.
  forget_session();
  forget_run_value();
  forget_value(THEME_KEY, THEME_VALUE_LIGHT);
}

std::vector<HWND> orbel_windows() {
  std::vector<HWND> windows;
  for (HWND w = FindWindowExW(nullptr, nullptr, ORBEL_CLASS, nullptr); w != nullptr;
       w = FindWindowExW(nullptr, w, ORBEL_CLASS, nullptr))
    windows.push_back(w);
  return windows;
}

void expect_clean_desktop() {
  // Orbel adds its icon at start-up, so the taskbar must already be there.
  ASSERT_TRUE(poll_until(START_TIMEOUT_MS, [] { return FindWindowW(L"Shell_TrayWnd", nullptr) != nullptr; }))
      << "no taskbar: the run's fixture did not start the desktop";
  ASSERT_TRUE(orbel_windows().empty()) << "an Orbel this test did not start is running";
}

bool OrbelProcess::create_process() {
  std::wstring command_line = L"\"" + exe_ + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // No standard handles: under Wine a child would otherwise hold the test's
  // output pipe, and ctest waits for that pipe to close.
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(exe_.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &info)) {
    ADD_FAILURE() << "CreateProcessW(" << utf8(exe_) << ") failed: " << GetLastError();
    return false;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
  pid_ = info.dwProcessId;
  return true;
}

bool OrbelProcess::start() { return create_process() && wait_until_ready(); }

// Waits for this process's window and then for its message loop, which runs
// only once start-up has added the icon and stored the session. That the
// window answers a sent message does not tell: its thread answers them while
// it waits inside Shell_NotifyIconW (a message sent to the taskbar) during
// start-up, before the session is stored. WaitForInputIdle returns once the
// thread waits in GetMessage with nothing to do, which it first does in the
// message loop.
bool OrbelProcess::wait_until_ready() {
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
  const DWORD idle = WaitForInputIdle(process_, START_TIMEOUT_MS);
  if (idle != 0) {
    ADD_FAILURE() << "Orbel (PID " << pid_ << ") did not reach its message loop: WaitForInputIdle gave " << idle
                  << ", error " << GetLastError();
    return false;
  }
  if (!answers(START_TIMEOUT_MS)) {
    ADD_FAILURE() << "Orbel's window does not answer: " << GetLastError();
    return false;
  }
  return true;
}

bool OrbelProcess::answers(DWORD timeout_ms) const { return send(WM_NULL, 0, 0, timeout_ms); }

bool OrbelProcess::running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

bool OrbelProcess::wait_for_exit(DWORD timeout_ms, DWORD* exit_code) const {
  if (WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return false;
  return GetExitCodeProcess(process_, exit_code) != 0;
}

bool OrbelProcess::kill() const {
  TerminateProcess(process_, 1);
  return WaitForSingleObject(process_, KILL_TIMEOUT_MS) == WAIT_OBJECT_0;
}

bool OrbelProcess::send(UINT message, WPARAM wparam, LPARAM lparam, DWORD timeout_ms) const {
  DWORD_PTR result = 0;
  return SendMessageTimeoutW(window_, message, wparam, lparam, SMTO_ABORTIFHUNG, timeout_ms, &result) != 0;
}

bool OrbelProcess::post(UINT message, WPARAM wparam, LPARAM lparam) const {
  return PostMessageW(window_, message, wparam, lparam) != 0;
}

HWND OrbelProcess::open_menu() const {
  if (ui_thread_ == 0) return nullptr;
  struct Search {
    HWND found;
  } search{nullptr};
  EnumThreadWindows(
      ui_thread_,
      [](HWND window, LPARAM context) -> BOOL {
        wchar_t name[16] = {};
        GetClassNameW(window, name, 16);
        if (lstrcmpW(name, MENU_CLASS) != 0 || !IsWindowVisible(window)) return TRUE;
        reinterpret_cast<Search*>(context)->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

bool OrbelProcess::close_menu() const {
  HWND menu = open_menu();
  if (menu == nullptr) return true;
  PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
  return poll_until(EXIT_TIMEOUT_MS, [this] { return open_menu() == nullptr; });
}

void OrbelProcess::stop() {
  if (process_ == nullptr) return;
  DWORD code = 0;
  if (running() && window_ != nullptr) {
    // An open menu would hold WM_CLOSE until it closes.
    close_menu();
    if (post_close()) wait_for_exit(EXIT_TIMEOUT_MS, &code);
  }
  if (running()) {
    ADD_FAILURE() << "Orbel (PID " << pid_ << ") did not close; terminating it";
    kill();
  }
  CloseHandle(process_);
  process_ = nullptr;
}

}  // namespace orbel_wine
