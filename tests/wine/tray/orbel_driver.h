// The real Orbel.exe as the tray tests drive it: started by the test, found by
// its window, told things through window messages and observed through what
// it stores in the registry. Everything here runs under Wine in the run's
// prefix, as another process of Orbel's session.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orbel_tray {

constexpr const wchar_t* ORBEL_CLASS = L"OrbelWindow";
constexpr const wchar_t* ORBEL_KEY = L"Software\\Orbel";
constexpr const wchar_t* RUN_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* RUN_VALUE = L"Orbel";
constexpr const wchar_t* THEME_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr const wchar_t* THEME_VALUE_LIGHT = L"SystemUsesLightTheme";

// Orbel's notification-area callback message and its menu commands.
constexpr UINT TRAY_CALLBACK = WM_APP + 1;
constexpr WPARAM COMMAND_TOGGLE = 1;

constexpr DWORD START_TIMEOUT_MS = 30000;
constexpr DWORD EXIT_TIMEOUT_MS = 15000;
constexpr DWORD POLL_MS = 50;

template <typename Condition>
bool poll_until(DWORD timeout_ms, Condition condition) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (condition()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(POLL_MS);
  }
}

// A path from the build (Unix, forward slashes) as Wine's processes see it:
// the Unix root is drive Z:.
std::wstring windows_path(const std::string& unix_path);

std::string utf8(const std::wstring& text);

// The value of an environment variable of this process; empty if unset.
std::string environment(const char* name);

std::uint64_t unix_now();

// One stored value of HKCU\Software\Orbel as RegGetValueW reports it, printed
// so that a failure shows type, size and number at once.
std::string stored(const wchar_t* name);
std::string qword(std::uint64_t value);
std::uint64_t stored_number(const wchar_t* name);

struct Session {
  std::uint64_t on;
  std::uint64_t until;
  std::uint64_t hours;
};
void store_session(const Session& s);
void expect_session(const Session& s);

// The Run value as stored: its type and text, or the status of the read.
std::string stored_run_value();

void set_light_theme(bool light);

// Back to a machine Orbel has never run on: no session, no Run value, no
// theme value. The tray tests leave the prefix that way too.
void forget_everything();

// One Orbel.exe started by the test. Whatever happens to the test, the
// process does not outlive this object: it is asked to close, and killed if
// it does not.
class OrbelProcess {
 public:
  OrbelProcess() = default;
  OrbelProcess(const OrbelProcess&) = delete;
  OrbelProcess& operator=(const OrbelProcess&) = delete;
  ~OrbelProcess() { stop(); }

  // Starts Orbel and waits for its window and message loop; false (with a
  // test failure added) if it does not come up.
  bool start();

  bool running() const;
  bool wait_for_exit(DWORD timeout_ms, DWORD* exit_code) const;

  HWND window() const { return window_; }
  DWORD ui_thread() const { return ui_thread_; }

  bool post(UINT message, WPARAM wparam, LPARAM lparam) const;

 private:
  void stop();

  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  HWND window_ = nullptr;
  DWORD ui_thread_ = 0;
};

std::vector<HWND> orbel_windows();

// The popup menu window ("#32768") the thread shows, or null.
HWND open_menu_window(DWORD thread);

// Fails the test (fatally for the caller, which checks HasFatalFailure) when
// the fixture's desktop has no taskbar or an Orbel is already running.
void expect_clean_desktop();

}  // namespace orbel_tray
