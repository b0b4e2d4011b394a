#include "state/settings.h"

#include "platform.h"
#include "state/text.h"

namespace orbel {

SettingRead settings_read_u64(const char* subkey, const char* name) {
  const std::vector<WCHAR> wide_key = to_wide(subkey);
  const std::vector<WCHAR> wide_name = to_wide(name);
  // A REG_DWORD fills only the low four bytes of the zeroed buffer, which on
  // a little-endian machine is the same number widened to 64 bits.
  std::uint64_t value = 0;
  DWORD size = sizeof value;
  DWORD type = REG_NONE;
  const LSTATUS result = RegGetValueW(HKEY_CURRENT_USER, wide_key.data(), wide_name.data(),
                                      RRF_RT_REG_DWORD | RRF_RT_REG_QWORD, &type, &value, &size);
  // The registry hands back numbers of any length; an empty or cut one is
  // not a number, and taking the zeroed buffer for it would invent a value.
  const bool whole = (type == REG_DWORD && size == 4) || (type == REG_QWORD && size == 8);
  return SettingRead{result == ERROR_SUCCESS && whole, value, result == ERROR_FILE_NOT_FOUND};
}

bool settings_write_u64(const char* name, std::uint64_t value) {
  const std::vector<WCHAR> wide_key = to_wide(ORBEL_KEY);
  const std::vector<WCHAR> wide_name = to_wide(name);
  return RegSetKeyValueW(HKEY_CURRENT_USER, wide_key.data(), wide_name.data(), REG_QWORD, &value, sizeof value) ==
         ERROR_SUCCESS;
}

bool settings_delete(const char* subkey, const char* name) {
  const std::vector<WCHAR> wide_key = to_wide(subkey);
  const std::vector<WCHAR> wide_name = to_wide(name);
  const LSTATUS result = RegDeleteKeyValueW(HKEY_CURRENT_USER, wide_key.data(), wide_name.data());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

}  // namespace orbel
