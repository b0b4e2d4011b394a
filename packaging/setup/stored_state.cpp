#include "stored_state.h"

#include <windows.h>

#include <cstdint>

#include "names.h"
#include "power/lid_record.h"

namespace orbel_setup {
namespace {

constexpr WCHAR QUOTE = L'"';
constexpr WCHAR BLANK = L' ';
constexpr WCHAR TAB = L'\t';

WCHAR run_value[MAX_TEXT_UNITS];
WCHAR expanded[MAX_TEXT_UNITS];
WCHAR full_program[MAX_TEXT_UNITS];
WCHAR full_exe[MAX_TEXT_UNITS];

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

// The Run value as stored, unexpanded; null when it is missing, not a string
// or longer than any command line.
WCHAR* read_run_value() {
  DWORD size = sizeof run_value - sizeof(WCHAR);
  if (RegGetValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr,
                   run_value, &size) != ERROR_SUCCESS)
    return nullptr;
  return run_value;
}

// Whether `program`, its environment variables expanded and made a full path
// as Windows makes one ("/" as "\", ".." resolved), names the same file as
// `exe`, made full the same way, in any letter case.
bool same_program(const wchar_t* program, const wchar_t* exe) {
  const DWORD expanded_units = ExpandEnvironmentStringsW(program, expanded, MAX_TEXT_UNITS);
  if (expanded_units == 0 || expanded_units > MAX_TEXT_UNITS) return false;
  const DWORD program_units = GetFullPathNameW(expanded, MAX_TEXT_UNITS, full_program, nullptr);
  const DWORD exe_units = GetFullPathNameW(exe, MAX_TEXT_UNITS, full_exe, nullptr);
  if (program_units == 0 || program_units >= MAX_TEXT_UNITS || exe_units == 0 || exe_units >= MAX_TEXT_UNITS)
    return false;
  return CompareStringOrdinal(full_program, -1, full_exe, -1, TRUE) == CSTR_EQUAL;
}

bool blank(WCHAR c) { return c == BLANK || c == TAB; }

}  // namespace

bool lid_backup_left() {
  const ValueRead ac = read_value(VALUE_LID_AC, RRF_RT_REG_DWORD | RRF_RT_REG_QWORD, 8, 4);
  const ValueRead dc = read_value(VALUE_LID_DC, RRF_RT_REG_DWORD | RRF_RT_REG_QWORD, 8, 4);
  const ValueRead plan = read_value(VALUE_LID_PLAN, RRF_RT_REG_BINARY, sizeof(GUID), 0);
  bool plan_is_null = true;
  for (BYTE b : plan.data) plan_is_null = plan_is_null && b == 0;
  return orbel::is_backup(orbel::lid_record(ac.stored, dc.stored, plan.stored, plan_is_null));
}

bool run_value_starts(const wchar_t* exe) {
  WCHAR* text = read_run_value();
  if (text == nullptr) return false;
  while (blank(*text)) ++text;
  if (*text == QUOTE) {
    // Quoted: the program is what the quotes hold; arguments follow.
    WCHAR* end = text + 1;
    while (*end != L'\0' && *end != QUOTE) ++end;
    *end = L'\0';
    return same_program(text + 1, exe);
  }
  // Unquoted: Windows takes the text up to the first blank as the program
  // and, when no such file exists, up to the next blank, and so on. The
  // uninstall looks once the file has gone, so any of these that names `exe`
  // counts.
  for (WCHAR* end = text;; ++end) {
    if (*end != L'\0' && !blank(*end)) continue;
    const WCHAR kept = *end;
    *end = L'\0';
    const bool same = end != text && same_program(text, exe);
    *end = kept;
    if (same) return true;
    if (kept == L'\0') return false;
  }
}

bool store_session_off() {
  const std::uint64_t off = 0;
  return RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, VALUE_ON, REG_QWORD, &off, sizeof off) == ERROR_SUCCESS;
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
