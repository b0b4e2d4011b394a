// What must hold after anything the program meets: no leaked handle, only
// the program's own registry values in their own shape, and the user's
// lid-close setting never lost while the plan is overridden. Shared by the
// fault campaign and the soak, together with a way of driving the program
// that makes no traced call of its own (so a fault armed for the program
// can never hit the driver instead).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "state/stored_session.h"
#include "winsim/control.h"

namespace hardening {

constexpr const char* ORBEL_KEY = "Software\\Orbel";
constexpr const char* RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* THEME_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr const char* THEME_VALUE = "SystemUsesLightTheme";
constexpr std::uint64_t HOUR_S = 3600;
constexpr std::uint64_t DAY_S = 86400;

// The shell's notification for a click on the icon, as post_broadcast sends
// it: no traced call.
void click_icon();
// The user picks `id` from the next menu (or dismisses it) after
// `tracking_ms`, having clicked the icon.
void choose(std::optional<unsigned> id, std::uint64_t tracking_ms = 0);
// WM_CLOSE to every top-level window: an outsider asks the program to quit.
void close_program();

// A stored number as the program reads it: whole only as a 4-byte REG_DWORD
// or an 8-byte REG_QWORD.
orbel::StoredNumber stored_u64(const std::optional<winsim::RegValue>& v);

// The active plan's lid-close pair.
winsim::ValueIndexes active_lid();
winsim::ValueIndexes lid_of(const GUID& plan);

class Invariants {
 public:
  // Takes the lid-close pair of every plan not seen before as the user's
  // own: once the machine is set up, before the program ever runs, and for
  // each plan the user creates later.
  void remember_plans();
  winsim::ValueIndexes users_lid(const GUID& plan) const { return users_lids_.at(winsim::trace_text(plan)); }
  // The user makes another plan active; the program never does.
  void switch_plan(const GUID& plan);

  // Before a process starts: the "Hours" it will load may be written back
  // as it was loaded, whatever its size.
  void process_starting();

  // Between messages or after a run: handles, registry writes so far, the
  // lid backup.
  void check();

  // After orbel::main returned (threads joined): its result and the run
  // limit, then everything check() looks at. A run whose window could not
  // be destroyed at all may end only at the run limit; `may_run_on` says so.
  void check_run_end(int result, bool may_run_on = false);

  // Once a start has run after the stored session ended (or was stored as
  // off): every plan has its user's setting and nothing of a backup is left.
  void check_restored();

  // Once something outside the program destroyed the saved pair.
  void stop_checking_lid() { lid_checked_ = false; }

  void fail(const std::string& invariant, const std::string& detail);
  std::vector<std::string> take_violations();
  std::size_t checks() const { return checks_; }
  std::size_t failures() const { return failures_; }  // every breach, repeats included

 private:
  void check_handles();
  void check_registry_writes();
  void check_plan_write(const std::string& line);
  void check_lid();
  void check_release();
  void check_hold();
  // No fault made a call fail since the trace line that starts with
  // `marker` was last recorded (or in this process at all).
  bool no_fault_since_last(const std::string& marker) const;

  std::map<std::string, winsim::ValueIndexes> users_lids_;  // by the plan's trace text
  std::size_t faults_at_process_start_ = 0;
  std::string users_active_plan_;
  bool lid_checked_ = true;
  std::optional<std::uint32_t> loadable_hours_;
  std::size_t trace_seen_ = 0;
  std::size_t writes_seen_ = 0;
  std::size_t checks_ = 0;
  std::size_t failures_ = 0;
  std::set<std::string> reported_;  // one line per invariant and run is enough
  std::vector<std::string> violations_;
};

}  // namespace hardening
