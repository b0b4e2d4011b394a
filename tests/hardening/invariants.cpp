#include "invariants.h"

#include <cstring>

#include "power/lid_record.h"
#include "power/power_hold.h"
#include "state/session_state.h"
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

constexpr const char* LID_PLAN = "LidPlan";
constexpr DWORD REG_BINARY_TYPE = 3;
constexpr EXECUTION_STATE HELD = 0x80000003;
constexpr EXECUTION_STATE RELEASED = 0x80000000;

std::string pair_text(winsim::ValueIndexes v) { return std::to_string(v.ac) + "/" + std::to_string(v.dc); }
bool same(winsim::ValueIndexes a, winsim::ValueIndexes b) { return a.ac == b.ac && a.dc == b.dc; }

// The saved pair, when it is a whole backup, and the plan it names (empty
// when it names none: then it belongs to the active plan).
struct SavedLid {
  bool whole;
  winsim::ValueIndexes pair;
  std::string plan;
};

orbel::Stored stored_number(const std::optional<winsim::RegValue>& v) {
  return stored_u64(v).ok ? orbel::Stored::PRESENT : orbel::Stored::MISSING;
}

SavedLid saved_lid() {
  const auto ac = winsim::reg_get(ORBEL_KEY, "LidAC");
  const auto dc = winsim::reg_get(ORBEL_KEY, "LidDC");
  const auto plan = winsim::reg_get(ORBEL_KEY, LID_PLAN);
  const bool plan_ok = plan && plan->type == REG_BINARY_TYPE && plan->data.size() == sizeof(GUID);
  GUID g{};
  if (plan_ok) std::memcpy(&g, plan->data.data(), sizeof g);
  const bool plan_null = plan_ok && std::memcmp(&g, &orbel::NO_PLAN, sizeof g) == 0;
  const orbel::LidRecord record = orbel::lid_record(stored_number(ac), stored_number(dc),
                                                    plan_ok ? orbel::Stored::PRESENT : orbel::Stored::MISSING,
                                                    plan_null);
  SavedLid saved{false, {}, {}};
  if (record == orbel::LidRecord::NONE || stored_number(ac) != orbel::Stored::PRESENT ||
      stored_number(dc) != orbel::Stored::PRESENT)
    return saved;
  saved.whole = true;
  saved.pair = {static_cast<DWORD>(stored_u64(ac).value), static_cast<DWORD>(stored_u64(dc).value)};
  if (record == orbel::LidRecord::OF_PLAN) saved.plan = winsim::trace_text(g);
  return saved;
}

}  // namespace

orbel::StoredNumber stored_u64(const std::optional<winsim::RegValue>& v) {
  const bool whole =
      v && ((v->type == REG_DWORD && v->data.size() == 4) || (v->type == REG_QWORD && v->data.size() == 8));
  return {whole, whole ? little_endian(v->data) : 0};
}

void click_icon() { winsim::post_broadcast(orbel::WM_TRAY_CALLBACK, orbel::TRAY_ICON_ID, WM_LBUTTONUP); }

void choose(std::optional<unsigned> id, std::uint64_t tracking_ms) {
  winsim::script_menu(id, tracking_ms);
  click_icon();
}

void close_program() { winsim::post_broadcast(WM_CLOSE, 0, 0); }

winsim::ValueIndexes lid_of(const GUID& plan) {
  return winsim::setting_indexes(plan, orbel::GUID_SYSTEM_BUTTON_SUBGROUP, orbel::GUID_LIDCLOSE_ACTION);
}

winsim::ValueIndexes active_lid() { return lid_of(winsim::active_plan()); }

void Invariants::remember_plans() {
  for (const GUID& plan : winsim::plan_guids()) users_lids_.emplace(winsim::trace_text(plan), lid_of(plan));
  if (users_active_plan_.empty()) users_active_plan_ = winsim::trace_text(winsim::active_plan());
}

void Invariants::switch_plan(const GUID& plan) {
  winsim::set_active_plan(plan);
  users_active_plan_ = winsim::trace_text(winsim::active_plan());
}

void Invariants::process_starting() {
  faults_at_process_start_ = winsim::fired_faults().size();
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
    check_plan_write(line);
    if (line.rfind("RegSetKeyValueW(", 0) == 0) {
      const auto a = arguments(line);
      const bool own = a.size() == 4 && a[0] == ORBEL_KEY &&
                       ((is_session_value(a[1]) && a[2] == "11" && a[3] == "8") ||
                        (a[1] == LID_PLAN && a[2] == "3" && a[3] == "16"));
      const bool run = a.size() == 4 && a[0] == RUN_KEY && a[1] == "Orbel" && a[2] == "1";
      if (!own && !run) fail("only the defined values are written", line);
    } else if (line.rfind("RegDeleteKeyValueW(", 0) == 0) {
      const auto a = arguments(line);
      const bool own = a.size() == 2 && a[0] == ORBEL_KEY && (a[1] == "LidAC" || a[1] == "LidDC" || a[1] == LID_PLAN);
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
    if (w.key == ORBEL_KEY && w.name == LID_PLAN) {
      GUID g;
      if (w.type == REG_BINARY_TYPE && w.data.size() == sizeof g) {
        std::memcpy(&g, w.data.data(), sizeof g);
        const bool null = std::memcmp(&g, &orbel::NO_PLAN, sizeof g) == 0;
        if (!null && !users_lids_.count(winsim::trace_text(g))) fail("LidPlan names a plan of this machine", what);
      } else {
        fail("LidPlan is a 16-byte GUID", what);
      }
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

// Every plan holds the user's pair, or is overridden with the user's pair
// saved as its own backup: the one whose LidPlan names it, or, with no
// LidPlan, the active plan's.
void Invariants::check_lid() {
  const std::string active_plan = winsim::trace_text(winsim::active_plan());
  if (active_plan != users_active_plan_)
    fail("only the user switches plans", active_plan + " active instead of " + users_active_plan_);
  if (!lid_checked_) return;
  const SavedLid saved = saved_lid();
  const std::string active = winsim::trace_text(winsim::active_plan());
  for (const GUID& plan : winsim::plan_guids()) {
    const std::string name = winsim::trace_text(plan);
    const auto users = users_lids_.find(name);
    if (users == users_lids_.end()) continue;  // created since; not yet remembered
    const winsim::ValueIndexes now = lid_of(plan);
    if (same(now, users->second)) continue;
    const bool its_backup = saved.whole && (saved.plan.empty() ? name == active : saved.plan == name);
    if (its_backup && same(saved.pair, users->second)) continue;
    fail("lid backup never lost", "plan " + name + " at " + pair_text(now) + ", backup " +
                                      (saved.whole ? pair_text(saved.pair) + " of " + saved.plan : "none") +
                                      ", user's " + pair_text(users->second));
  }
}

// A plan only ever gets "do nothing" or its own user's value for that power
// source: never one saved from another plan, nor one made up. (Values given
// back for a backup damaged from outside are not checked: see
// stop_checking_lid.)
void Invariants::check_plan_write(const std::string& line) {
  const bool ac = line.rfind("PowerWriteACValueIndex(", 0) == 0;
  if (!lid_checked_ || (!ac && line.rfind("PowerWriteDCValueIndex(", 0) != 0)) return;
  const auto a = arguments(line);
  if (a.size() != 4) return;
  const auto users = users_lids_.find(a[0]);
  if (users == users_lids_.end()) return;  // created since; not yet remembered
  const std::string own = std::to_string(ac ? users->second.ac : users->second.dc);
  if (a[3] != "0" && a[3] != own) fail("a plan gets only 0 or its own value", line + ", user's " + own);
}

bool Invariants::no_fault_since_last(const std::string& marker) const {
  const auto fired = winsim::fired_faults();
  if (fired.size() == faults_at_process_start_) return true;
  const auto& trace = winsim::trace();
  std::size_t last = trace.size();
  for (std::size_t i = trace.size(); i-- > 0;)
    if (trace[i].rfind(marker, 0) == 0) {
      last = i;
      break;
    }
  if (last == trace.size()) return false;  // not found (or not recorded): cannot tell
  return fired.back().trace_size <= last;
}

// After a release whose calls all succeeded, every plan holds the user's
// pair again and no whole backup is left.
void Invariants::check_release() {
  if (!lid_checked_ || winsim::main_thread_execution_state() != RELEASED) return;
  if (!no_fault_since_last("SetThreadExecutionState(0x80000000)")) return;
  for (const GUID& plan : winsim::plan_guids()) {
    const auto users = users_lids_.find(winsim::trace_text(plan));
    if (users != users_lids_.end() && !same(lid_of(plan), users->second))
      fail("a release gives every plan its pair back", winsim::trace_text(plan) + " at " + pair_text(lid_of(plan)) +
                                                           ", user's " + pair_text(users->second));
  }
  // Half a pair may stay behind a failed delete; it is no backup.
  if (saved_lid().whole) fail("a release leaves no backup", "LidAC and LidDC still stored");
}

// While a session is on, an evaluation whose calls all succeeded leaves the
// active plan at "do nothing".
void Invariants::check_hold() {
  if (!lid_checked_ || !orbel::session.on || winsim::main_thread_execution_state() != HELD) return;
  if (!no_fault_since_last("SetThreadExecutionState(0x80000003)")) return;
  if (!same(active_lid(), {0, 0}))
    fail("a session holds the active plan at 0/0", winsim::trace_text(winsim::active_plan()) + " at " +
                                                       pair_text(active_lid()));
}

void Invariants::check_restored() {
  ++checks_;
  for (const GUID& plan : winsim::plan_guids()) {
    const auto users = users_lids_.find(winsim::trace_text(plan));
    if (users != users_lids_.end() && !same(lid_of(plan), users->second))
      fail("after the session every plan has its own setting", winsim::trace_text(plan) + " at " +
                                                                    pair_text(lid_of(plan)) + ", user's " +
                                                                    pair_text(users->second));
  }
  for (const char* name : {"LidAC", "LidDC", LID_PLAN})
    if (winsim::reg_get(ORBEL_KEY, name)) fail("after the session no backup is left", std::string(name) + " stored");
}

void Invariants::check() {
  ++checks_;
  check_handles();
  check_registry_writes();
  check_lid();
  check_release();
  check_hold();
}

void Invariants::check_run_end(int result, bool may_run_on) {
  winsim::wait_for_threads();
  if (result != 0) fail("main returns 0", "returned " + std::to_string(result));
  if (winsim::run_limit_hit() && !may_run_on) fail("no hang", "the run limit was hit");
  check();
}

}  // namespace hardening
