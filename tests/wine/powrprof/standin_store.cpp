#include "standin_store.h"

namespace {

// LocalFree may be called on any of Orbel's threads; a counter's read and
// write must not interleave with another's.
SRWLOCK counter_lock = SRWLOCK_INIT;

}  // namespace

void add_to_counter(const std::wstring& key, const wchar_t* name, LONG delta) {
  AcquireSRWLockExclusive(&counter_lock);
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
    value = 0;
  value = static_cast<DWORD>(static_cast<LONG>(value) + delta);
  RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name, REG_DWORD, &value, sizeof value);
  ReleaseSRWLockExclusive(&counter_lock);
}

void set_counter(const std::wstring& key, const wchar_t* name, DWORD value) {
  AcquireSRWLockExclusive(&counter_lock);
  RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name, REG_DWORD, &value, sizeof value);
  ReleaseSRWLockExclusive(&counter_lock);
}
