// Where the test-only powrprof.dll beside the lid tests' Orbel.exe keeps its
// power plans and what it counts of the calls it gets, so that a test can set
// plans up and see what Orbel asked of them. Shared by the DLL and the tests.
//
// HKCU\Software\OrbelTestPowerPlans
//   "Active"           REG_SZ     the active plan, "{GUID}"
//   "WriteCalls"       REG_DWORD  every PowerWrite*ValueIndex call, failed ones too
//   "GuidsHandedOut"   REG_DWORD  active-plan GUIDs handed out by PowerGetActiveScheme
//   "GuidsNotFreed"    REG_DWORD  of those, the ones not given to LocalFree yet
//   "GuidsFreedTwice"  REG_DWORD  LocalFree calls on one of them after it was freed
//   {plan}                        a plan exists exactly while its key does
//     "SetActiveCalls" REG_DWORD  PowerSetActiveScheme calls that made it active
//     "PendingWrites"  REG_DWORD  writes into it since it was last made active:
//                                 Windows applies them only at PowerSetActiveScheme
//     {subgroup}\{setting}
//       "ACSettingIndex", "DCSettingIndex"  REG_DWORD, named as Windows names them
//                                           in its own store of power schemes
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

namespace plan_store {

constexpr const wchar_t* ROOT_KEY = L"Software\\OrbelTestPowerPlans";
constexpr const wchar_t* ACTIVE = L"Active";
constexpr const wchar_t* WRITE_CALLS = L"WriteCalls";
constexpr const wchar_t* GUIDS_HANDED_OUT = L"GuidsHandedOut";
constexpr const wchar_t* GUIDS_NOT_FREED = L"GuidsNotFreed";
constexpr const wchar_t* GUIDS_FREED_TWICE = L"GuidsFreedTwice";
constexpr const wchar_t* SET_ACTIVE_CALLS = L"SetActiveCalls";
constexpr const wchar_t* PENDING_WRITES = L"PendingWrites";
constexpr const wchar_t* AC_INDEX = L"ACSettingIndex";
constexpr const wchar_t* DC_INDEX = L"DCSettingIndex";

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
constexpr int GUID_TEXT_CHARS = 39;

inline std::wstring guid_text(const GUID& guid) {
  wchar_t text[GUID_TEXT_CHARS] = {};
  StringFromGUID2(guid, text, GUID_TEXT_CHARS);
  return text;
}

inline std::wstring plan_key(const GUID& plan) { return std::wstring(ROOT_KEY) + L"\\" + guid_text(plan); }

inline std::wstring setting_key(const GUID& plan, const GUID& subgroup, const GUID& setting) {
  return plan_key(plan) + L"\\" + guid_text(subgroup) + L"\\" + guid_text(setting);
}

inline bool plan_exists(const GUID& plan) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, plan_key(plan).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

}  // namespace plan_store
