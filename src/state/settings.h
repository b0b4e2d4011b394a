// The settings store: 64-bit values under HKEY_CURRENT_USER. Reads accept
// REG_DWORD and REG_QWORD data; writes always store a REG_QWORD under the
// program's own key.
#pragma once

#include <cstdint>

namespace orbel {

constexpr const char* ORBEL_KEY = "Software\\Orbel";
constexpr const char* VALUE_ON = "On";
constexpr const char* VALUE_UNTIL = "Until";
constexpr const char* VALUE_HOURS = "Hours";
constexpr const char* VALUE_LID_AC = "LidAC";
constexpr const char* VALUE_LID_DC = "LidDC";

struct SettingRead {
  bool ok;               // the value exists as a whole REG_DWORD or REG_QWORD
  std::uint64_t value;   // meaningful only when ok
  bool missing;          // not there at all (as opposed to unreadable or malformed)
};

SettingRead settings_read_u64(const char* subkey, const char* name);

// Stores `value` as a REG_QWORD under ORBEL_KEY, creating the key when it is
// missing. Returns whether the registry took it; most callers need not care.
bool settings_write_u64(const char* name, std::uint64_t value);

// Removes a value. Returns whether it is gone now; a value that was already
// missing counts as gone.
bool settings_delete(const char* subkey, const char* name);

}  // namespace orbel
