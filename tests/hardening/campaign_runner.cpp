#include "campaign_runner.h"

namespace campaign {
namespace {

std::string call_name(const std::string& line) { return line.substr(0, line.find('(')); }

bool operator==(const Outcome& a, const Outcome& b) {
  return a.on == b.on && a.until == b.until && a.hours == b.hours && a.update_available == b.update_available;
}

std::string describe(const Outcome& o) {
  return "on " + std::to_string(o.on) + ", until " + std::to_string(o.until) + ", hours " + std::to_string(o.hours) +
         ", update " + std::to_string(o.update_available);
}

// Failures of these calls change nothing the session record holds: the
// first process must end in the state the fault-free run ended in.
const std::set<std::string> CALLS_THAT_FEED_NO_STATE = {
    "CreateMutexW",
    "RegisterWindowMessageW",
    "SetThreadExecutionState",
    "PowerGetActiveScheme",
    "PowerReadACValueIndex",
    "PowerReadDCValueIndex",
    "PowerWriteACValueIndex",
    "PowerWriteDCValueIndex",
    "PowerSetActiveScheme",
    "RegSetKeyValueW",
    "RegDeleteKeyValueW",
    "Shell_NotifyIconW",
    "CreateBitmap",
    "CreateIconIndirect",
    "ShellExecuteW",
    "AppendMenuW",
    "GetCursorPos",
    "SetForegroundWindow",
    "PostMessageW",
    "GetModuleFileNameW",
};

// Calls that winsim gives no failure mode, as Windows leaves their caller
// nothing to do about one (a clock read, a free, a dispatch): arming a fault
// on them would rerun the scenario unchanged.
const std::set<std::string> CALLS_THAT_CANNOT_FAIL = {"GetSystemTimePreciseAsFileTime",
                                                      "GetLocalTime",
                                                      "CloseHandle",
                                                      "LocalFree",
                                                      "DefWindowProcW",
                                                      "SendMessageW",
                                                      "TranslateMessage",
                                                      "DispatchMessageW",
                                                      "PostQuitMessage",
                                                      "DestroyMenu",
                                                      "DeleteObject",
                                                      "DestroyIcon",
                                                      "InternetCloseHandle"};

const std::set<std::string> UPDATE_CHECK_CALLS = {"CreateThread", "InternetOpenW", "InternetOpenUrlW", "HttpQueryInfoW",
                                                  "InternetReadFile"};

struct RunResult {
  std::vector<std::string> violations;
  Baseline baseline;
  std::size_t checks;
};

RunResult run_scenario(const Scenario& s, const RunConfig& config) {
  scenario::fresh_machine();
  winsim::set_run_limit_ms(RUN_LIMIT_MS);
  const winsim::ValueIndexes lid = config.odd && config.odd->lid ? *config.odd->lid : USERS_LID;
  scenario::set_lid(scenario::balanced(), lid.ac, lid.dc);
  // Without a fault nothing needs the call numbering, and registry_writes()
  // still shows every value stored.
  if (config.odd) winsim::set_trace_recording(false);
  Driver driver(config);
  s.body(driver);
  RunResult r;
  r.violations = driver.take_violations();
  r.checks = driver.checks();
  if (!config.baseline) {
    r.baseline.trace = winsim::trace();
    r.baseline.outcomes = driver.outcomes();
    r.baseline.calls_before_first_check_probe = driver.calls_before_first_check_probe();
    r.baseline.trace_size_before_odd_data = driver.trace_size_before_odd_data();
  }
  return r;
}

bool reads(const Baseline& baseline, const OddData& d) {
  const std::size_t from = d.while_running ? baseline.trace_size_before_odd_data : 0;
  for (std::size_t i = from; i < baseline.trace.size(); ++i)
    if (baseline.trace[i].rfind(d.read_by, 0) == 0) return true;
  return false;
}

std::vector<Fault> sampled_faults(const std::vector<std::string>& trace, std::set<std::string>& names) {
  std::map<std::string, unsigned> counts;
  for (const std::string& line : trace) ++counts[call_name(line)];
  std::vector<Fault> faults;
  for (const auto& [name, count] : counts) {
    names.insert(name);
    if (CALLS_THAT_CANNOT_FAIL.count(name)) continue;
    std::set<unsigned> nths = {1, 2, 3, (count + 1) / 2, count};
    for (unsigned nth : nths)
      if (nth >= 1 && nth <= count) faults.push_back({name, nth, false});
    faults.push_back({name, 1, true});
  }
  return faults;
}

}  // namespace

std::string describe(const Fault& f) {
  return f.call + (f.from_then_on ? " from call " : " call ") + std::to_string(f.nth) + (f.from_then_on ? " on" : "");
}

Driver::Driver(const RunConfig& config) : config_(config) { invariants_.remember_plans(); }

// The answer to the next update check; `succeeds` when it names a version.
void Driver::http(const winsim::HttpScript& script, bool succeeds) {
  if (http_answers_++ == 0) first_check_succeeds_ = succeeds && !(config_.odd && config_.odd->http);
  winsim::script_http(config_.odd && config_.odd->http ? *config_.odd->http : script);
}

// One process: `script` schedules its events; at `end_s` it is asked to
// quit, and once more a minute later in case a fault swallowed that.
void Driver::process(const std::function<void()>& script, std::uint64_t end_s) {
  const bool first = processes_ == 0;
  if (first) before_first_process();
  invariants_.process_starting();
  start_ = winsim::time_unix();
  winsim::after_ms(0, [this, first] {
    if (first) check_loaded_defaults();
    invariants_.check();
  });
  if (first) winsim::after_s(FIRST_CHECK_DONE_S, [this] { check_first_update_check(); });
  if (first && plain())
    winsim::after_s(ODD_DATA_WHILE_RUNNING_S, [this] { trace_size_before_odd_data_ = winsim::trace().size(); });
  if (first && config_.odd && config_.odd->while_running && config_.odd->apply)
    winsim::after_s(ODD_DATA_WHILE_RUNNING_S, [this] {
      config_.odd->apply();
      if (config_.odd->clobbers_lid_backup) invariants_.stop_checking_lid();
    });
  schedule_probe();
  script();
  winsim::after_s(end_s, hardening::close_program);
  winsim::after_s(end_s + 60, hardening::close_program);
  const int result = scenario::run_orbel();
  const bool may_run_on = config_.fault && config_.fault->call == "DestroyWindow" && config_.fault->from_then_on;
  invariants_.check_run_end(result, may_run_on);
  outcomes_.push_back(
      Outcome{orbel::session.on, orbel::session.until, orbel::session.hours, orbel::session.update_available.load()});
  if (first) check_first_outcome();
  ++processes_;
}

// The process is gone (crash or quit); a new one starts over the same
// registry after `downtime_s` of wall-clock time.
void Driver::restart(std::uint64_t downtime_s) {
  scenario::next_process();
  invariants_.check();
  if (downtime_s) winsim::set_time_unix(winsim::time_unix() + downtime_s);
}

// The scenario's own expectations, meaningful only when nothing was made
// to fail.
void Driver::expect(bool ok, const std::string& what) {
  if (plain() && !ok) invariants_.fail("scenario: " + what, "not so");
}

void Driver::before_first_process() {
  const OddData* odd = config_.odd;
  if (odd && odd->http && http_answers_ == 0) winsim::script_http(*odd->http);
  if (odd && !odd->while_running && odd->apply) odd->apply();
  if (config_.fault) winsim::fail_call(config_.fault->call, config_.fault->nth, config_.fault->from_then_on);
}

void Driver::schedule_probe() {
  winsim::after_s(PROBE_INTERVAL_S, [this] {
    invariants_.check();
    schedule_probe();
  });
}

// Which of On, Until and Hours the first process must have loaded as the
// default: a failed read or odd data gives "on", no end and no duration.
std::set<std::string> Driver::defaults_expected() const {
  std::set<std::string> out;
  if (config_.odd && !config_.odd->while_running && !config_.odd->session_value.empty())
    out.insert(config_.odd->session_value);
  if (config_.fault && config_.fault->call == "RegGetValueW" && config_.baseline) {
    if (config_.fault->from_then_on) return {"On", "Until", "Hours"};
    // The nth read of the fault-free run, if it is part of the first load.
    std::size_t seen = 0;
    for (const std::string& line : config_.baseline->trace) {
      if (line.rfind("CreateWindowExW(", 0) == 0) break;
      if (call_name(line) != "RegGetValueW" || ++seen != config_.fault->nth) continue;
      for (const char* value : {"On", "Until", "Hours"})
        if (line.rfind(std::string("RegGetValueW(Software\\Orbel, ") + value + ",", 0) == 0) out.insert(value);
    }
  }
  return out;
}

void Driver::check_loaded_defaults() {
  const auto expected = defaults_expected();
  if (expected.empty()) return;
  const std::string what = config_.fault ? describe(*config_.fault) : config_.odd->label;
  if (expected.count("On") && !orbel::session.on)
    invariants_.fail("a missing or odd On loads as on", "off after " + what);
  if (expected.count("Until") && orbel::session.until != 0)
    invariants_.fail("a missing or odd Until loads as no end",
                     "until " + std::to_string(orbel::session.until) + " after " + what);
  if (expected.count("Hours") && orbel::session.hours != 0)
    invariants_.fail("a missing or odd Hours loads as none",
                     "hours " + std::to_string(orbel::session.hours) + " after " + what);
}

bool Driver::fault_fails_first_check() const {
  if (!config_.fault || !UPDATE_CHECK_CALLS.count(config_.fault->call) || !config_.baseline) return false;
  const auto& before = config_.baseline->calls_before_first_check_probe;
  const auto it = before.find(config_.fault->call);
  const std::size_t reached = it == before.end() ? 0 : it->second;
  // A read after the first one only meets the end of a body that is
  // already complete.
  if (config_.fault->call == "InternetReadFile") return reached >= 1 && config_.fault->nth == 1;
  return config_.fault->nth <= reached;
}

// The first evaluation (at the first tick, or earlier through a power
// broadcast) starts the first check; by now its worker has finished.
void Driver::check_first_update_check() {
  if (!config_.baseline)
    for (const std::string& line : winsim::trace()) ++calls_before_probe_[call_name(line)];
  const std::uint64_t last = orbel::session.last_update_check.load();
  if (last == 0) return;  // nothing has evaluated yet (no timer)
  const bool fails = !first_check_succeeds_ || fault_fails_first_check();
  if (fails) {
    if (last + FAILED_CHECK_BACKDATE_S < start_ || last + FAILED_CHECK_BACKDATE_S > start_ + FIRST_CHECK_DONE_S)
      invariants_.fail("a failed check is retried an hour later",
                       "last check " + std::to_string(last) + ", start " + std::to_string(start_));
    if (orbel::session.update_available.load()) invariants_.fail("a failed check reports no update", "update shown");
  } else if (last < start_ || last > start_ + FIRST_CHECK_DONE_S) {
    invariants_.fail("a successful check waits a day",
                     "last check " + std::to_string(last) + ", start " + std::to_string(start_));
  }
}

void Driver::check_first_outcome() {
  if (!config_.fault || !config_.baseline || !CALLS_THAT_FEED_NO_STATE.count(config_.fault->call)) return;
  if (config_.baseline->outcomes.empty()) return;
  const Outcome& expected = config_.baseline->outcomes.front();
  if (!(outcomes_.front() == expected))
    invariants_.fail("a failed call that feeds no state changes no state",
                     describe(outcomes_.front()) + " instead of " + describe(expected));
}

Totals run_campaign(const Scenario& s, const std::vector<OddData>& odd) {
  Totals t;
  RunResult plain = run_scenario(s, RunConfig{});
  t.checks += plain.checks;
  for (auto& v : plain.violations) t.violations.push_back("none | " + v);
  t.call_sites += plain.baseline.trace.size();
  for (const Fault& f : sampled_faults(plain.baseline.trace, t.calls)) {
    RunResult r = run_scenario(s, RunConfig{f, nullptr, &plain.baseline});
    ++t.faults_injected;
    t.checks += r.checks;
    for (auto& v : r.violations) t.violations.push_back(describe(f) + " | " + v);
  }
  for (const OddData& d : odd) {
    if (!reads(plain.baseline, d)) continue;
    RunResult r = run_scenario(s, RunConfig{std::nullopt, &d, &plain.baseline});
    ++t.odd_runs;
    t.checks += r.checks;
    for (auto& v : r.violations) t.violations.push_back(d.label + " | " + v);
  }
  return t;
}

}  // namespace campaign
