// The stand-in powrprof.dll's counters in its registry key (plan_store.h).
#pragma once

#include <windows.h>

#include <string>

// Adds `delta` to the REG_DWORD counter `name` under HKCU\`key` (a missing
// counter counts as 0). Safe from any thread.
void add_to_counter(const std::wstring& key, const wchar_t* name, LONG delta);
void set_counter(const std::wstring& key, const wchar_t* name, DWORD value);
