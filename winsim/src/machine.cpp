#include "machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string_view>

namespace winsim::detail {
namespace {

// Calls whose failure Windows gives the caller nothing to act on, so winsim
// never injects one: clock reads, frees and closes, and messages handed to a
// window procedure or the loop. They still answer a bad argument as Windows
// does (CloseHandle of an unknown handle is FALSE). Their simulations enter
// through enter_cannot_fail.
constexpr std::string_view CALLS_THAT_CANNOT_FAIL[] = {
    "GetSystemTimePreciseAsFileTime",
    "GetLocalTime",
    "CloseHandle",
    "LocalFree",
    "DestroyMenu",
    "DeleteObject",
    "DestroyIcon",
    "InternetCloseHandle",
    "DefWindowProcW",
    "SendMessageW",
    "TranslateMessage",
    "DispatchMessageW",
    "PostQuitMessage",
};

bool listed_as_cannot_fail(std::string_view call) {
  return std::find(std::begin(CALLS_THAT_CANNOT_FAIL), std::end(CALLS_THAT_CANNOT_FAIL), call) !=
         std::end(CALLS_THAT_CANNOT_FAIL);
}

// A mistake in a test or in winsim itself, not a behaviour to simulate:
// the run stops with the reason.
[[noreturn]] void misuse(const std::string& reason) {
  std::fprintf(stderr, "winsim: %s\n", reason.c_str());
  std::fflush(stderr);
  std::abort();
}

void record(Machine& m, const char* name, const std::string& args) {
  if (!m.trace_recording) return;
  m.trace.push_back(std::string(name) + "(" + args + ")");
  if (std::this_thread::get_id() == m.main_thread) m.main_thread_trace.push_back(m.trace.back());
}

// Calls that change what outlives the process: the registry and the power
// plans. A cut may fall inside one of these (the write is lost whole).
constexpr std::string_view WRITE_CALLS[] = {
    "RegSetKeyValueW",        "RegDeleteKeyValueW",     "RegDeleteTreeW",       "PowerWriteACValueIndex",
    "PowerWriteDCValueIndex", "PowerSetActiveScheme",
};

bool is_write_call(std::string_view call) {
  return std::find(std::begin(WRITE_CALLS), std::end(WRITE_CALLS), call) != std::end(WRITE_CALLS);
}

// Once the process has been cut, every call of it ends it at once; before
// that, counts the main thread's calls and fires an armed cut.
void pass_cut(Machine& m, const char* name) {
  if (m.cut_fired) throw ProcessCut{};
  if (std::this_thread::get_id() != m.main_thread) return;
  ++m.main_thread_calls;
  if (m.cut_at == 0 || m.main_thread_calls != m.cut_at) return;
  m.cut_fired = true;
  if (!m.cut_write_lands && is_write_call(name)) throw ProcessCut{};
}

}  // namespace

Machine& machine() {
  static Machine instance;
  return instance;
}

void enter_cannot_fail(const char* name, const std::string& args) {
  if (!listed_as_cannot_fail(name))
    misuse(std::string(name) + " is simulated as a call that cannot fail but is not listed as one");
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  pass_cut(m, name);
  record(m, name, args);
}

bool enter(const char* name, const std::string& args) {
  if (listed_as_cannot_fail(name)) misuse(std::string(name) + " is listed as a call that cannot fail but may fail");
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  pass_cut(m, name);
  record(m, name, args);
  auto fault = m.faults.find(name);
  if (fault == m.faults.end()) return false;
  Fault& f = fault->second;
  if (f.remaining > 1) {
    --f.remaining;
    return false;
  }
  m.fired_faults.push_back(winsim::FiredFault{name, m.trace.size()});
  if (!f.from_then_on) m.faults.erase(fault);
  return true;
}

std::uintptr_t new_handle() {
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  m.next_handle += 4;
  return m.next_handle;
}

std::string utf8(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string utf8(const WCHAR* text) { return utf8(wide(text)); }

std::u16string from_utf8(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    auto b = static_cast<unsigned char>(text[i]);
    std::uint32_t c;
    std::size_t len;
    if (b < 0x80) {
      c = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1Fu;
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0Fu;
      len = 3;
    } else {
      c = b & 0x07u;
      len = 4;
    }
    for (std::size_t k = 1; k < len && i + k < text.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    i += len;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

std::u16string wide(const WCHAR* text) { return text ? std::u16string(text) : std::u16string(); }

std::u16string fold(const std::u16string& text) {
  std::u16string out = text;
  for (auto& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

std::u16string normalise_key_path(const WCHAR* path) {
  std::u16string p = fold(wide(path));
  while (!p.empty() && p.front() == u'\\') p.erase(p.begin());
  while (!p.empty() && p.back() == u'\\') p.pop_back();
  return p;
}

std::string hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
  return buffer;
}

std::string guid_text(const GUID& g) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buffer;
}

}  // namespace winsim::detail

namespace winsim {
using namespace detail;

std::string trace_text(const GUID& guid) { return guid_text(guid); }

namespace {

std::int64_t filetime_of_unix(std::uint64_t seconds) {
  return FILETIME_UNIX_EPOCH + static_cast<std::int64_t>(seconds) * FILETIME_TICKS_PER_S;
}

void start_process(Machine& m) {
  m.main_thread = std::this_thread::get_id();
  m.queue.clear();
  m.quit_pending = false;
  m.quit_code = 0;
  m.fail_loop = false;
  m.run_started_ms = m.uptime_ms;
  m.limit_hit = false;
}
}  // namespace

void reset() {
  // Worker threads use the machine: they end before it is wiped.
  join_threads();
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  reset_registry();
  reset_power();
  reset_kernel();
  reset_devices();
  reset_internet();
  m.filetime = filetime_of_unix(DEFAULT_START_UNIX);
  m.uptime_ms = 0;
  m.events.clear();
  m.process = 1;
  m.next_process = 2;
  m.elevated_processes.clear();
  m.execution_state.clear();
  m.windows.clear();
  m.classes.clear();
  m.timers.clear();
  m.registered_messages.clear();
  m.bitmaps.clear();
  m.icons.clear();
  m.tray.clear();
  m.trace.clear();
  m.main_thread_trace.clear();
  m.trace_recording = true;
  m.registry_writes.clear();
  m.faults.clear();
  m.fired_faults.clear();
  m.run_limit_ms = DEFAULT_RUN_LIMIT_MS;
  m.main_thread_calls = 0;
  m.cut_at = 0;
  m.cut_fired = false;
  start_process(m);
}

void end_process() {
  join_threads();
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  end_windows_of(m.process);
  end_gdi_of(m.process);
  end_kernel_objects_of(m.process);
  end_menus_of(m.process);
  free_local_allocations();
  end_internet_handles();
  m.menu_scripts.clear();
  m.execution_state.clear();
  m.events.clear();
  m.process = m.next_process++;
  // A cut ends one process; the next starts whole.
  m.cut_at = 0;
  m.cut_fired = false;
  start_process(m);
}

int run_as_other_process(const std::function<int()>& body) {
  Machine& m = machine();
  const int outer = m.process;
  const auto outer_thread = m.main_thread;
  const auto outer_state = m.execution_state;
  std::deque<MSG> outer_queue;
  outer_queue.swap(m.queue);
  m.process = m.next_process++;
  const int result = body();
  end_windows_of(m.process);
  end_gdi_of(m.process);
  end_kernel_objects_of(m.process);
  end_menus_of(m.process);
  m.process = outer;
  m.main_thread = outer_thread;
  m.execution_state = outer_state;
  m.queue.swap(outer_queue);
  return result;
}

void set_time_unix(std::uint64_t seconds) { machine().filetime = filetime_of_unix(seconds); }
void set_filetime(std::int64_t value) { machine().filetime = value; }
std::uint64_t time_unix() {
  const std::int64_t t = machine().filetime;
  return t < FILETIME_UNIX_EPOCH ? 0 : static_cast<std::uint64_t>((t - FILETIME_UNIX_EPOCH) / FILETIME_TICKS_PER_S);
}
std::uint64_t uptime_ms() { return machine().uptime_ms; }

void after_ms(std::uint64_t delay_ms, std::function<void()> action) {
  Machine& m = machine();
  m.events.push_back({m.uptime_ms + delay_ms, m.event_sequence++, std::move(action)});
}
void after_s(std::uint64_t delay_s, std::function<void()> action) { after_ms(delay_s * 1000, std::move(action)); }
void fail_message_loop() { machine().fail_loop = true; }
void set_run_limit_ms(std::uint64_t limit) { machine().run_limit_ms = limit; }
bool run_limit_hit() { return machine().limit_hit; }

const std::vector<std::string>& trace() { return machine().trace; }
void clear_trace() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  machine().trace.clear();
  machine().main_thread_trace.clear();
}
std::vector<std::string> trace_of(const std::vector<std::string>& names) {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  std::vector<std::string> out;
  for (const auto& line : machine().trace) {
    const std::string call = line.substr(0, line.find('('));
    if (std::find(names.begin(), names.end(), call) != names.end()) out.push_back(line);
  }
  return out;
}
std::size_t count_calls(const std::string& name) { return trace_of({name}).size(); }
void set_trace_recording(bool on) {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  machine().trace_recording = on;
}

bool can_fail(const std::string& call) { return !listed_as_cannot_fail(call); }

bool is_write(const std::string& call) { return is_write_call(call); }

void cut_after_call(std::size_t nth, bool write_lands) {
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  m.cut_at = m.main_thread_calls + nth;
  m.cut_write_lands = write_lands;
  m.cut_fired = false;
}
bool cut_happened() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  return machine().cut_fired;
}
std::vector<std::string> main_thread_trace() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  return machine().main_thread_trace;
}
std::size_t main_thread_calls() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  return machine().main_thread_calls;
}

void fail_call(const std::string& name, unsigned nth, bool from_then_on) {
  if (!can_fail(name))
    misuse("fail_call(\"" + name + "\"): Windows gives the caller of " + name +
           " no failure to act on, so winsim never fails it (ask can_fail first)");
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  machine().faults[name] = Fault{nth == 0 ? 1 : nth, from_then_on};
}
std::vector<FiredFault> fired_faults() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  return machine().fired_faults;
}

}  // namespace winsim
