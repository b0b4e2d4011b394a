#include "campaign_runner.h"

#include "state/stored_session.h"

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

const std::set<std::string> UPDATE_CHECK_CALLS = {"CreateThread", "InternetOpenW", "InternetOpenUrlW", "HttpQueryInfoW",
                                                  "InternetReadFile"};

struct RunResult {
  std::vector<std::string> violations;
  Baseline baseline;
  std::size_t checks;
};

const char* const SESSION_VALUES[] = {"On", "Until", "Hours"};

bool is_session_write(const std::string& line) {
  for (const char* name : SESSION_VALUES)
    if (line.rfind(std::string("RegSetKeyValueW(Software\\Orbel, ") + name + ",", 0) == 0) return true;
  return false;
}

// What stored values stand for, end time not yet applied.
orbel::LoadedSession decode(const std::optional<winsim::RegValue> (&values)[3]) {
  using hardening::stored_u64;
  return orbel::session_from_stored(stored_u64(values[0]), stored_u64(values[1]), stored_u64(values[2]), 0);
}

bool operator==(const orbel::LoadedSession& a, const orbel::LoadedSession& b) {
  return a.on == b.on && a.until == b.until && a.hours == b.hours;
}

std::string describe(const orbel::LoadedSession& s) {
  return "on " + std::to_string(s.on) + ", until " + std::to_string(s.until) + ", hours " + std::to_string(s.hours);
}

RunResult run_scenario(const Scenario& s, const RunConfig& config) {
  scenario::fresh_machine();
  winsim::set_run_limit_ms(RUN_LIMIT_MS);
  const winsim::ValueIndexes lid = config.odd && config.odd->lid ? *config.odd->lid : USERS_LID;
  scenario::set_lid(scenario::balanced(), lid.ac, lid.dc);
  // Without a fault nothing needs the call numbering, and registry_writes()
  // still shows every value stored.
  if (config.odd) winsim::set_trace_recording(false);
  if (config.cut) winsim::cut_after_call(config.cut->nth, config.cut->lands);
  Driver driver(config);
  try {
    s.body(driver);
  } catch (const winsim::ProcessCut&) {
    driver.after_cut();
  }
  RunResult r;
  r.violations = driver.take_violations();
  r.checks = driver.checks();
  if (!config.baseline) {
    r.baseline.trace = winsim::trace();
    r.baseline.outcomes = driver.outcomes();
    r.baseline.calls_before_first_check_probe = driver.calls_before_first_check_probe();
    r.baseline.trace_size_before_odd_data = driver.trace_size_before_odd_data();
    r.baseline.main_thread_trace = winsim::main_thread_trace();
  }
  return r;
}

bool reads(const Baseline& baseline, const OddData& d) {
  const std::size_t from = d.while_running ? baseline.trace_size_before_odd_data : 0;
  for (std::size_t i = from; i < baseline.trace.size(); ++i)
    if (baseline.trace[i].rfind(d.read_by, 0) == 0) return true;
  return false;
}

// Every occurrence of every call that can fail, failed once and failed from
// then on; or the sample: the first, second and last occurrence.
std::vector<Fault> faults_of(const std::vector<std::string>& trace, std::set<std::string>& names, bool sample) {
  std::map<std::string, unsigned> counts;
  for (const std::string& line : trace) ++counts[call_name(line)];
  std::vector<Fault> faults;
  for (const auto& [name, count] : counts) {
    names.insert(name);
    if (!winsim::can_fail(name)) continue;
    for (unsigned nth = 1; nth <= count; ++nth) {
      if (sample && nth > 2 && nth != count) continue;
      faults.push_back({name, nth, false});
      faults.push_back({name, nth, true});
    }
  }
  return faults;
}

// A cut after every call of the main thread, and for a write a second one
// that loses it; or the sample: every write's cuts and every
// CUT_SAMPLE_STRIDE-th other call's.
constexpr std::size_t CUT_SAMPLE_STRIDE = 16;

std::vector<Cut> cuts_of(const std::vector<std::string>& main_thread_trace, bool sample) {
  std::vector<Cut> cuts;
  for (std::size_t i = 0; i < main_thread_trace.size(); ++i) {
    const std::string call = call_name(main_thread_trace[i]);
    const bool write = winsim::is_write(call);
    if (sample && !write && (i + 1) % CUT_SAMPLE_STRIDE != 0) continue;
    cuts.push_back({i + 1, true, call});
    if (write) cuts.push_back({i + 1, false, call});
  }
  return cuts;
}

}  // namespace

std::string describe(const Cut& c) {
  return "cut after call " + std::to_string(c.nth) + " (" + c.call + (c.lands ? ")" : ", lost)");
}

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
  if (first)
    for (std::size_t i = 0; i < 3; ++i) initial_session_[i] = winsim::reg_get(hardening::ORBEL_KEY, SESSION_VALUES[i]);
  invariants_.process_starting();
  start_ = winsim::time_unix();
  // Scripted events run inside the program's GetMessageW: one that falls
  // due in the very call a cut comes after meets a process already gone.
  winsim::after_ms(0, [this, first] {
    if (winsim::cut_happened()) return;
    if (first) check_loaded_defaults();
    invariants_.check();
  });
  if (first)
    winsim::after_s(FIRST_CHECK_DONE_S, [this] {
      if (!winsim::cut_happened()) check_first_update_check();
    });
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
  // A cut after the process's last call: it ended all the same.
  if (winsim::cut_happened()) throw winsim::ProcessCut{};
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

void Driver::after_cut() {
  check_session_after_cut();
  scenario::next_process();
  invariants_.check();
  // The next logon: Orbel starts over what the cut left and runs a minute;
  // that process too ends without a release.
  start_again(45, true, nullptr);
  scenario::next_process();
  // The session is over by the start after it: its end time has passed, or
  // it was stored as off (as the uninstall does for an open-ended one).
  std::optional<winsim::RegValue> values[3];
  for (std::size_t i = 0; i < 3; ++i) values[i] = winsim::reg_get(hardening::ORBEL_KEY, SESSION_VALUES[i]);
  const orbel::LoadedSession stored = decode(values);
  if (stored.on && stored.until != 0 && winsim::time_unix() < stored.until) winsim::set_time_unix(stored.until);
  if (stored.on && stored.until == 0) winsim::reg_set_qword(hardening::ORBEL_KEY, "On", 0);
  start_again(5, false, [this] { invariants_.check_restored(); });
}

void Driver::start_again(std::uint64_t seconds, bool crash, const std::function<void()>& at_start) {
  invariants_.process_starting();
  winsim::after_ms(0, [this] { invariants_.check(); });
  if (at_start) winsim::after_s(1, at_start);
  winsim::after_s(seconds, crash ? std::function<void()>(winsim::fail_message_loop) : hardening::close_program);
  winsim::after_s(seconds + 60, hardening::close_program);
  invariants_.check_run_end(scenario::run_orbel());
}

void Driver::check_session_after_cut() {
  const std::vector<std::string> lines = winsim::main_thread_trace();
  if (lines.empty() || !is_session_write(lines.back())) return;  // not inside a commit
  // Replays the registry's session values up to the cut, noting what they
  // stood for when the last commit began.
  std::optional<winsim::RegValue> values[3] = {initial_session_[0], initial_session_[1], initial_session_[2]};
  const std::vector<winsim::RegWrite> writes = winsim::registry_writes();
  std::size_t next_write = 0;
  orbel::LoadedSession before = decode(values);
  bool in_commit = false;
  for (const std::string& line : lines) {
    const bool session_write = is_session_write(line);
    if (session_write && !in_commit) before = decode(values);
    in_commit = session_write;
    if (line.rfind("RegSetKeyValueW(", 0) != 0) continue;
    if (next_write >= writes.size()) return;  // a write that did not land: cannot tell
    const winsim::RegWrite& w = writes[next_write++];
    for (std::size_t i = 0; i < 3; ++i)
      if (w.key == hardening::ORBEL_KEY && w.name == SESSION_VALUES[i]) values[i] = winsim::RegValue{w.type, w.data};
  }
  for (std::size_t i = 0; i < 3; ++i) values[i] = winsim::reg_get(hardening::ORBEL_KEY, SESSION_VALUES[i]);
  const orbel::LoadedSession now = decode(values);
  const orbel::LoadedSession after{orbel::session.on, orbel::session.until, orbel::session.hours};
  if (!(now == before) && !(now == after))
    invariants_.fail("a cut commit loads as the session before it or after it",
                     describe(now) + "; before " + describe(before) + ", after " + describe(after));
}

void Driver::before_first_process() {
  const OddData* odd = config_.odd;
  if (odd && odd->http && http_answers_ == 0) winsim::script_http(*odd->http);
  if (odd && !odd->while_running && odd->apply) odd->apply();
  if (config_.fault) winsim::fail_call(config_.fault->call, config_.fault->nth, config_.fault->from_then_on);
}

void Driver::schedule_probe() {
  winsim::after_s(PROBE_INTERVAL_S, [this] {
    if (winsim::cut_happened()) return;
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
    // The reads of the first load that fail: the nth read of the fault-free
    // run, or every read from it on.
    std::size_t seen = 0;
    for (const std::string& line : config_.baseline->trace) {
      if (line.rfind("CreateWindowExW(", 0) == 0) break;
      if (call_name(line) != "RegGetValueW") continue;
      ++seen;
      if (seen != config_.fault->nth && !(config_.fault->from_then_on && seen > config_.fault->nth)) continue;
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

Totals run_campaign(const Scenario& s, const std::vector<OddData>& odd, bool sample) {
  Totals t;
  RunResult plain = run_scenario(s, RunConfig{});
  ++t.runs;
  t.checks += plain.checks;
  for (auto& v : plain.violations) t.violations.push_back("none | " + v);
  t.call_sites += plain.baseline.trace.size();
  for (const Cut& c : cuts_of(plain.baseline.main_thread_trace, sample)) {
    RunConfig config;
    config.cut = c;
    config.baseline = &plain.baseline;
    RunResult r = run_scenario(s, config);
    ++t.runs;
    ++t.cuts;
    t.checks += r.checks;
    for (auto& v : r.violations) t.violations.push_back(describe(c) + " | " + v);
  }
  for (const Fault& f : faults_of(plain.baseline.trace, t.calls, sample)) {
    RunResult r = run_scenario(s, RunConfig{f, std::nullopt, nullptr, &plain.baseline});
    ++t.runs;
    ++t.faults_injected;
    t.checks += r.checks;
    for (auto& v : r.violations) t.violations.push_back(describe(f) + " | " + v);
  }
  for (const OddData& d : odd) {
    if (!reads(plain.baseline, d)) continue;
    RunResult r = run_scenario(s, RunConfig{std::nullopt, std::nullopt, &d, &plain.baseline});
    ++t.runs;
    ++t.odd_runs;
    t.checks += r.checks;
    for (auto& v : r.violations) t.violations.push_back(d.label + " | " + v);
  }
  return t;
}

}  // namespace campaign
