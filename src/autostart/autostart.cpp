#include "autostart/autostart.h"

#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "state/settings.h"
#include "state/text.h"

namespace orbel {
namespace {

// The running executable's full path, or nothing when it cannot be had.
std::optional<std::string> executable_path() {
  for (std::uint32_t capacity = FIRST_PATH_CAPACITY; capacity <= MAX_PATH_CAPACITY; capacity *= 2) {
    std::vector<WCHAR> buffer(capacity);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), capacity);
    if (length == 0) return std::nullopt;  // a failure, or an empty path that no Run value could use
    if (length < capacity) return to_utf8(buffer.data(), length);
    // Equal to the capacity: the path was cut; try again with twice the room.
  }
  return std::nullopt;
}

}  // namespace

bool autostart_enabled() {
  const std::vector<WCHAR> key = to_wide(RUN_KEY);
  const std::vector<WCHAR> name = to_wide(RUN_VALUE);
  DWORD size = 0;
  return RegGetValueW(HKEY_CURRENT_USER, key.data(), name.data(), RRF_RT_REG_SZ, nullptr, nullptr, &size) ==
         ERROR_SUCCESS;
}

void toggle_autostart() {
  if (autostart_enabled()) {
    settings_delete(RUN_KEY, RUN_VALUE);
    return;
  }
  const std::optional<std::string> path = executable_path();
  if (!path) return;
  // Quoted so that a path with spaces starts the right program at logon.
  const std::vector<WCHAR> data = to_wide("\"" + *path + "\"");
  const std::vector<WCHAR> key = to_wide(RUN_KEY);
  const std::vector<WCHAR> name = to_wide(RUN_VALUE);
  RegSetKeyValueW(HKEY_CURRENT_USER, key.data(), name.data(), REG_SZ, data.data(),
                  static_cast<DWORD>(data.size() * sizeof(WCHAR)));
}

}  // namespace orbel
