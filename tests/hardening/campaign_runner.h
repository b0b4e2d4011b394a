// The fault campaign's runner: one scenario run as it is, with one call
// failing, or with odd data, by a Driver that starts the scenario's
// processes and checks the invariants after each run and between messages.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "invariants.h"

namespace campaign {

using hardening::Invariants;

constexpr winsim::ValueIndexes USERS_LID{2, 3};
constexpr std::uint64_t PROBE_INTERVAL_S = 300;
constexpr std::uint64_t RUN_LIMIT_MS = hardening::DAY_S * 1000;  // no process of a scenario runs half as long
constexpr EXECUTION_STATE HELD = 0x80000003;
constexpr EXECUTION_STATE RELEASED = 0x80000000;
// A failed check is dated back by a day less an hour, so the next one comes
// an hour later; the first check starts at the first tick (20 s) and has
// finished a second later; odd data meant for a running process comes 10 s
// into it.
constexpr std::uint64_t FAILED_CHECK_BACKDATE_S = hardening::DAY_S - hardening::HOUR_S;
constexpr std::uint64_t FIRST_CHECK_DONE_S = 21;
constexpr std::uint64_t ODD_DATA_WHILE_RUNNING_S = 10;

struct Fault {
  std::string call;
  unsigned nth;
  bool from_then_on;
};

std::string describe(const Fault& f);

// The process ends right after the main thread's `nth` call (a power cut, a
// kill); for a write, `lands` says whether that write still happened.
struct Cut {
  std::size_t nth;
  bool lands;
  std::string call;  // what the call was, for the report
};

std::string describe(const Cut& c);

// Odd data one run meets, applied through winsim before the first process
// starts or ten seconds into it.
struct OddData {
  std::string label;
  std::function<void()> apply;              // registry, power status, module path
  std::string session_value;                // "On", "Until" or "Hours" when it is one of those
  std::optional<winsim::HttpScript> http;   // the answer to every update check
  std::optional<winsim::ValueIndexes> lid;  // the user's lid-close pair instead of USERS_LID
  bool while_running = false;
  // The start of a trace line that shows the program reading this datum; a
  // scenario that never reads it (after it is applied) is not run with it.
  std::string read_by;
  // Overwrites the saved lid-close pair itself: from then on nobody can
  // give the user's setting back, so that invariant is not asked for.
  bool clobbers_lid_backup = false;
};

struct Outcome {
  bool on;
  std::uint64_t until;
  std::uint32_t hours;
  bool update_available;
};

// What the fault-free run of a scenario did.
struct Baseline {
  std::vector<std::string> trace;
  std::size_t trace_size_before_odd_data = 0;
  std::vector<Outcome> outcomes;
  std::map<std::string, std::size_t> calls_before_first_check_probe;
  std::vector<std::string> main_thread_trace;  // what the cuts are counted by
};

struct RunConfig {
  std::optional<Fault> fault;
  std::optional<Cut> cut;
  const OddData* odd = nullptr;
  const Baseline* baseline = nullptr;  // null in the fault-free run
};

// Runs the processes of one scenario and checks them.
class Driver {
 public:
  explicit Driver(const RunConfig& config);

  bool plain() const { return !config_.fault && !config_.odd && !config_.cut; }

  // The answer to the next update check; `succeeds` when it names a version.
  void http(const winsim::HttpScript& script, bool succeeds);

  // One process: `script` schedules its events; at `end_s` it is asked to
  // quit, and once more a minute later in case a fault swallowed that.
  void process(const std::function<void()>& script, std::uint64_t end_s);

  // The process is gone (crash or quit); a new one starts over the same
  // registry after `downtime_s` of wall-clock time.
  void restart(std::uint64_t downtime_s = 0);

  // The scenario's own expectations, meaningful only when nothing was made
  // to fail.
  void expect(bool ok, const std::string& what);

  std::uint64_t start() const { return start_; }
  void switch_plan(const GUID& plan) { invariants_.switch_plan(plan); }
  std::vector<std::string> take_violations() { return invariants_.take_violations(); }
  const std::vector<Outcome>& outcomes() const { return outcomes_; }
  const std::map<std::string, std::size_t>& calls_before_first_check_probe() const { return calls_before_probe_; }
  std::size_t trace_size_before_odd_data() const { return trace_size_before_odd_data_; }
  std::size_t checks() const { return invariants_.checks(); }

  // After a cut: the stored session is checked, then Orbel starts again
  // over what was left, as at the next logon, until the stored session is
  // over and one more start has run.
  void after_cut();

 private:
  // A start after a cut: runs `seconds`, then ends without a release when
  // `crash`, or quits.
  void start_again(std::uint64_t seconds, bool crash, const std::function<void()>& at_start);
  // The session the registry holds now stands for the one before the
  // commit the cut fell into or the one after it.
  void check_session_after_cut();

  void before_first_process();

  void schedule_probe();

  // Which of On, Until and Hours the first process must have loaded as the
  // default: a failed read or odd data gives "on", no end and no duration.
  std::set<std::string> defaults_expected() const;

  void check_loaded_defaults();

  bool fault_fails_first_check() const;

  // The first evaluation (at the first tick, or earlier through a power
  // broadcast) starts the first check; by now its worker has finished.
  void check_first_update_check();

  void check_first_outcome();

  RunConfig config_;
  Invariants invariants_;
  std::vector<Outcome> outcomes_;
  std::map<std::string, std::size_t> calls_before_probe_;
  std::size_t processes_ = 0;
  std::size_t trace_size_before_odd_data_ = 0;
  std::size_t http_answers_ = 0;
  bool first_check_succeeds_ = false;
  std::uint64_t start_ = 0;
  std::optional<winsim::RegValue> initial_session_[3];  // On, Until, Hours as the first process found them
};

struct Scenario {
  const char* name;
  void (*body)(Driver&);
};
// How test output names a scenario.
inline void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

// What one scenario's campaign found: its plain run, a cut after every call
// of it (both ways for a write), every occurrence of every call that can
// fail made to fail once and from then on, and every odd datum it reads.
struct Totals {
  std::size_t runs = 0;
  std::size_t call_sites = 0;
  std::set<std::string> calls;
  std::size_t cuts = 0;
  std::size_t faults_injected = 0;
  std::size_t odd_runs = 0;
  std::size_t checks = 0;
  std::vector<std::string> violations;  // "fault | invariant: detail"
};
// Every cut and every fault, or (`sample`) a fixed share of them: every
// write's cuts, and the first, second and last occurrence of each call.
Totals run_campaign(const Scenario& scenario, const std::vector<OddData>& odd, bool sample);

}  // namespace campaign
