// Driving the real Orbel.exe from another process of the same Wine session:
// start it, find its window, wait for its message loop, read what it stored
// and end it. Shared by the Windows-tier programs that run a whole Orbel.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orbel_wine {

constexpr const wchar_t* ORBEL_CLASS = L"OrbelWindow";
constexpr const wchar_t* ORBEL_KEY = L"Software\\Orbel";
constexpr const wchar_t* RUN_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* RUN_VALUE = L"Orbel";
constexpr const wchar_t* MENU_CLASS = L"#32768";
// Orbel's notification-area callback message (WM_APP + 1).
constexpr UINT TRAY_CALLBACK = WM_APP + 1;

constexpr DWORD START_TIMEOUT_MS = 30000;
constexpr DWORD EXIT_TIMEOUT_MS = 15000;
constexpr DWORD KILL_TIMEOUT_MS = 5000;
constexpr DWORD POLL_MS = 20;

// A path from the build (forward slashes, Unix root) as Wine's processes see
// it: Wine shows the Unix root as drive Z:.
inline std::wstring windows_path(const char* unix_path) {
  std::wstring path(unix_path, unix_path + std::char_traits<char>::length(unix_path));
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
  return path;
}

inline std::string narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

template <typename Condition>
bool poll_until(DWORD timeout_ms, Condition condition) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(POLL_MS);
  }
}

inline std::vector<HWND> windows_of_class(const wchar_t* class_name) {
  std::vector<HWND> windows;
  for (HWND w = FindWindowExW(nullptr, nullptr, class_name, nullptr); w != nullptr;
       w = FindWindowExW(nullptr, w, class_name, nullptr))
    windows.push_back(w);
  return windows;
}

inline std::uint64_t unix_now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return (ticks - 116444736000000000u) / 10000000u;
}

// One registry value as RegGetValueW reports it, with up to 8 bytes of data.
struct StoredValue {
  LSTATUS status = ERROR_SUCCESS;
  DWORD type = 0;
  DWORD size = 0;
  std::uint64_t value = 0;
};

inline StoredValue read_value(const wchar_t* key, const wchar_t* name) {
  StoredValue v;
  v.size = sizeof v.value;
  v.status = RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, &v.type, &v.value, &v.size);
  return v;
}

inline bool value_exists(const wchar_t* key, const wchar_t* name) {
  return RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// One Orbel.exe started by a test. Whatever happens to the test, the process
// does not outlive this object: it is asked to close, and killed if it does
// not.
class OrbelProcess {
 public:
  explicit OrbelProcess(std::wstring exe) : exe_(std::move(exe)) {}
  OrbelProcess(const OrbelProcess&) = delete;
  OrbelProcess& operator=(const OrbelProcess&) = delete;
  ~OrbelProcess() { stop(); }

  bool start() {
    std::wstring command_line = L"\"" + exe_ + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    // No standard handles: under Wine a child would otherwise hold the
    // test's output pipe, and ctest waits for that pipe to close.
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe_.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
      ADD_FAILURE() << "CreateProcessW(" << narrow(exe_) << ") failed: " << GetLastError();
      return false;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    return true;
  }

  // Waits for this process's window and then for its message loop, which
  // runs only once start-up has stored the session.
  bool wait_until_ready() {
    const bool found = poll_until(START_TIMEOUT_MS, [this] {
      for (HWND w : windows_of_class(ORBEL_CLASS)) {
        DWORD owner = 0;
        const DWORD thread = GetWindowThreadProcessId(w, &owner);
        if (owner == pid_) {
          window_ = w;
          thread_ = thread;
        }
      }
      return window_ != nullptr || !running();
    });
    if (!found || window_ == nullptr) {
      ADD_FAILURE() << "Orbel (PID " << pid_ << ") showed no window" << (running() ? "" : " and exited");
      return false;
    }
    if (!answers(START_TIMEOUT_MS)) {
      ADD_FAILURE() << "Orbel's window does not answer: " << GetLastError();
      return false;
    }
    return true;
  }

  // Whether the window's thread takes a sent message within the timeout.
  // Never call this while its menu is open: the menu's loop holds the thread.
  bool answers(DWORD timeout_ms) const {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, timeout_ms, &result) != 0;
  }

  bool running() const { return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

  // The exit code, or nothing within the timeout.
  bool wait_for_exit(DWORD timeout_ms, DWORD* exit_code) const {
    if (WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(process_, exit_code) != 0;
  }

  bool post(UINT message, WPARAM wparam, LPARAM lparam) const {
    return PostMessageW(window_, message, wparam, lparam) != 0;
  }

  bool post_close() const { return post(WM_CLOSE, 0, 0); }

  // What a click on the notification-area icon sends.
  bool post_click(UINT mouse_message) const { return post(TRAY_CALLBACK, 0, mouse_message); }

  // The visible popup menu window of Orbel's thread, if one is open.
  HWND open_menu() const {
    for (HWND w : windows_of_class(MENU_CLASS)) {
      if (IsWindowVisible(w) && GetWindowThreadProcessId(w, nullptr) == thread_) return w;
    }
    return nullptr;
  }

  HWND window() const { return window_; }
  HANDLE handle() const { return process_; }
  DWORD pid() const { return pid_; }

 private:
  void stop() {
    if (process_ == nullptr) return;
    DWORD code = 0;
    if (running() && window_ != nullptr && post_close()) wait_for_exit(EXIT_TIMEOUT_MS, &code);
    if (running()) {
      ADD_FAILURE() << "Orbel (PID " << pid_ << ") did not close; terminating it";
      TerminateProcess(process_, 1);
      WaitForSingleObject(process_, KILL_TIMEOUT_MS);
    }
    CloseHandle(process_);
    process_ = nullptr;
  }

  std::wstring exe_;
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  DWORD thread_ = 0;
  HWND window_ = nullptr;
};

}  // namespace orbel_wine
