#include "invariants.h"

#include <cstring>

#include "power/power_hold.h"
#include "tray/tray_icon.h"

namespace hardening {
namespace {

std::string hex_bytes(const std::vector<std::uint8_t>& data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < data.size() && i < 16; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return data.size() > 16 ? out + "..." : out;
}

std::uint64_t little_endian(const std::vector<std::uint8_t>& data) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < data.size() && i < 8; ++i) value |= static_cast<std::uint64_t>(data[i]) << (8 * i);
  return value;
}

// "Name(a, b, c)" -> {"a", "b", "c"}
std::vector<std::string> arguments(const std::string& line) {
  std::vector<std::string> out;
  const std::size_t open = line.find('(');
  std::string inner = line.substr(open + 1, line.size() - open - 2);
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = inner.find(", ", start);
    out.push_back(inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) break;
    start = comma + 2;
  }
  return out;
}

bool is_session_value(const std::string& name) {
  for (const char* v : {"On", "Until", "Hours", "LidAC", "LidDC"})
    if (name == v) return true;
  return false;
}

}  // namespace

void click_icon() { winsim::post_broadcast(orbel::WM_TRAY_CALLBACK, orbel::TRAY_ICON_ID, WM_LBUTTONUP); }

void choose(std::optional<unsigned> id, std::uint64_t tracking_ms) {
  winsim::script_menu(id, tracking_ms);
  click_icon();
}

void close_program() { winsim::post_broadcast(WM_CLOSE, 0, 0); }

winsim::ValueIndexes active_lid() {
  return winsim::setting_indexes(winsim::active_plan(), orbel::GUID_SYSTEM_BUTTON_SUBGROUP,
                                 orbel::GUID_LIDCLOSE_ACTION);
}

void Invariants::process_starting() {
  loadable_hours_.reset();
  const auto hours = winsim::reg_get(ORBEL_KEY, "Hours");
  if (hours && (hours->type == REG_DWORD || hours->type == REG_QWORD) && hours->data.size() <= 8)
    loadable_hours_ = static_cast<std::uint32_t>(little_endian(hours->data));
}

void Invariants::fail(const std::string& invariant, const std::string& detail) {
  ++failures_;
  if (!reported_.insert(invariant).second) return;
  violations_.push_back(invariant + ": " + detail);
}

std::vector<std::string> Invariants::take_violations() {
  std::vector<std::string> out;
  out.swap(violations_);
  reported_.clear();
  return out;
}

void Invariants::check_handles() {
  if (winsim::live_bitmaps() != 0) fail("no bitmap left", std::to_string(winsim::live_bitmaps()) + " alive");
  if (winsim::live_icons() > 1) fail("at most one icon", std::to_string(winsim::live_icons()) + " alive");
  if (winsim::live_menus() != 0) fail("no menu left", std::to_string(winsim::live_menus()) + " alive");
  if (winsim::outstanding_local_allocations() != 0)
    fail("plan GUID freed", std::to_string(winsim::outstanding_local_allocations()) + " outstanding");
  if (winsim::open_internet_handles() != 0)
    fail("internet handles closed", std::to_string(winsim::open_internet_handles()) + " open");
  const auto problems = winsim::internet_handle_problems();
  if (!problems.empty()) fail("internet handles closed once, request first", problems.front());
  if (winsim::open_thread_handles() != 0)
    fail("thread handles closed", std::to_string(winsim::open_thread_handles()) + " open");
  // The single-instance mutex is the one handle kept for the process's life.
  if (winsim::open_kernel_handles() > 1)
    fail("only the mutex handle open", std::to_string(winsim::open_kernel_handles()) + " kernel handles");
}

void Invariants::check_registry_writes() {
  // Every write the program attempted, failed ones included.
  const auto& trace = winsim::trace();
  if (trace.size() < trace_seen_) trace_seen_ = 0;  // the trace was cleared
  for (; trace_seen_ < trace.size(); ++trace_seen_) {
    const std::string& line = trace[trace_seen_];
    if (line.rfind("RegDeleteTreeW(", 0) == 0) fail("no key deleted", line);
    if (line.rfind("RegSetKeyValueW(", 0) == 0) {
      const auto a = arguments(line);
      const bool own = a.size() == 4 && a[0] == ORBEL_KEY && is_session_value(a[1]) && a[2] == "11" && a[3] == "8";
      const bool run = a.size() == 4 && a[0] == RUN_KEY && a[1] == "Orbel" && a[2] == "1";
      if (!own && !run) fail("only the defined values are written", line);
    } else if (line.rfind("RegDeleteKeyValueW(", 0) == 0) {
      const auto a = arguments(line);
      const bool own = a.size() == 2 && a[0] == ORBEL_KEY && (a[1] == "LidAC" || a[1] == "LidDC");
      const bool run = a.size() == 2 && a[0] == RUN_KEY && a[1] == "Orbel";
      if (!own && !run) fail("only the defined values are deleted", line);
    }
  }
  // What the registry took, with its data (recorded even with the trace off).
  const auto writes = winsim::registry_writes();
  for (; writes_seen_ < writes.size(); ++writes_seen_) {
    const winsim::RegWrite& w = writes[writes_seen_];
    const std::string what = w.key + "\\" + w.name + " type " + std::to_string(w.type) + " data " + hex_bytes(w.data);
    if (w.key == RUN_KEY && w.name == "Orbel") {
      if (w.type != REG_SZ) fail("Run value is a string", what);
      continue;
    }
    if (w.key != ORBEL_KEY || !is_session_value(w.name) || w.type != REG_QWORD || w.data.size() != 8) {
      fail("only the defined values are stored", what);
      continue;
    }
    const std::uint64_t value = little_endian(w.data);
    if (w.name == "On" && value > 1) fail("stored On is 0 or 1", what);
    if (w.name == "Hours" && value > 8 && (!loadable_hours_ || value != *loadable_hours_))
      fail("stored Hours is at most 8 unless loaded so", what);
  }
}

void Invariants::check_lid() {
  if (!lid_checked_) return;
  const winsim::ValueIndexes plan = active_lid();
  if (plan.ac == original_lid_.ac && plan.dc == original_lid_.dc) return;
  const auto ac = winsim::reg_get_qword(ORBEL_KEY, "LidAC");
  const auto dc = winsim::reg_get_qword(ORBEL_KEY, "LidDC");
  if (ac == original_lid_.ac && dc == original_lid_.dc) return;
  auto text = [](const std::optional<std::uint64_t>& v) { return v ? std::to_string(*v) : std::string("none"); };
  fail("lid backup never lost", "plan " + std::to_string(plan.ac) + "/" + std::to_string(plan.dc) + ", LidAC " +
                                    text(ac) + ", LidDC " + text(dc) + ", user's " + std::to_string(original_lid_.ac) +
                                    "/" + std::to_string(original_lid_.dc));
}

void Invariants::check() {
  ++checks_;
  check_handles();
  check_registry_writes();
  check_lid();
}

void Invariants::check_run_end(int result, bool may_run_on) {
  winsim::wait_for_threads();
  if (result != 0) fail("main returns 0", "returned " + std::to_string(result));
  if (winsim::run_limit_hit() && !may_run_on) fail("no hang", "the run limit was hit");
  check();
}

}  // namespace hardening
