// Thirty virtual days of one machine: the program's own 20-second ticks and
// seeded random events between them (menu commands, battery and mains
// changes, clock jumps, theme changes, Explorer restarts, power plans
// switched, created and deleted, update checks that succeed or fail, crashes
// and restarts). Before every event and at the end
// the invariants of the fault campaign hold, and so does the state a
// fault-free machine must show.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iostream>
#include <random>

#include "harness.h"
#include "invariants.h"
#include "tray/eye_icon.h"
#include "tray/menu_model.h"

namespace {

using hardening::DAY_S;
using hardening::HOUR_S;

constexpr std::uint32_t SEED = 20261201;
constexpr std::uint64_t SOAK_MS = 30 * DAY_S * 1000;
constexpr winsim::ValueIndexes USERS_LID{2, 3};
constexpr EXECUTION_STATE HELD = 0x80000003;
constexpr EXECUTION_STATE RELEASED = 0x80000000;
constexpr std::uint64_t TICK_S = 20;
// Events come at least a minute apart, so a tick always runs between two of
// them; and less than an hour apart, so no two update checks fall between
// two top-ups of the scripted answers.
constexpr std::uint64_t MIN_GAP_MS = 60 * 1000;
constexpr std::uint64_t MAX_GAP_MS = 55 * 60 * 1000;
constexpr std::int64_t MAX_CLOCK_JUMP_S = 6 * HOUR_S;
constexpr std::int64_t MAX_CLOCK_OFFSET_S = DAY_S;

constexpr std::size_t MAX_PLANS = 5;
constexpr DWORD MAX_LID_ACTION = 3;  // shut down

enum Kind { MENU, POWER, CLOCK, THEME, SHELL, PLAN, CRASH, KIND_COUNT };
const char* const KIND_NAMES[KIND_COUNT] = {"menu", "power", "clock", "theme", "shell", "plan", "crash"};

struct Answer {
  winsim::HttpScript script;
  bool succeeds;
  bool newer;
};

class Soak {
 public:
  Soak() : random_(SEED) {}

  void run() {
    scenario::fresh_machine();
    winsim::set_trace_recording(false);  // a month of ticks; registry_writes() still records
    winsim::set_run_limit_ms(SOAK_MS + DAY_S * 1000);
    scenario::set_lid(scenario::balanced(), USERS_LID.ac, USERS_LID.dc);
    invariants_.remember_plans();
    for (;;) {
      ++processes_;
      invariants_.process_starting();
      answers_at_process_start_ = winsim::http_requests().size();
      top_up_answers();  // the first tick starts a check
      schedule_next();
      const int result = scenario::run_orbel();
      invariants_.check_run_end(result);
      if (winsim::uptime_ms() >= SOAK_MS) break;
      // The machine may have been off for a while before the next start.
      scenario::next_process();
      invariants_.check();
      winsim::set_time_unix(winsim::time_unix() + uniform(0, 3 * HOUR_S));
    }
    if (!(winsim::main_thread_execution_state() == RELEASED && every_plan_is_users() && !backup_present()))
      invariants_.fail("quitting gives everything back", "not so at the end");
  }

  std::vector<std::string> violations() { return invariants_.take_violations(); }
  std::size_t events() const {
    std::size_t n = 0;
    for (std::size_t k : kinds_) n += k;
    return n;
  }
  std::string event_counts() const {
    std::string out;
    for (int k = 0; k < KIND_COUNT; ++k) out += (k ? ", " : "") + std::to_string(kinds_[k]) + " " + KIND_NAMES[k];
    return out;
  }
  std::size_t processes() const { return processes_; }
  std::size_t checks() const { return winsim::http_requests().size(); }
  std::size_t successful_checks() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < checks() && i < answers_.size(); ++i) n += answers_[i].succeeds;
    return n;
  }
  std::size_t invariant_checks() const { return invariants_.checks(); }
  std::size_t failures() const { return invariants_.failures(); }

 private:
  std::uint64_t uniform(std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(random_);
  }

  void schedule_next() {
    winsim::after_ms(uniform(MIN_GAP_MS, MAX_GAP_MS), [this] { on_event(); });
  }

  static bool same(winsim::ValueIndexes a, winsim::ValueIndexes b) { return a.ac == b.ac && a.dc == b.dc; }
  bool every_plan_is_users() const {
    for (const GUID& plan : winsim::plan_guids())
      if (!same(hardening::lid_of(plan), invariants_.users_lid(plan))) return false;
    return true;
  }
  static bool backup_names_active_plan() {
    const auto v = winsim::reg_get(hardening::ORBEL_KEY, "LidPlan");
    const GUID active = winsim::active_plan();
    return v && v->data.size() == sizeof active && std::memcmp(v->data.data(), &active, sizeof active) == 0;
  }
  static std::optional<std::uint64_t> stored(const char* name) {
    return winsim::reg_get_qword(hardening::ORBEL_KEY, name);
  }
  static bool backup_present() {
    return winsim::reg_get(hardening::ORBEL_KEY, "LidAC") || winsim::reg_get(hardening::ORBEL_KEY, "LidDC") ||
           winsim::reg_get(hardening::ORBEL_KEY, "LidPlan");
  }

  // What a machine where nothing fails must show between two events.
  void check_state() {
    invariants_.check();
    const bool on = orbel::session.on;
    const std::uint64_t until = orbel::session.until;
    const std::uint64_t now = winsim::time_unix();
    const std::string at = " at " + std::to_string(now);
    if (winsim::main_thread_execution_state() != (on ? HELD : RELEASED))
      invariants_.fail("the request follows the session",
                       "state " + std::to_string(winsim::main_thread_execution_state()) + at);
    const winsim::ValueIndexes users = invariants_.users_lid(winsim::active_plan());
    const bool backup_is_users =
        stored("LidAC") == users.ac && stored("LidDC") == users.dc && backup_names_active_plan();
    if (on ? !(same(hardening::active_lid(), {0, 0}) && backup_is_users) : !(every_plan_is_users() && !backup_present()))
      invariants_.fail("the lid is overridden exactly while on", (on ? "on" : "off") + at);
    if (stored("On") != std::uint64_t{on} || stored("Until") != until || stored("Hours") != orbel::session.hours)
      invariants_.fail("the stored session mirrors the running one", at);
    const auto icons = winsim::tray_icons();
    if (icons.size() != 1 || icons[0].tip != u"Orbel" || icons[0].pixels != orbel::render_eye_icon(on, light_))
      invariants_.fail("one icon shows the session in the taskbar's theme",
                       std::to_string(icons.size()) + " icons" + at);
    if (on && until != 0 && now >= until + TICK_S)
      invariants_.fail("a session ends at the first tick after its end", "until " + std::to_string(until) + at);
    if (on && ac_line_ == 0 && percent_ <= 10)
      invariants_.fail("no session runs on a low battery", std::to_string(percent_) + " %" + at);
    const std::uint64_t last = orbel::session.last_update_check.load();
    if (now >= last && now - last >= DAY_S + TICK_S)
      invariants_.fail("no update check is overdue by more than a tick", "last " + std::to_string(last) + at);
    // The verdict of this process's latest successful check, or none yet.
    bool expected_update = false;
    for (std::size_t i = answers_at_process_start_; i < checks() && i < answers_.size(); ++i)
      if (answers_[i].succeeds) expected_update = answers_[i].newer;
    if (orbel::session.update_available.load() != expected_update)
      invariants_.fail("the menu offers an update exactly after a check found one",
                       "expected " + std::to_string(expected_update) + " after answers " +
                           std::to_string(answers_at_process_start_) + ".." + std::to_string(checks()) + at);
  }

  void top_up_answers() {
    // Newer than Orbel, the same, older.
    static const char* const bodies[] = {"{\"windows\":\"" ORBEL_NEWER_VERSION "\"}",
                                         "{\"windows\":\"" ORBEL_PROJECT_VERSION "\"}", "{\"windows\":\"1.4.9\"}"};
    while (answers_.size() < checks() + 2) {
      Answer a{};
      switch (uniform(0, 5)) {
        case 0:
          a.script.connect_fails = true;
          break;
        case 1:
          a.script.status = 404;
          break;
        case 2:
          a.script.body = "<html>captive portal</html>";
          break;
        default: {
          const std::size_t which = uniform(0, 2);
          a.script.body = bodies[which];
          a.succeeds = true;
          a.newer = which == 0;
        }
      }
      winsim::script_http(a.script);
      answers_.push_back(a);
    }
  }

  void on_event() {
    check_state();
    if (winsim::uptime_ms() >= SOAK_MS) {
      hardening::close_program();
      return;
    }
    top_up_answers();
    const std::uint64_t roll = uniform(0, 99);
    const Kind kind = roll < 38   ? MENU
                      : roll < 60 ? POWER
                      : roll < 71 ? CLOCK
                      : roll < 82 ? THEME
                      : roll < 88 ? SHELL
                      : roll < 96 ? PLAN
                                  : CRASH;
    ++kinds_[kind];
    switch (kind) {
      case MENU: {
        using namespace orbel;
        const std::optional<unsigned> ids[] = {ID_TOGGLE,
                                               ID_TOGGLE,
                                               ID_DURATION_BASE + 1,
                                               ID_DURATION_BASE + 2,
                                               ID_DURATION_BASE + 4,
                                               ID_DURATION_BASE + 8,
                                               ID_AUTOSTART,
                                               ID_ABOUT,
                                               ID_NEW_VERSION,
                                               std::nullopt};
        // One menu in twenty-five ends the program; it is started again.
        const bool quit = uniform(0, 24) == 0;
        hardening::choose(quit ? std::optional<unsigned>(ID_QUIT) : ids[uniform(0, std::size(ids) - 1)],
                          uniform(0, 30000));
        if (quit) return;
        break;
      }
      case POWER: {
        ac_line_ = uniform(0, 9) == 0 ? BYTE{255} : static_cast<BYTE>(uniform(0, 1));
        percent_ = uniform(0, 9) == 0 ? BYTE{255} : static_cast<BYTE>(uniform(0, 100));
        winsim::set_power_status(ac_line_, percent_);
        break;
      }
      case CLOCK: {
        auto jump = static_cast<std::int64_t>(uniform(60, MAX_CLOCK_JUMP_S));
        if (uniform(0, 1)) jump = -jump;
        if (clock_offset_ + jump > MAX_CLOCK_OFFSET_S || clock_offset_ + jump < -MAX_CLOCK_OFFSET_S) jump = -jump;
        clock_offset_ += jump;
        winsim::set_time_unix(static_cast<std::uint64_t>(static_cast<std::int64_t>(winsim::time_unix()) + jump));
        break;
      }
      case THEME: {
        light_ = uniform(0, 1) == 1;
        winsim::reg_set_dword(hardening::THEME_KEY, hardening::THEME_VALUE, light_ ? 1 : 0);
        // Explorer broadcasts the change; some senders send it straight.
        if (uniform(0, 1))
          winsim::post_broadcast(WM_SETTINGCHANGE, 0, 0);
        else
          SendMessageW(winsim::find_window("OrbelWindow"), WM_SETTINGCHANGE, 0, 0);
        break;
      }
      case SHELL:
        winsim::restart_shell();
        break;
      case PLAN:
        change_plans();
        break;
      case CRASH:
        winsim::fail_message_loop();
        return;
      case KIND_COUNT:
        break;
    }
    schedule_next();
  }

  // The user switches to another plan, deletes one that is not active (as
  // Windows allows) or creates one with a lid-close pair of its own.
  void change_plans() {
    const std::vector<GUID> plans = winsim::plan_guids();
    const std::uint64_t what = uniform(0, 9);
    if (what < 6) {
      invariants_.switch_plan(plans[uniform(0, plans.size() - 1)]);
    } else if (what < 8) {
      if (plans.size() > 1) winsim::delete_plan(plans[uniform(0, plans.size() - 1)]);  // refused for the active one
    } else if (plans.size() < MAX_PLANS) {
      winsim::create_plan("Custom", {static_cast<DWORD>(uniform(0, MAX_LID_ACTION)),
                                     static_cast<DWORD>(uniform(0, MAX_LID_ACTION))});
      invariants_.remember_plans();
    }
  }

  std::mt19937 random_;
  hardening::Invariants invariants_;
  std::size_t kinds_[KIND_COUNT] = {};
  std::size_t processes_ = 0;
  std::vector<Answer> answers_;
  std::size_t answers_at_process_start_ = 0;
  std::int64_t clock_offset_ = 0;
  BYTE ac_line_ = 1;
  BYTE percent_ = 255;
  bool light_ = false;
};

TEST(Soak, ThirtyVirtualDays) {
  const auto wall_start = std::chrono::steady_clock::now();
  Soak soak;
  soak.run();
  const double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
  const auto violations = soak.violations();
  std::cout << "soak: seed " << SEED << ", " << winsim::uptime_ms() / 1000 << " s ("
            << winsim::uptime_ms() / 1000 / DAY_S << " days) of virtual time, " << soak.events() << " events ("
            << soak.event_counts() << "), " << soak.processes() << " processes, " << soak.checks() << " update checks ("
            << soak.successful_checks() << " succeeded), " << soak.invariant_checks() << " checks, "
            << violations.size() << " invariant violations, wall " << wall_s << " s" << std::endl;
  for (const std::string& v : violations) ADD_FAILURE() << v;
  EXPECT_GE(winsim::uptime_ms(), SOAK_MS);
}

}  // namespace
