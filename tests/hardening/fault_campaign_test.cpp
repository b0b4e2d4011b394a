// A fault campaign over whole runs of the program. Every scenario runs once
// as it is, recording the operating-system calls it reaches; then again once
// per sampled call with that call failing, and once per kind of odd data the
// system can hand back. After each run (and between messages, every few
// virtual minutes) the same invariants must hold.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>

#include "harness.h"
#include "invariants.h"
#include "tray/menu_model.h"

namespace {

using scenario::no_network;
using scenario::serving;

using hardening::choose;
using hardening::HOUR_S;
using hardening::Invariants;

constexpr winsim::ValueIndexes USERS_LID{2, 3};
constexpr std::uint64_t PROBE_INTERVAL_S = 300;
constexpr std::uint64_t RUN_LIMIT_MS = hardening::DAY_S * 1000;  // no process of a scenario runs half as long
constexpr EXECUTION_STATE HELD = 0x80000003;
constexpr EXECUTION_STATE RELEASED = 0x80000000;

struct Fault {
  std::string call;
  unsigned nth;
  bool from_then_on;
};

std::string describe(const Fault& f) {
  return f.call + (f.from_then_on ? " from call " : " call ") + std::to_string(f.nth) + (f.from_then_on ? " on" : "");
}

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

bool operator==(const Outcome& a, const Outcome& b) {
  return a.on == b.on && a.until == b.until && a.hours == b.hours && a.update_available == b.update_available;
}

std::string describe(const Outcome& o) {
  return "on " + std::to_string(o.on) + ", until " + std::to_string(o.until) + ", hours " + std::to_string(o.hours) +
         ", update " + std::to_string(o.update_available);
}

// What the fault-free run of a scenario did.
struct Baseline {
  std::vector<std::string> trace;
  std::size_t trace_size_at_10_s = 0;
  std::vector<Outcome> outcomes;
  std::map<std::string, std::size_t> calls_before_first_check_probe;
};

std::string call_name(const std::string& line) { return line.substr(0, line.find('(')); }

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

struct RunConfig {
  std::optional<Fault> fault;
  const OddData* odd = nullptr;
  const Baseline* baseline = nullptr;  // null in the fault-free run
};

// Runs the processes of one scenario and checks them.
class Driver {
 public:
  explicit Driver(const RunConfig& config)
      : config_(config) {
    invariants_.remember_plans();
  }

  bool plain() const { return !config_.fault && !config_.odd; }

  // The answer to the next update check; `succeeds` when it names a version.
  void http(const winsim::HttpScript& script, bool succeeds) {
    if (http_answers_++ == 0) first_check_succeeds_ = succeeds && !(config_.odd && config_.odd->http);
    winsim::script_http(config_.odd && config_.odd->http ? *config_.odd->http : script);
  }

  // One process: `script` schedules its events; at `end_s` it is asked to
  // quit, and once more a minute later in case a fault swallowed that.
  void process(const std::function<void()>& script, std::uint64_t end_s) {
    const bool first = processes_ == 0;
    if (first) before_first_process();
    invariants_.process_starting();
    start_ = winsim::time_unix();
    winsim::after_ms(0, [this, first] {
      if (first) check_loaded_defaults();
      invariants_.check();
    });
    if (first) winsim::after_s(21, [this] { check_first_update_check(); });
    if (first && plain()) winsim::after_s(10, [this] { trace_size_at_10_s_ = winsim::trace().size(); });
    if (first && config_.odd && config_.odd->while_running && config_.odd->apply)
      winsim::after_s(10, [this] {
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
  void restart(std::uint64_t downtime_s = 0) {
    scenario::next_process();
    invariants_.check();
    if (downtime_s) winsim::set_time_unix(winsim::time_unix() + downtime_s);
  }

  // The scenario's own expectations, meaningful only when nothing was made
  // to fail.
  void expect(bool ok, const std::string& what) {
    if (plain() && !ok) invariants_.fail("scenario: " + what, "not so");
  }

  std::uint64_t start() const { return start_; }
  void switch_plan(const GUID& plan) { invariants_.switch_plan(plan); }
  std::vector<std::string> take_violations() { return invariants_.take_violations(); }
  const std::vector<Outcome>& outcomes() const { return outcomes_; }
  const std::map<std::string, std::size_t>& calls_before_first_check_probe() const { return calls_before_probe_; }
  std::size_t trace_size_at_10_s() const { return trace_size_at_10_s_; }
  std::size_t checks() const { return invariants_.checks(); }

 private:
  void before_first_process() {
    const OddData* odd = config_.odd;
    if (odd && odd->http && http_answers_ == 0) winsim::script_http(*odd->http);
    if (odd && !odd->while_running && odd->apply) odd->apply();
    if (config_.fault) winsim::fail_call(config_.fault->call, config_.fault->nth, config_.fault->from_then_on);
  }

  void schedule_probe() {
    winsim::after_s(PROBE_INTERVAL_S, [this] {
      invariants_.check();
      schedule_probe();
    });
  }

  // Which of On, Until and Hours the first process must have loaded as the
  // default: a failed read or odd data gives "on", no end and no duration.
  std::set<std::string> defaults_expected() const {
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

  void check_loaded_defaults() {
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

  bool fault_fails_first_check() const {
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
  void check_first_update_check() {
    if (!config_.baseline)
      for (const std::string& line : winsim::trace()) ++calls_before_probe_[call_name(line)];
    const std::uint64_t last = orbel::session.last_update_check.load();
    if (last == 0) return;  // nothing has evaluated yet (no timer)
    const bool fails = !first_check_succeeds_ || fault_fails_first_check();
    if (fails) {
      if (last + 82800 < start_ || last + 82800 > start_ + 21)
        invariants_.fail("a failed check is retried an hour later",
                         "last check " + std::to_string(last) + ", start " + std::to_string(start_));
      if (orbel::session.update_available.load()) invariants_.fail("a failed check reports no update", "update shown");
    } else if (last < start_ || last > start_ + 21) {
      invariants_.fail("a successful check waits a day",
                       "last check " + std::to_string(last) + ", start " + std::to_string(start_));
    }
  }

  void check_first_outcome() {
    if (!config_.fault || !config_.baseline || !CALLS_THAT_FEED_NO_STATE.count(config_.fault->call)) return;
    if (config_.baseline->outcomes.empty()) return;
    const Outcome& expected = config_.baseline->outcomes.front();
    if (!(outcomes_.front() == expected))
      invariants_.fail("a failed call that feeds no state changes no state",
                       describe(outcomes_.front()) + " instead of " + describe(expected));
  }

  RunConfig config_;
  Invariants invariants_;
  std::vector<Outcome> outcomes_;
  std::map<std::string, std::size_t> calls_before_probe_;
  std::size_t processes_ = 0;
  std::size_t trace_size_at_10_s_ = 0;
  std::size_t http_answers_ = 0;
  bool first_check_succeeds_ = false;
  std::uint64_t start_ = 0;
};

// ---- scenarios ----

std::optional<std::uint64_t> stored(const char* name) { return winsim::reg_get_qword(hardening::ORBEL_KEY, name); }

void store_session(std::uint64_t on, std::uint64_t until, std::uint64_t hours) {
  winsim::reg_set_qword(hardening::ORBEL_KEY, "On", on);
  winsim::reg_set_qword(hardening::ORBEL_KEY, "Until", until);
  winsim::reg_set_qword(hardening::ORBEL_KEY, "Hours", hours);
}

bool lid_is(winsim::ValueIndexes v) { return hardening::active_lid().ac == v.ac && hardening::active_lid().dc == v.dc; }

bool backup_is(winsim::ValueIndexes v) { return stored("LidAC") == v.ac && stored("LidDC") == v.dc; }

bool no_backup() {
  return !winsim::reg_get(hardening::ORBEL_KEY, "LidAC") && !winsim::reg_get(hardening::ORBEL_KEY, "LidDC") &&
         !winsim::reg_get(hardening::ORBEL_KEY, "LidPlan");
}

// Held: the request is on, the plan overridden, the user's pair saved.
bool held() { return winsim::main_thread_execution_state() == HELD && lid_is({0, 0}) && backup_is(USERS_LID); }

// Everything given back, as after a quit or the end of a session.
bool given_back() { return winsim::main_thread_execution_state() == RELEASED && lid_is(USERS_LID) && no_backup(); }

const char* NEWER_MANIFEST = "{\"windows\":\"1.5.1\"}";

struct Scenario {
  const char* name;
  void (*body)(Driver&);
};

const Scenario SCENARIOS[] = {
    {"first start",
     [](Driver& d) {
       d.process(
           [&d] {
             winsim::after_s(30, [&d] {
               d.expect(stored("On") == 1u && stored("Until") == 0u && stored("Hours") == 0u,
                        "a first start stores an open-ended session");
               d.expect(held(), "a first start holds and saves the lid first");
               d.expect(winsim::tray_icons().size() == 1, "the icon is shown");
             });
           },
           65);
       d.expect(given_back() && winsim::tray_icons().empty(), "quitting gives everything back");
       d.expect(stored("On") == 1u, "quitting keeps the session");
     }},
    {"two hours chosen from the menu, run to the end",
     [](Driver& d) {
       store_session(0, 0, 0);
       const std::uint64_t until = winsim::time_unix() + 30 + 2 * HOUR_S;
       d.process(
           [&d, until] {
             winsim::after_s(30, [] { choose(orbel::ID_DURATION_BASE + 2); });
             winsim::after_s(35, [&d, until] {
               d.expect(orbel::session.on && orbel::session.until == until && orbel::session.hours == 2,
                        "two hours from the choice");
               d.expect(stored("Until") == until && stored("Hours") == 2u && held(), "the choice is stored and held");
             });
             // The end falls between the ticks at 7220 and 7240 s.
             winsim::after_s(7235,
                             [&d] { d.expect(orbel::session.on, "still on before the first tick after the end"); });
             winsim::after_s(7245, [&d] {
               d.expect(!orbel::session.on && stored("On") == 0u && stored("Until") == 0u && stored("Hours") == 0u,
                        "the first tick after the end switches off");
               d.expect(given_back(), "the end gives everything back");
             });
           },
           7300);
     }},
    {"low battery ends the session",
     [](Driver& d) {
       d.process(
           [&d] {
             winsim::after_s(30, [] { winsim::set_power_status(0, 9); });
             winsim::after_s(31, [&d] {
               d.expect(!orbel::session.on && stored("On") == 0u && given_back(), "9 % on battery ends at once");
             });
           },
           65);
     }},
    {"every menu command",
     [](Driver& d) {
       d.http(serving(NEWER_MANIFEST), true);
       const std::uint64_t start = winsim::time_unix();
       d.process(
           [&d, start] {
             using namespace orbel;
             const std::pair<std::uint64_t, std::optional<unsigned>> steps[] = {{30, ID_TOGGLE},
                                                                                {60, ID_TOGGLE},
                                                                                {90, ID_DURATION_BASE + 1},
                                                                                {120, ID_DURATION_BASE + 2},
                                                                                {150, ID_DURATION_BASE + 4},
                                                                                {180, ID_DURATION_BASE + 8},
                                                                                {210, ID_AUTOSTART},
                                                                                {240, ID_AUTOSTART},
                                                                                {270, ID_ABOUT},
                                                                                {300, ID_NEW_VERSION},
                                                                                {330, std::nullopt},
                                                                                {360, ID_QUIT}};
             for (const auto& step : steps) winsim::after_s(step.first, [id = step.second] { choose(id); });
             winsim::after_s(35, [&d] { d.expect(!orbel::session.on && given_back(), "toggle turns off"); });
             winsim::after_s(
                 65, [&d] { d.expect(orbel::session.on && orbel::session.until == 0 && held(), "toggle turns on"); });
             winsim::after_s(
                 215, [&d] { d.expect(winsim::reg_get(hardening::RUN_KEY, "Orbel").has_value(), "autostart on"); });
             winsim::after_s(245, [&d] { d.expect(!winsim::reg_get(hardening::RUN_KEY, "Orbel"), "autostart off"); });
             winsim::after_s(335, [&d, start] {
               d.expect(orbel::session.hours == 8 && orbel::session.until == start + 180 + 8 * HOUR_S, "eight hours");
               d.expect(winsim::shell_executions().size() == 2, "both pages opened");
               d.expect(orbel::session.update_available.load(), "the newer version was seen");
             });
           },
           420);
       d.expect(winsim::live_windows() == 0 && given_back() && stored("Hours") == 8u, "quit from the menu");
     }},
    {"update check succeeds",
     [](Driver& d) {
       d.http(serving(NEWER_MANIFEST), true);
       d.process(
           [&d] {
             winsim::after_s(25, [&d] {
               d.expect(
                   orbel::session.update_available.load() && orbel::session.last_update_check.load() == d.start() + 20,
                   "the first tick's check finds the newer version");
             });
           },
           65);
     }},
    {"update check fails, retried an hour later",
     [](Driver& d) {
       d.http(no_network(), false);
       d.http(serving(NEWER_MANIFEST), true);
       d.process(
           [&d] {
             winsim::after_s(25, [&d] {
               d.expect(!orbel::session.update_available.load() &&
                            orbel::session.last_update_check.load() == d.start() + 20 - 82800,
                        "a failed check is back-dated by 82800 s");
             });
             winsim::after_s(3615, [&d] { d.expect(winsim::http_requests().size() == 1, "no retry within the hour"); });
             winsim::after_s(3625, [&d] {
               d.expect(winsim::http_requests().size() == 2 && orbel::session.update_available.load() &&
                            orbel::session.last_update_check.load() == d.start() + 3620,
                        "the retry an hour later succeeds");
             });
           },
           3700);
     }},
    {"quit from the menu, then start again",
     [](Driver& d) {
       const std::uint64_t until = winsim::time_unix() + 30 + 2 * HOUR_S;
       d.process(
           [] {
             winsim::after_s(30, [] { choose(orbel::ID_DURATION_BASE + 2); });
             winsim::after_s(90, [] { choose(orbel::ID_QUIT); });
           },
           150);
       d.expect(stored("On") == 1u && stored("Until") == until && stored("Hours") == 2u, "quit keeps the session");
       d.expect(given_back() && winsim::tray_icons().empty(), "quit gives everything back");
       d.restart();
       d.process(
           [&d, until] {
             winsim::after_s(30, [&d, until] {
               d.expect(orbel::session.on && orbel::session.until == until && held(), "the next start resumes");
             });
           },
           65);
     }},
    {"crash and restart while the session runs",
     [](Driver& d) {
       const std::uint64_t until = winsim::time_unix() + 2 * HOUR_S;
       store_session(1, until, 2);
       d.process([] { winsim::after_s(600, winsim::fail_message_loop); }, 660);
       d.expect(held(), "a crash leaves the override and its backup");
       d.restart(60);
       d.process(
           [&d, until] {
             winsim::after_s(30, [&d, until] {
               d.expect(orbel::session.on && orbel::session.until == until && held(), "the restart resumes and holds");
             });
           },
           65);
       d.expect(given_back(), "quitting after the restart gives everything back");
     }},
    {"plans switched and deleted during a session",
     [](Driver& d) {
       const GUID a = scenario::balanced();
       const GUID b = winsim::plan_guid("High performance");
       const GUID x = winsim::plan_guid("Power saver");
       auto is = [](const GUID& plan, winsim::ValueIndexes v) {
         const winsim::ValueIndexes now = hardening::lid_of(plan);
         return now.ac == v.ac && now.dc == v.dc;
       };
       d.process(
           [&d, a, b, x, is] {
             winsim::after_s(30, [&d, b] { d.switch_plan(b); });
             winsim::after_s(45, [&d, a, b, is] {
               d.expect(is(a, USERS_LID) && is(b, {0, 0}) && backup_is({1, 1}),
                        "the next tick gives the first plan back and holds the new one");
             });
             winsim::after_s(50, [a] { winsim::delete_plan(a); });
             winsim::after_s(90, [&d, x] { d.switch_plan(x); });
             winsim::after_s(105, [&d, b, x, is] {
               d.expect(is(b, {1, 1}) && is(x, {0, 0}), "a second switch moves the hold again");
             });
           },
           125);
       d.expect(is(b, {1, 1}) && is(x, {1, 1}) && no_backup(), "quitting gives the last plan back");
     }},
    {"crash and restart after the session's end",
     [](Driver& d) {
       store_session(1, winsim::time_unix() + 2 * HOUR_S, 2);
       d.process([] { winsim::after_s(600, winsim::fail_message_loop); }, 660);
       d.restart(3 * HOUR_S);
       d.process(
           [&d] {
             winsim::after_s(5, [&d] {
               d.expect(!orbel::session.on && stored("On") == 0u && given_back(),
                        "a restart after the end gives back what the crash left");
             });
           },
           65);
     }},
};

// ---- odd data ----

std::vector<std::uint8_t> utf16(const std::u16string& text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return bytes;
}

std::vector<OddData> odd_data() {
  struct Value {
    const char* key;
    const char* name;
  };
  const Value values[] = {{hardening::ORBEL_KEY, "On"},    {hardening::ORBEL_KEY, "Until"},
                          {hardening::ORBEL_KEY, "Hours"}, {hardening::ORBEL_KEY, "LidAC"},
                          {hardening::ORBEL_KEY, "LidDC"}, {hardening::ORBEL_KEY, "LidPlan"},
                          {hardening::THEME_KEY, hardening::THEME_VALUE},
                          {hardening::RUN_KEY, "Orbel"}};
  struct Shape {
    std::string label;
    DWORD type;
    std::vector<std::uint8_t> data;
    bool only_for_strings;  // a well-formed number is no odd data for a numeric value
  };
  std::vector<Shape> shapes = {
      {"REG_SZ \"1\"", REG_SZ, utf16(std::u16string(u"1") + u'\0'), false},
      {"REG_DWORD 1", REG_DWORD, {1, 0, 0, 0}, true},
      {"empty REG_QWORD", REG_QWORD, {}, false},
      {"empty REG_DWORD", REG_DWORD, {}, false},
      {"empty REG_SZ", REG_SZ, {}, false},
  };
  // A short number is read as what its bytes say, so both extremes; data
  // too long or of a string type is refused whatever it holds.
  for (std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
    const std::string f = fill ? " of FF" : " of 00";
    shapes.push_back({"REG_DWORD of 2 bytes" + f, REG_DWORD, std::vector<std::uint8_t>(2, fill), false});
    shapes.push_back({"REG_QWORD of 4 bytes" + f, REG_QWORD, std::vector<std::uint8_t>(4, fill), false});
  }
  shapes.push_back({"REG_QWORD of 16 bytes of FF", REG_QWORD, std::vector<std::uint8_t>(16, 0xFF), false});
  shapes.push_back({"REG_SZ of 3 bytes", REG_SZ, {0x41, 0x00, 0x42}, false});
  shapes.push_back({"REG_SZ of 70000 bytes", REG_SZ, std::vector<std::uint8_t>(70000, 0x41), false});

  std::vector<OddData> out;
  for (bool while_running : {false, true}) {
    const std::string when = while_running ? " (while running)" : " (before start)";
    for (const Value& v : values)
      for (const Shape& s : shapes) {
        const std::string name = v.name;
        if (s.only_for_strings && v.key != std::string(hardening::RUN_KEY)) continue;
        OddData d;
        d.label = name + " = " + s.label + when;
        d.apply = [key = std::string(v.key), name, s] { winsim::reg_set(key, name, s.type, s.data); };
        if (name == "On" || name == "Until" || name == "Hours") d.session_value = name;
        d.while_running = while_running;
        d.clobbers_lid_backup = while_running && (name == "LidAC" || name == "LidDC");
        d.read_by = "RegGetValueW(" + std::string(v.key) + ", " + name + ",";
        out.push_back(d);
      }
    for (BYTE b : {BYTE{255}, BYTE{0}}) {
      OddData d;
      d.label = std::string("power status all ") + std::to_string(b) + when;
      SYSTEM_POWER_STATUS status;
      std::memset(&status, b, sizeof status);
      d.apply = [status] { winsim::set_system_power_status(status); };
      d.while_running = while_running;
      d.read_by = "GetSystemPowerStatus(";
      out.push_back(d);
    }
  }
  {
    OddData d;
    d.label = "lid-close indexes 0xFFFFFFFF";
    d.lid = winsim::ValueIndexes{0xFFFFFFFF, 0xFFFFFFFF};
    d.read_by = "PowerReadACValueIndex(";
    out.push_back(d);
  }
  for (std::size_t units : {std::size_t{0}, std::size_t{40000}}) {
    OddData d;
    d.label = "module path of " + std::to_string(units) + " units";
    d.apply = [units] { winsim::set_module_path(std::u16string(units, u'a')); };
    d.read_by = "GetModuleFileNameW(";
    out.push_back(d);
  }
  std::mt19937 random(4096);
  auto random_bytes = [&random](std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(random() & 0xff);
    return s;
  };
  const std::pair<std::string, winsim::HttpScript> answers[] = {
      {"random bytes", serving(random_bytes(600))},
      {"invalid UTF-8 around a version", serving("\xC0\xAF{\"windows\":\"1.5.1\"}\xFF\xFE")},
      {"status 0", serving(NEWER_MANIFEST, 0)},
      {"status 999", serving(NEWER_MANIFEST, 999)},
      {"5000 random bytes", serving(random_bytes(5000))},
      {"version after 4096 bytes", serving("{" + std::string(4200, ' ') + "\"windows\":\"1.5.1\"}")},
  };
  for (const auto& answer : answers) {
    OddData d;
    d.label = "HTTP answer: " + answer.first;
    d.http = answer.second;
    d.read_by = "InternetOpenUrlW(";
    out.push_back(d);
  }
  return out;
}

// ---- the campaign ----

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
    r.baseline.trace_size_at_10_s = driver.trace_size_at_10_s();
  }
  return r;
}

bool reads(const Baseline& baseline, const OddData& d) {
  const std::size_t from = d.while_running ? baseline.trace_size_at_10_s : 0;
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
    if (!winsim::can_fail(name)) continue;
    std::set<unsigned> nths = {1, 2, 3, (count + 1) / 2, count};
    for (unsigned nth : nths)
      if (nth >= 1 && nth <= count) faults.push_back({name, nth, false});
    faults.push_back({name, 1, true});
  }
  return faults;
}

TEST(FaultCampaign, EveryInvariantHoldsUnderEveryFaultAndOddData) {
  const auto wall_start = std::chrono::steady_clock::now();
  struct Violation {
    std::string scenario;
    std::string fault;
    std::string invariant;
  };
  std::vector<Violation> violations;
  std::size_t call_sites = 0;
  std::size_t faults_injected = 0;
  std::size_t odd_runs = 0;
  std::size_t checks = 0;
  std::set<std::string> names;
  const std::vector<OddData> odd = odd_data();

  for (const Scenario& s : SCENARIOS) {
    RunResult plain = run_scenario(s, RunConfig{});
    checks += plain.checks;
    for (auto& v : plain.violations) violations.push_back({s.name, "none", v});
    call_sites += plain.baseline.trace.size();

    for (const Fault& f : sampled_faults(plain.baseline.trace, names)) {
      RunResult r = run_scenario(s, RunConfig{f, nullptr, &plain.baseline});
      ++faults_injected;
      checks += r.checks;
      for (auto& v : r.violations) violations.push_back({s.name, describe(f), v});
    }
    for (const OddData& d : odd) {
      if (!reads(plain.baseline, d)) continue;
      RunResult r = run_scenario(s, RunConfig{std::nullopt, &d, &plain.baseline});
      ++odd_runs;
      checks += r.checks;
      for (auto& v : r.violations) violations.push_back({s.name, d.label, v});
    }
  }
  const double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();

  for (const Violation& v : violations) ADD_FAILURE() << v.scenario << " | " << v.fault << " | " << v.invariant;
  std::cout << "fault campaign: " << std::size(SCENARIOS) << " scenarios, " << call_sites << " call sites ("
            << names.size() << " calls), " << faults_injected << " injected faults, " << odd_runs << " odd-data runs, "
            << checks << " checks, " << violations.size() << " invariant violations, wall " << wall_s << " s"
            << std::endl;
}

}  // namespace
