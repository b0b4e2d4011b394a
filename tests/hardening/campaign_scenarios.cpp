#include "campaign_scenarios.h"

#include "tray/menu_model.h"

namespace campaign {

const char* const NEWER_MANIFEST = "{\"windows\":\"" ORBEL_NEWER_VERSION "\"}";

namespace {

using hardening::choose;
using hardening::HOUR_S;
using scenario::no_network;
using scenario::serving;

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

// First start.
void first_start(Driver& d) {
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
}

// Two hours chosen from the menu, run to the end.
void timed_session_to_its_end(Driver& d) {
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
        winsim::after_s(7235, [&d] { d.expect(orbel::session.on, "still on before the first tick after the end"); });
        winsim::after_s(7245, [&d] {
          d.expect(!orbel::session.on && stored("On") == 0u && stored("Until") == 0u && stored("Hours") == 0u,
                   "the first tick after the end switches off");
          d.expect(given_back(), "the end gives everything back");
        });
      },
      7300);
}

// Low battery ends the session.
void low_battery(Driver& d) {
  d.process(
      [&d] {
        winsim::after_s(30, [] { winsim::set_power_status(0, 9); });
        winsim::after_s(31, [&d] {
          d.expect(!orbel::session.on && stored("On") == 0u && given_back(), "9 % on battery ends at once");
        });
      },
      65);
}

// Every menu command.
void every_menu_command(Driver& d) {
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
        winsim::after_s(215,
                        [&d] { d.expect(winsim::reg_get(hardening::RUN_KEY, "Orbel").has_value(), "autostart on"); });
        winsim::after_s(245, [&d] { d.expect(!winsim::reg_get(hardening::RUN_KEY, "Orbel"), "autostart off"); });
        winsim::after_s(335, [&d, start] {
          d.expect(orbel::session.hours == 8 && orbel::session.until == start + 180 + 8 * HOUR_S, "eight hours");
          d.expect(winsim::shell_executions().size() == 2, "both pages opened");
          d.expect(orbel::session.update_available.load(), "the newer version was seen");
        });
      },
      420);
  d.expect(winsim::live_windows() == 0 && given_back() && stored("Hours") == 8u, "quit from the menu");
}

// Update check succeeds.
void update_check_succeeds(Driver& d) {
  d.http(serving(NEWER_MANIFEST), true);
  d.process(
      [&d] {
        winsim::after_s(25, [&d] {
          d.expect(orbel::session.update_available.load() && orbel::session.last_update_check.load() == d.start() + 20,
                   "the first tick's check finds the newer version");
        });
      },
      65);
}

// Update check fails, retried an hour later.
void update_check_fails(Driver& d) {
  d.http(no_network(), false);
  d.http(serving(NEWER_MANIFEST), true);
  d.process(
      [&d] {
        winsim::after_s(25, [&d] {
          d.expect(!orbel::session.update_available.load() &&
                       orbel::session.last_update_check.load() == d.start() + 20 - FAILED_CHECK_BACKDATE_S,
                   "a failed check is back-dated by FAILED_CHECK_BACKDATE_S s");
        });
        winsim::after_s(3615, [&d] { d.expect(winsim::http_requests().size() == 1, "no retry within the hour"); });
        winsim::after_s(3625, [&d] {
          d.expect(winsim::http_requests().size() == 2 && orbel::session.update_available.load() &&
                       orbel::session.last_update_check.load() == d.start() + 3620,
                   "the retry an hour later succeeds");
        });
      },
      3700);
}

// Quit from the menu, then start again.
void quit_and_start_again(Driver& d) {
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
}

// Crash and restart while the session runs.
void crash_while_running(Driver& d) {
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
}

// Plans switched and deleted during a session.
void plans_switched_and_deleted(Driver& d) {
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
}

// Crash and restart after the session's end.
void crash_after_the_end(Driver& d) {
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
}

}  // namespace

const std::vector<Scenario>& campaign_scenarios() {
  static const std::vector<Scenario> scenarios = {
      {"first_start", first_start},
      {"timed_session_to_its_end", timed_session_to_its_end},
      {"low_battery", low_battery},
      {"every_menu_command", every_menu_command},
      {"update_check_succeeds", update_check_succeeds},
      {"update_check_fails", update_check_fails},
      {"quit_and_start_again", quit_and_start_again},
      {"crash_while_running", crash_while_running},
      {"plans_switched_and_deleted", plans_switched_and_deleted},
      {"crash_after_the_end", crash_after_the_end},
  };
  return scenarios;
}

}  // namespace campaign
