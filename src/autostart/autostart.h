// Start at logon: the quoted path of the running executable as the value
// "Orbel" under the per-user Run key. The registry is asked every time;
// nothing is kept in memory.
#pragma once

#include <cstdint>

namespace orbel {

constexpr const char* RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* RUN_VALUE = "Orbel";
constexpr std::uint32_t FIRST_PATH_CAPACITY = 512;
// No Windows path is longer than 32,767 units; a query that still reports a
// cut path at this capacity is not believed.
constexpr std::uint32_t MAX_PATH_CAPACITY = 32768;

bool autostart_enabled();
void toggle_autostart();

}  // namespace orbel
