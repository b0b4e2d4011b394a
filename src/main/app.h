// The application core: start-up, the commit of the session state, the
// window procedure and the handlers it routes messages to.
#pragma once

#include <cstdint>

#include "platform.h"

namespace orbel {

constexpr UINT_PTR TICK_TIMER_ID = 1;
constexpr UINT TICK_INTERVAL_MS = 20000;
constexpr const char* WINDOW_CLASS_NAME = "OrbelWindow";
constexpr const char* WINDOW_TITLE = "Orbel";
constexpr const char* TASKBAR_CREATED_MESSAGE = "TaskbarCreated";
// Without a "Global\" or "Local\" prefix the name lives in the Windows
// session, so one copy runs per logged-on user session.
constexpr const char* SINGLE_INSTANCE_MUTEX = "no.dremmholt.orbel.single-instance";

// Starts the program and runs its message loop; always returns 0.
int main();

// Commits on, until and hours: power hold, registry, icon, in that order.
void apply_state();

// Gives the power settings back and removes the icon; writes no session value.
void release_and_remove();

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Carries out one menu command (the low 16 bits of WM_COMMAND's wParam).
void handle_command(std::uint16_t id);

// The periodic evaluation: update schedule, session end, low battery, renewal.
void evaluate_tick();

}  // namespace orbel
