// The simulated machine behind winsim's Win32 calls: one global record, as a
// single Windows session with one user would hold it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "winsim/control.h"

namespace winsim::detail {

// FILETIME counts 100-nanosecond ticks since 1601-01-01 UTC.
constexpr std::int64_t FILETIME_TICKS_PER_MS = 10000;
constexpr std::int64_t FILETIME_TICKS_PER_S = 1000 * FILETIME_TICKS_PER_MS;
// 1970-01-01 UTC, where Unix time starts, as a FILETIME (11644473600 s).
constexpr std::int64_t FILETIME_UNIX_EPOCH = 116444736000000000;

// An error code Windows returns that Orbel never names, so windows.h lacks it.
constexpr DWORD ERROR_INVALID_HANDLE = 6;

// Virtual time after which a run that has not ended is given up.
constexpr std::uint64_t DEFAULT_RUN_LIMIT_MS = 400ull * 86400 * 1000;

struct RegistryValue {
  std::u16string name;  // as first written
  DWORD type;
  std::vector<std::uint8_t> data;
};
struct RegistryKey {
  std::map<std::u16string, RegistryValue> values;  // by folded name
};

struct PowerPlan {
  std::string name;
  GUID guid;
  std::map<std::string, ValueIndexes> settings;  // by subgroup+setting bytes
};

struct Window {
  std::u16string class_name;  // folded
  WNDPROC proc;
  int process;
  bool alive;
  // Messages the window takes from a lower integrity level
  // (ChangeWindowMessageFilterEx); they matter only while its process is
  // elevated.
  std::set<UINT> allowed_from_lower = {};
};

struct Timer {
  HWND window;
  UINT_PTR id;
  std::uint64_t interval_ms;
  std::uint64_t due_ms;
};

struct ScriptedEvent {
  std::uint64_t due_ms;
  std::uint64_t sequence;
  std::function<void()> action;
};

struct Bitmap {
  int width;
  int height;
  UINT bits_per_pixel;
  std::vector<std::uint8_t> bits;
  int process;
};

struct Icon {
  int width;
  int height;
  std::vector<std::uint8_t> color;  // 32-bit rows, top first (empty if not 32 bpp)
  int process;
};

struct Fault {
  unsigned remaining;
  bool from_then_on;
};

struct Machine {
  std::recursive_mutex lock;  // trace, faults and allocations may be touched by worker threads

  std::map<std::u16string, RegistryKey> registry;  // by folded path, no leading or trailing backslash
  std::vector<PowerPlan> plans;
  std::size_t active_plan = 0;
  std::uint32_t plans_created = 0;
  std::set<const void*> local_allocations;

  std::atomic<std::int64_t> filetime{0};
  std::uint64_t uptime_ms = 0;
  std::uint64_t run_limit_ms = DEFAULT_RUN_LIMIT_MS;
  std::uint64_t run_started_ms = 0;
  bool limit_hit = false;
  std::vector<ScriptedEvent> events;
  std::uint64_t event_sequence = 0;

  int process = 1;
  int next_process = 2;
  std::set<int> elevated_processes;
  std::thread::id main_thread;
  std::map<std::thread::id, EXECUTION_STATE> execution_state;

  std::map<std::uintptr_t, Window> windows;
  std::map<std::pair<int, std::u16string>, WNDPROC> classes;
  std::deque<MSG> queue;
  bool quit_pending = false;
  int quit_code = 0;
  bool fail_loop = false;
  std::vector<Timer> timers;
  std::map<std::u16string, UINT> registered_messages;

  std::map<std::u16string, int> mutexes;                           // name -> open handles
  std::map<std::uintptr_t, std::pair<int, std::u16string>> mutex_handles;  // handle -> process, name
  std::map<std::uintptr_t, int> thread_handles;                    // handle -> process

  std::map<std::uintptr_t, Bitmap> bitmaps;
  std::map<std::uintptr_t, Icon> icons;
  std::vector<TrayIcon> tray;

  std::uintptr_t next_handle = 0x1000;

  SYSTEM_POWER_STATUS power_status{};
  std::int64_t local_offset_s = 0;
  std::u16string module_path;
  POINT cursor{};

  struct Menu {
    std::vector<MenuEntry> entries;
    int process;
  };
  struct MenuScript {
    std::optional<UINT> id;
    std::uint64_t tracking_ms;
  };
  std::map<std::uintptr_t, Menu> menus;
  std::deque<MenuScript> menu_scripts;
  std::vector<TrackedMenu> tracked;
  std::vector<ShellExecution> executions;

  std::vector<std::string> trace;
  std::vector<std::string> main_thread_trace;  // the main thread's lines of it
  bool trace_recording = true;
  std::vector<RegWrite> registry_writes;
  std::map<std::string, Fault> faults;
  std::vector<winsim::FiredFault> fired_faults;

  // Cuts: calls the main thread made since reset, the one after which the
  // process ends (0: none armed), and whether that has happened.
  std::size_t main_thread_calls = 0;
  std::size_t cut_at = 0;
  bool cut_write_lands = true;
  bool cut_fired = false;
};

Machine& machine();

// Records the call in the trace and says whether an injected fault makes it
// fail this time.
[[nodiscard]] bool enter(const char* name, const std::string& args = std::string());
// Records a call that Windows gives its caller no failure to act on (a clock
// read, a free, a dispatch): no fault is ever injected into it. It must be
// one of machine.cpp's CALLS_THAT_CANNOT_FAIL.
void enter_cannot_fail(const char* name, const std::string& args = std::string());

std::uintptr_t new_handle();
std::string utf8(const WCHAR* text);
std::string utf8(const std::u16string& text);
std::u16string from_utf8(const std::string& text);
std::u16string wide(const WCHAR* text);  // NULL gives ""
std::u16string fold(const std::u16string& text);  // case folding as the registry and window manager do (ASCII)
std::u16string normalise_key_path(const WCHAR* path);
std::string hex(std::uint64_t value);
std::string guid_text(const GUID& guid);

void set_last_error(DWORD code);

// Lifecycle hooks of the separate parts of the machine.
void reset_registry();
void reset_power();
// The memory of a process that ended goes with it.
void free_local_allocations();
void reset_kernel();
void end_windows_of(int process);
// Whether a message from a process at the user's medium integrity level
// reaches `window`: always, unless the window's process is elevated and its
// message filter does not let `message` through.
bool passes_integrity_filter(HWND window, UINT message);
void end_gdi_of(int process);
void end_kernel_objects_of(int process);
void end_menus_of(int process);
void reset_devices();
void reset_internet();
// The handles of a process that ended close with it (a worker cut off in the
// middle of an update check never closes its own).
void end_internet_handles();
// Waits until every thread started through CreateThread has ended.
void join_threads();
// Runs due timers and scripted events until the monotonic clock reaches
// `until_ms`, dispatching WM_TIMER directly (a modal loop's way).
void run_modal_until(std::uint64_t until_ms);

}  // namespace winsim::detail
