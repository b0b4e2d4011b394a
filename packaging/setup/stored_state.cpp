#include "stored_state.h"

#include <windows.h>

#include <cstdint>

#include "names.h"
#include "power/lid_record.h"

namespace orbel_setup {
namespace {

constexpr WCHAR QUOTE = L'"';

WCHAR run_value[MAX_TEXT_UNITS];

bool value_exists(const wchar_t* key, const wchar_t* name) {
  return RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

// How one of Orbel's values reads, as Orbel reads it: whole when it has one
// of `types` and one of the sizes (0 when only one is whole).
struct ValueRead {
  orbel::Stored stored;
  BYTE data[16];
};

ValueRead read_value(const wchar_t* name, DWORD types, DWORD size, DWORD other_size) {
  ValueRead read{orbel::Stored::MISSING, {}};
  DWORD got = sizeof read.data;
  const LSTATUS result = RegGetValueW(HKEY_CURRENT_USER, ORBEL_KEY, name, types, nullptr, read.data, &got);
  if (result == ERROR_SUCCESS) {
    if (got == size || (other_size != 0 && got == other_size)) read.stored = orbel::Stored::PRESENT;
  } else if (result != ERROR_FILE_NOT_FOUND && result != ERROR_UNSUPPORTED_TYPE && result != ERROR_MORE_DATA &&
             result != ERROR_DATATYPE_MISMATCH) {
    read.stored = orbel::Stored::UNREADABLE;
  }
  return read;
}

// The Run value's program, without the quotes around it; null when the value
// is missing, not a string or longer than any path.
const wchar_t* run_value_program() {
  DWORD size = sizeof run_value - sizeof(WCHAR);
  if (RegGetValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, RRF_RT_REG_SZ, nullptr, run_value, &size) != ERROR_SUCCESS)
    return nullptr;
  WCHAR* text = run_value;
  const int length = lstrlenW(text);
  if (length >= 2 && text[0] == QUOTE && text[length - 1] == QUOTE) {
    text[length - 1] = L'\0';
    ++text;
  }
  return text;
}

}  // namespace

bool lid_backup_left() {
  const ValueRead ac = read_value(VALUE_LID_AC, RRF_RT_REG_DWORD | RRF_RT_REG_QWORD, 8, 4);
  const ValueRead dc = read_value(VALUE_LID_DC, RRF_RT_REG_DWORD | RRF_RT_REG_QWORD, 8, 4);
  const ValueRead plan = read_value(VALUE_LID_PLAN, RRF_RT_REG_BINARY, sizeof(GUID), 0);
  bool plan_is_null = true;
  for (BYTE b : plan.data) plan_is_null = plan_is_null && b == 0;
  return orbel::is_backup(orbel::lid_record(ac.stored, dc.stored, plan.stored, plan_is_null));
}

bool store_session_off() {
  const std::uint64_t off = 0;
  return RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, VALUE_ON, REG_QWORD, &off, sizeof off) == ERROR_SUCCESS;
}

bool run_value_starts(const wchar_t* exe) {
  const wchar_t* program = run_value_program();
  return program != nullptr && CompareStringOrdinal(program, -1, exe, -1, TRUE) == CSTR_EQUAL;
}

bool other_copy_starts_at_logon(const wchar_t* exe) {
  return value_exists(RUN_KEY, RUN_VALUE) && (exe == nullptr || !run_value_starts(exe));
}

void forget_run_value_of(const wchar_t* exe) {
  if (run_value_starts(exe)) RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE);
}

void forget_settings() {
  if (lid_backup_left() || value_exists(RUN_KEY, RUN_VALUE)) return;
  RegDeleteTreeW(HKEY_CURRENT_USER, ORBEL_KEY);
}

}  // namespace orbel_setup
