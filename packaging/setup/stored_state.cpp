#include "stored_state.h"

#include <windows.h>

#include <cstdint>

#include "names.h"

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

bool lid_backup_left() { return value_exists(ORBEL_KEY, VALUE_LID_AC) || value_exists(ORBEL_KEY, VALUE_LID_DC); }

bool store_session_off() {
  const std::uint64_t off = 0;
  return RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, VALUE_ON, REG_QWORD, &off, sizeof off) == ERROR_SUCCESS;
}

void forget_run_value_of(const wchar_t* exe) {
  if (run_value_starts(exe)) RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE);
}

void forget_settings() {
  if (lid_backup_left()) return;
  RegDeleteTreeW(HKEY_CURRENT_USER, ORBEL_KEY);
}

}  // namespace orbel_setup
