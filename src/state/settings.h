// The settings store: values under HKEY_CURRENT_USER. Numbers are read from
// REG_DWORD or REG_QWORD data and always written as a REG_QWORD under the
// program's own key; the one plan GUID it keeps is a 16-byte REG_BINARY.
#pragma once

#include <cstdint>

#include "platform.h"

namespace orbel {

constexpr const char* ORBEL_KEY = "Software\\Orbel";
constexpr const char* VALUE_ON = "On";
constexpr const char* VALUE_UNTIL = "Until";
constexpr const char* VALUE_HOURS = "Hours";
constexpr const char* VALUE_LID_AC = "LidAC";
constexpr const char* VALUE_LID_DC = "LidDC";
constexpr const char* VALUE_LID_PLAN = "LidPlan";

// A value is read (ok), or counts as missing (absent, of another type or of
// the wrong size: nothing usable is there), or is unreadable (the registry
// refused the read, for example access denied: the value may be fine and
// must not be replaced on the strength of this read).
struct SettingRead {
  bool ok;
  std::uint64_t value;  // meaningful only when ok
  bool unreadable;
};

struct GuidRead {
  bool ok;
  GUID value;  // meaningful only when ok
  bool unreadable;
};

SettingRead settings_read_u64(const char* subkey, const char* name);
GuidRead settings_read_guid(const char* name);  // under ORBEL_KEY

// Store under ORBEL_KEY, creating the key when it is missing. Each returns
// whether the registry took the value; most callers need not care.
bool settings_write_u64(const char* name, std::uint64_t value);
bool settings_write_guid(const char* name, const GUID& value);

// Removes a value. Returns whether it is gone now; a value that was already
// missing counts as gone.
bool settings_delete(const char* subkey, const char* name);

}  // namespace orbel
