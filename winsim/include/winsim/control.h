// winsim's side door for tests: reset the simulated machine, script events on
// the virtual clock, inspect what the program left behind, read the call
// trace and make named calls fail.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "winsim/windows.h"

namespace winsim {

// ---- machine and process lifecycle ----
// A fresh machine: empty registry, the default power plans, the clock at
// DEFAULT_START_UNIX, no windows, no tray icons, an empty trace, no faults.
void reset();
constexpr std::uint64_t DEFAULT_START_UNIX = 1796126400;  // 2026-12-01 12:00:00 UTC

// Ends the current simulated process as the kernel would (its handles are
// closed, its windows, timers, queued messages and tray icons vanish, its
// execution-state requests lapse) and starts a fresh one. The registry,
// power plans, clock and registered message numbers are kept.
void end_process();

// Runs `body` as a different process of the same Windows session (used to
// start a second copy of the program while the first one is running).
int run_as_other_process(const std::function<int()>& body);

// ---- virtual clock and scripted events ----
void set_time_unix(std::uint64_t seconds);           // wall clock, whole seconds
void set_filetime(std::int64_t hundred_ns_since_1601);  // wall clock, raw
std::uint64_t time_unix();
std::uint64_t uptime_ms();  // monotonic; timers and scripted events run on it
// Runs `action` inside GetMessageW when the queue is idle and the monotonic
// clock reaches `delay_ms` from now. Events at the same time run in the
// order they were added.
void after_ms(std::uint64_t delay_ms, std::function<void()> action);
void after_s(std::uint64_t delay_s, std::function<void()> action);
// The next GetMessageW returns -1, as after a broken message queue: the
// program's loop ends without any clean-up (a crash, for the stored state).
void fail_message_loop();
// A run that would otherwise wait for ever (no timer, no event) or passes
// this much virtual time ends with GetMessageW returning -1 and is flagged.
void set_run_limit_ms(std::uint64_t limit);
bool run_limit_hit();

// ---- call trace ----
// One line per call: "Name(arg, arg, ...)" with the key arguments.
const std::vector<std::string>& trace();
void clear_trace();
// Lines whose call name is one of `names`, in order.
std::vector<std::string> trace_of(const std::vector<std::string>& names);
std::size_t count_calls(const std::string& name);
// A GUID as trace lines write it: "{381B4222-F694-41F0-9685-FF5BB260DF2E}".
std::string trace_text(const GUID& guid);
// Long runs may stop recording (reset() turns it back on). Calls still count
// towards injected faults, and registry_writes() keeps recording.
void set_trace_recording(bool on);

// ---- fault injection ----
// Whether winsim can make `call` fail. It cannot for the calls whose failure
// Windows gives the caller nothing to act on: clock reads, frees and closes,
// and messages handed to a window procedure or the loop (GetLocalTime,
// CloseHandle, DispatchMessageW and the like).
bool can_fail(const std::string& call);
// The `nth` call of `name` from now on fails (once), or every call from the
// nth on (`from_then_on`). Each call fails the way Windows documents. Asking
// this of a call that cannot fail is a mistake in the test: winsim says so
// on stderr and aborts the run.
void fail_call(const std::string& name, unsigned nth = 1, bool from_then_on = false);
// Every injected fault that made a call fail since reset(), in order, with
// the size the trace had then (the failed call is the line before it, while
// the trace records).
struct FiredFault {
  std::string call;
  std::size_t trace_size;
};
std::vector<FiredFault> fired_faults();

// ---- cuts: the process ends between two of its calls ----
// A power cut, a kill from Task Manager or a logoff that does not wait ends
// the program after any call. Armed here, the process ends right after the
// `nth` call its main thread makes from now on has returned: from then on
// every call the program makes (on any thread) throws ProcessCut at once,
// before it does anything, so nothing the program did after that call
// reaches the machine. The test catches ProcessCut around the program's
// main and goes on with end_process(), which also disarms the cut. With
// `write_lands` false, a cut that falls on a write (is_write) ends the
// process as that call starts: the write is lost whole, as the registry and
// the power store keep each single write whole or not at all.
// Unwinding runs the program's destructors; any of them that reached
// Windows would throw again and end the test run, so that shows too.
struct ProcessCut {};
void cut_after_call(std::size_t nth, bool write_lands = true);
bool cut_happened();
// Calls the main thread has made since reset(); worker threads' calls are
// not counted (they interleave by the host's scheduling, and write nothing
// that outlives the process).
std::size_t main_thread_calls();
// The trace lines of the main thread's calls alone, in order (recorded with
// the trace): the calls a cut counts, and what a commit's writes are
// between, whatever a worker did meanwhile.
std::vector<std::string> main_thread_trace();
// Registry and power-plan writes: what a cut may lose.
bool is_write(const std::string& call);

// ---- registry (HKEY_CURRENT_USER) ----
struct RegValue {
  DWORD type;
  std::vector<std::uint8_t> data;
};
std::optional<RegValue> reg_get(const std::string& key, const std::string& name);
std::optional<std::uint64_t> reg_get_qword(const std::string& key, const std::string& name);
bool reg_key_exists(const std::string& key);
void reg_set(const std::string& key, const std::string& name, DWORD type, std::vector<std::uint8_t> data);
void reg_set_qword(const std::string& key, const std::string& name, std::uint64_t value);
void reg_set_dword(const std::string& key, const std::string& name, std::uint32_t value);
void reg_set_sz(const std::string& key, const std::string& name, const std::string& utf8);
void reg_delete(const std::string& key, const std::string& name);
std::vector<std::string> reg_value_names(const std::string& key);
// Every value RegSetKeyValueW stored since reset(), in order, with the key
// and name as the caller spelled them.
struct RegWrite {
  std::string key;
  std::string name;
  DWORD type;
  std::vector<std::uint8_t> data;
};
std::vector<RegWrite> registry_writes();

// ---- power plans ----
struct ValueIndexes {
  DWORD ac;
  DWORD dc;
};
// reset() installs three plans, "Balanced" (active), "High performance" and
// "Power saver", each with the lid-close setting at AC 1 / DC 1.
GUID plan_guid(const std::string& name);
std::vector<GUID> plan_guids();
// The user creates a plan (as from a template in the control panel) with
// this lid-close pair; it gets a GUID of its own.
GUID create_plan(const std::string& name, ValueIndexes lid);
// The user deletes a plan; as on Windows, the active plan cannot be deleted
// (false). A deleted plan is unknown to every power call from then on.
bool delete_plan(const GUID& plan);
void set_active_plan(const GUID& plan);
GUID active_plan();
ValueIndexes setting_indexes(const GUID& plan, const GUID& subgroup, const GUID& setting);
void set_setting_indexes(const GUID& plan, const GUID& subgroup, const GUID& setting, ValueIndexes indexes);
// The last value handed to SetThreadExecutionState by the process's main
// thread (0 when it never called, or after its process ended).
EXECUTION_STATE main_thread_execution_state();
std::size_t outstanding_local_allocations();

// ---- windows, tray and GDI ----
HWND find_window(const std::string& class_name);
std::size_t live_windows();
bool is_window(HWND window);
struct TrayIcon {
  HWND window;
  UINT id;
  UINT callback_message;
  std::u16string tip;
  std::vector<std::uint8_t> pixels;  // the shell's copy of the icon: 32-bit BGRA rows, top first
  int width;
  int height;
};
std::vector<TrayIcon> tray_icons();
// Explorer restarts: its icons are gone and "TaskbarCreated" is posted to
// every top-level window that takes it from Explorer's integrity level
// (post_from_unelevated).
void restart_shell();

// ---- integrity levels ----
// The current process runs elevated (high integrity) from now on, as after
// "Run as administrator"; reset() and every new process: not elevated. The
// shell and every other process winsim stands for run at the user's medium
// level. As User Interface Privilege Isolation does, a message posted from
// there to a window of an elevated process is dropped unless that window's
// ChangeWindowMessageFilterEx lets it through. Windows also lets some
// messages below WM_USER through unconditionally but does not list them;
// winsim lets none through, so a program's filter is what its test sees.
void set_elevated(bool elevated);
// Posts as a process at medium integrity would (the shell's notification
// icon callback, an unelevated installer's WM_CLOSE): false when the
// message is dropped.
bool post_from_unelevated(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void post_broadcast(UINT message, WPARAM wparam, LPARAM lparam);
std::size_t live_bitmaps();
std::size_t live_icons();

// ---- battery ----
// reset() gives mains power with no battery (ACLineStatus 1, charge 255).
// Each change is broadcast as WM_POWERBROADCAST / PBT_APMPOWERSTATUSCHANGE
// to every top-level window, as Windows does.
void set_power_status(BYTE ac_line_status, BYTE battery_percent);
// Every field as given, broadcast the same way.
void set_system_power_status(const SYSTEM_POWER_STATUS& status);

// ---- local time ----
// Local time = UTC + this offset (seconds, may be negative). reset(): 0.
void set_local_offset_s(std::int64_t offset);

// ---- executable path ----
// What GetModuleFileNameW reports for the program; any length. reset():
// C:\Program Files\App\app.exe.
void set_module_path(const std::u16string& path);

// ---- popup menus ----
struct MenuEntry {
  UINT flags;
  UINT_PTR id;
  std::u16string text;
};
struct TrackedMenu {
  std::vector<MenuEntry> entries;
  int x;
  int y;
};
// What the next TrackPopupMenu does: the user takes `tracking_ms` (timers
// and scripted events falling due meanwhile run, as they do in a modal menu
// loop), then picks `id` (posted to the owner as WM_COMMAND) or, with no
// id, dismisses the menu. Without a script a menu is dismissed at once.
void script_menu(std::optional<UINT> id, std::uint64_t tracking_ms = 0);
std::vector<TrackedMenu> tracked_menus();
std::size_t live_menus();
void set_cursor_pos(int x, int y);

// ---- shell ----
struct ShellExecution {
  std::u16string operation;
  std::u16string file;
  bool has_parameters;
  bool has_directory;
  int show;
  bool has_owner;
};
std::vector<ShellExecution> shell_executions();

// ---- threads ----
// CreateThread runs a real thread. Background threads take no virtual time:
// GetMessageW and a menu's modal loop wait for every running thread before
// they move the clock, and so does the end of a process. Tests wait here.
void wait_for_threads();
// Kernel handles the current process holds open: named mutexes and thread
// handles; and the thread handles alone (each must be closed by its maker).
std::size_t open_kernel_handles();
std::size_t open_thread_handles();

// ---- WinINet ----
// What the next InternetOpenUrlW meets. Without a script every open fails
// as with no network.
struct HttpScript {
  bool open_fails = false;        // InternetOpenW returns NULL
  bool connect_fails = false;     // InternetOpenUrlW returns NULL (no network, DNS, TLS)
  bool status_query_fails = false;
  DWORD status = 200;
  std::string body;
  std::size_t chunk = 1024;       // most bytes one InternetReadFile delivers
  std::optional<std::size_t> fail_read_after;  // reads fail once this many bytes were delivered
};
void script_http(HttpScript script);
struct HttpRequestRecord {
  std::u16string agent;
  DWORD access_type;
  bool proxy_given;
  std::u16string url;
  DWORD flags;
  std::size_t bytes_delivered;
};
std::vector<HttpRequestRecord> http_requests();
// Handle accounting: every handle opened must be closed exactly once, a
// request before its root. Each breach is one line here.
std::vector<std::string> internet_handle_problems();
std::size_t open_internet_handles();

}  // namespace winsim
