// The real Orbel.exe as the Windows-tier tests drive it: started by the test,
// found by its window, told things through window messages and observed
// through what it stores in the registry. Everything here runs under Wine in
// the run's prefix, as another process of Orbel's session. Shared by the
// end-to-end, tray, soak and update programs (the library orbel_wine_driver).
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orbel_wine {

constexpr const wchar_t* ORBEL_CLASS = L"OrbelWindow";
constexpr const wchar_t* ORBEL_KEY = L"Software\\Orbel";
constexpr const wchar_t* RUN_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* RUN_VALUE = L"Orbel";
constexpr const wchar_t* THEME_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr const wchar_t* THEME_VALUE_LIGHT = L"SystemUsesLightTheme";

// Orbel's notification-area callback message, its icon's id (the shell
// passes it in wParam) and its menu commands.
constexpr UINT TRAY_CALLBACK = WM_APP + 1;
constexpr WPARAM TRAY_ICON_ID = 1;
constexpr WORD COMMAND_TOGGLE = 1;
constexpr WORD COMMAND_DURATION_BASE = 10;  // + hours
constexpr WORD COMMAND_AUTOSTART = 30;

constexpr DWORD START_TIMEOUT_MS = 30000;
constexpr DWORD EXIT_TIMEOUT_MS = 15000;
constexpr DWORD POLL_MS = 20;

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

// Orbel.exe in the build tree, as Wine's processes see it.
std::wstring orbel_exe();

std::string utf8(const std::wstring& text);

std::uint64_t unix_now();

// One registry value of HKCU as RegGetValueW reports it, with up to 8 bytes
// of data.
struct StoredValue {
  LSTATUS status = ERROR_SUCCESS;
  DWORD type = 0;
  DWORD size = 0;
  std::uint64_t value = 0;
};
StoredValue read_value(const wchar_t* key, const wchar_t* name);
bool value_exists(const wchar_t* key, const wchar_t* name);
// Printed so that a failure shows type, size and number at once.
std::string describe(const StoredValue& v);

// One value of HKCU\Software\Orbel, described.
std::string stored(const wchar_t* name);
std::string qword(std::uint64_t value);
// The value as a REG_QWORD; all ones when it is not one.
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

// Each removes what an earlier run left and fails the test (fatally, for a
// SetUp) when it cannot.
void forget_session();
void forget_run_value();
// Back to a machine Orbel has never run on: no session, no Run value, no
// theme value.
void forget_everything();

// Every Orbel window of the session, whoever started it.
std::vector<HWND> orbel_windows();

// Fails the test fatally when the run's desktop has no taskbar or an Orbel is
// already running.
void expect_clean_desktop();

// A test that starts on the run's desktop with no Orbel running, on a
// machine Orbel has never run on, and leaves the machine that way.
class FreshMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    expect_clean_desktop();
    if (HasFatalFailure()) return;
    forget_everything();
  }
  void TearDown() override { forget_everything(); }
};

// One Orbel.exe started by the test. Whatever happens to the test, the
// process does not outlive this object: an open menu is closed, the window is
// asked to close, and the process is killed if it does not.
class OrbelProcess {
 public:
  OrbelProcess() = default;
  // Another copy of Orbel.exe than the build's, e.g. one with a stand-in DLL
  // beside it.
  explicit OrbelProcess(std::wstring exe) : exe_(std::move(exe)) {}
  OrbelProcess(const OrbelProcess&) = delete;
  OrbelProcess& operator=(const OrbelProcess&) = delete;
  ~OrbelProcess() { stop(); }

  // Starts Orbel and waits for its window and message loop; false (with a
  // test failure added) if it does not come up.
  bool start();
  // Only creates the process: for a copy expected to exit without a window.
  bool create_process();

  // Whether the window's thread takes a sent message within the timeout.
  // Never call this while its menu is open: the menu's loop holds the thread.
  bool answers(DWORD timeout_ms) const;

  bool running() const;
  // The exit code, or false when the process is still running at the timeout.
  bool wait_for_exit(DWORD timeout_ms, DWORD* exit_code) const;
  // Ends the process at once, as a crash would: none of Orbel's code runs.
  // Whether it is gone.
  bool kill() const;

  bool post(UINT message, WPARAM wparam, LPARAM lparam) const;
  bool post_close() const { return post(WM_CLOSE, 0, 0); }
  // Returns once Orbel has handled the message, as Windows delivers
  // WM_POWERBROADCAST; false when it has not within the timeout.
  bool send(UINT message, WPARAM wparam, LPARAM lparam, DWORD timeout_ms) const;
  // What a click on the notification-area icon sends (WM_LBUTTONUP,
  // WM_RBUTTONUP). Posted, as the shell does: Orbel tracks the menu inside
  // that message, so a send would not return before the menu closes.
  bool post_click(UINT mouse) const { return post(TRAY_CALLBACK, TRAY_ICON_ID, static_cast<LPARAM>(mouse)); }

  // The visible popup menu window ("#32768") of Orbel's UI thread, or null.
  HWND open_menu() const;
  // Closes the open menu, if any; whether none is open now.
  bool close_menu() const;

  HWND window() const { return window_; }
  DWORD ui_thread() const { return ui_thread_; }
  HANDLE handle() const { return process_; }
  DWORD pid() const { return pid_; }

 private:
  bool wait_until_ready();
  void stop();

  std::wstring exe_ = orbel_exe();
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  HWND window_ = nullptr;
  DWORD ui_thread_ = 0;
};

}  // namespace orbel_wine
