// Helpers for running the whole program over winsim: a fresh machine, a new
// process over the same registry and power plans, and short names for the
// lid-close setting of a plan.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main/app.h"
#include "power/power_hold.h"
#include "state/session_state.h"
#include "winsim/control.h"

namespace scenario {

constexpr const char* ORBEL_KEY = "Software\\Orbel";

// A new machine and a new process: the registry is empty, the state record
// is as the process found it at start.
void fresh_machine();

// The current process ends (cleanly or not, whatever it did) and a fresh one
// starts over the same registry, power plans and clock.
void next_process();

// Runs the program's main until its message loop ends; returns the exit code.
int run_orbel();

// Posts WM_CLOSE to the program's window: the way any outsider quits it.
void close_orbel();

HWND orbel_window();

winsim::ValueIndexes lid(const GUID& plan);
void set_lid(const GUID& plan, DWORD ac, DWORD dc);
GUID balanced();

std::optional<std::uint64_t> stored(const char* name);

// True when `needles` appear in `haystack` in this order (not necessarily
// next to each other); each needle is a prefix of a trace line.
// Trace lines that start with `prefix`.
std::size_t count_lines(const std::string& prefix);

bool in_order(const std::vector<std::string>& haystack, const std::vector<std::string>& needles);

constexpr std::uint64_t HOUR = 3600;

// A fresh machine per test; every run must end by itself.
class Program : public ::testing::Test {
 protected:
  void SetUp() override { fresh_machine(); }
  void TearDown() override {
    EXPECT_FALSE(winsim::run_limit_hit()) << "a run never ended";
    // A check started by the last evaluation may still be running.
    winsim::wait_for_threads();
  }

  // Starts the program, lets `seconds` of virtual time pass, then closes it.
  int run_for(std::uint64_t seconds) {
    winsim::after_s(seconds, close_orbel);
    return run_orbel();
  }

  void store_session(std::uint64_t on, std::uint64_t until, std::uint64_t hours) {
    winsim::reg_set_qword(ORBEL_KEY, "On", on);
    winsim::reg_set_qword(ORBEL_KEY, "Until", until);
    winsim::reg_set_qword(ORBEL_KEY, "Hours", hours);
  }
};

// What the maker's web host answers to the next update check.
winsim::HttpScript serving(std::string body, DWORD status = 200);
// The next update check finds no network.
winsim::HttpScript no_network();

// Posts a click on the notification icon, as the shell does.
void click_icon(UINT mouse_message = WM_LBUTTONUP);

}  // namespace scenario
