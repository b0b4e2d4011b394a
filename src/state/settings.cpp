#include "state/settings.h"

#include "state/text.h"

namespace orbel {
namespace {

// What RegGetValueW says when the value holds nothing of the asked shape:
// absent, another type, or more data than the buffer takes.
bool nothing_usable(LSTATUS result) {
  return result == ERROR_FILE_NOT_FOUND || result == ERROR_UNSUPPORTED_TYPE || result == ERROR_MORE_DATA ||
         result == ERROR_DATATYPE_MISMATCH;
}

struct RawRead {
  LSTATUS result;
  DWORD type;
  DWORD size;
};

RawRead read_raw(const char* subkey, const char* name, DWORD types, void* buffer, DWORD size) {
  const std::vector<WCHAR> wide_key = to_wide(subkey);
  const std::vector<WCHAR> wide_name = to_wide(name);
  RawRead raw{ERROR_SUCCESS, REG_NONE, size};
  raw.result = RegGetValueW(HKEY_CURRENT_USER, wide_key.data(), wide_name.data(), types, &raw.type, buffer, &raw.size);
  return raw;
}

bool unreadable(const RawRead& raw) { return raw.result != ERROR_SUCCESS && !nothing_usable(raw.result); }

bool write_value(const char* name, DWORD type, const void* data, DWORD size) {
  const std::vector<WCHAR> wide_key = to_wide(ORBEL_KEY);
  const std::vector<WCHAR> wide_name = to_wide(name);
  return RegSetKeyValueW(HKEY_CURRENT_USER, wide_key.data(), wide_name.data(), type, data, size) == ERROR_SUCCESS;
}

}  // namespace

SettingRead settings_read_u64(const char* subkey, const char* name) {
  // A REG_DWORD fills only the low four bytes of the zeroed buffer, which on
  // a little-endian machine is the same number widened to 64 bits.
  std::uint64_t value = 0;
  const RawRead raw = read_raw(subkey, name, RRF_RT_REG_DWORD | RRF_RT_REG_QWORD, &value, sizeof value);
  // The registry hands back numbers of any length; an empty or cut one is
  // not a number, and taking the zeroed buffer for it would invent a value.
  const bool whole = (raw.type == REG_DWORD && raw.size == 4) || (raw.type == REG_QWORD && raw.size == 8);
  const bool ok = raw.result == ERROR_SUCCESS && whole;
  return SettingRead{ok, ok ? value : 0, unreadable(raw)};
}

GuidRead settings_read_guid(const char* name) {
  GUID value{};
  const RawRead raw = read_raw(ORBEL_KEY, name, RRF_RT_REG_BINARY, &value, sizeof value);
  const bool ok = raw.result == ERROR_SUCCESS && raw.size == sizeof value;
  return GuidRead{ok, value, unreadable(raw)};
}

bool settings_write_u64(const char* name, std::uint64_t value) {
  return write_value(name, REG_QWORD, &value, sizeof value);
}

bool settings_write_guid(const char* name, const GUID& value) {
  return write_value(name, REG_BINARY, &value, sizeof value);
}

bool settings_delete(const char* subkey, const char* name) {
  const std::vector<WCHAR> wide_key = to_wide(subkey);
  const std::vector<WCHAR> wide_name = to_wide(name);
  const LSTATUS result = RegDeleteKeyValueW(HKEY_CURRENT_USER, wide_key.data(), wide_name.data());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

}  // namespace orbel
