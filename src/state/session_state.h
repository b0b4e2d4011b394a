// The process-wide state record. Every part of the program reads and writes
// its fields directly; only the two update-check fields are shared with the
// worker thread, as relaxed atomics.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"

namespace orbel {

struct SessionState {
  bool on = false;
  std::uint64_t until = 0;  // Unix seconds; 0 = no end time
  std::uint32_t hours = 0;  // chosen duration; 0 = none
  std::atomic<std::uint64_t> last_update_check{0};
  std::atomic<bool> update_available{false};
  HWND window = nullptr;
  HICON tray_icon = nullptr;
  std::uint32_t taskbar_created_message = 0;
};

extern SessionState session;

// Fills on, until and hours from the registry; called once at start-up,
// before the window exists. Writes nothing.
void load_session_state();

}  // namespace orbel
