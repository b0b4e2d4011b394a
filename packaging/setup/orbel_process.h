// A running Orbel as the installer meets it: found by its window class in
// this session, closed the way its own "Avslutt Orbel" closes it, and started
// for a moment so that its own start-up and quit give a saved lid-close
// setting back.
#pragma once

#include <windows.h>

namespace orbel_setup {

// WM_CLOSE asks Orbel to quit; it gives the power settings back and keeps the
// stored session. A copy that has not quit within this time is ended: what it
// holds is in the registry already, so nothing is lost.
constexpr DWORD CLOSE_TIMEOUT_MS = 10000;
constexpr DWORD START_TIMEOUT_MS = 15000;
// More Orbel windows than this in one session mean something else answers to
// the class name; the installer stops looking rather than loop.
constexpr int MAX_WINDOWS_CLOSED = 8;

// Closes every Orbel of this session. Returns whether one was running.
bool close_running_orbel();

// Starts the program `exe` with the installer's rights; the caller closes
// both handles in `info`.
bool start_orbel(const wchar_t* exe, PROCESS_INFORMATION* info);

// Starts the program `exe`, lets its start-up run to the end and closes it
// again. Returns whether it came up and went.
bool start_and_close(const wchar_t* exe);

}  // namespace orbel_setup
