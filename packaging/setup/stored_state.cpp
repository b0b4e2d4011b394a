#include "stored_state.h"

#include <windows.h>

#include <cstdint>

#include "names.h"

namespace orbel_setup {
namespace {

constexpr WCHAR QUOTE = L'"';

WCHAR run_value[MAX_TEXT_UNITS];

bool value_exists(const wchar_t* key, const wchar_t* name) {
  return RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
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

bool lid_backup_left() { return value_exists(ORBEL_KEY, VALUE_LID_AC) || value_exists(ORBEL_KEY, VALUE_LID_DC); }

bool store_session_off() {
  const std::uint64_t off = 0;
  return RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, VALUE_ON, REG_QWORD, &off, sizeof off) == ERROR_SUCCESS;
}

void forget_run_value_of(const wchar_t* exe) {
  const wchar_t* program = run_value_program();
  if (program == nullptr || CompareStringOrdinal(program, -1, exe, -1, TRUE) != CSTR_EQUAL) return;
  RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE);
}

void forget_settings() {
  if (lid_backup_left()) return;
  RegDeleteTreeW(HKEY_CURRENT_USER, ORBEL_KEY);
}

}  // namespace orbel_setup
