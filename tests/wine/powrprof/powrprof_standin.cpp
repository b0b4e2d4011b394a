// A test-only powrprof.dll: Wine 8's power-plan calls are stubs, so the lid
// tests put this one beside their copy of Orbel.exe and start it with
// WINEDLLOVERRIDES=powrprof=n. Plans live in a registry key of the stand-in's
// own (plan_store.h), where a test sets them up and reads them back. The
// calls behave as Microsoft documents them for Windows:
//   - the root power key is reserved and must be NULL;
//   - PowerGetActiveScheme hands out a GUID from LocalAlloc that the caller
//     frees with LocalFree;
//   - PowerEnumerate with ACCESS_SCHEME lists the plans, one GUID per index:
//     a NULL buffer or one too small gets ERROR_MORE_DATA and the size
//     needed, an index past the last plan ERROR_NO_MORE_ITEMS. A plan the
//     user deleted is not listed: that is how Orbel tells one;
//   - reading or writing a plan that does not exist fails (with
//     ERROR_FILE_NOT_FOUND here; Microsoft documents only a non-zero code);
//   - written indexes are stored at once but take effect only when
//     PowerSetActiveScheme makes the plan active ("PendingWrites" shows which
//     have not yet), and PowerSetActiveScheme of an unknown plan fails with
//     ERROR_FILE_NOT_FOUND.
// Windows also accepts a NULL scheme or subgroup in some of these calls with
// special meanings; the stand-in does not model them and fails such a call
// with ERROR_INVALID_PARAMETER, so a caller relying on them shows up.
#include <windows.h>
#include <objbase.h>
#include <powrprof.h>

#include <string>

#include "guid_watch.h"
#include "plan_store.h"
#include "standin_store.h"

namespace {

using plan_store::plan_exists;
using plan_store::ROOT_KEY;

DWORD read_index(HKEY root, const GUID* plan, const GUID* subgroup, const GUID* setting, const wchar_t* name,
                 DWORD* index) {
  if (root != nullptr || plan == nullptr || subgroup == nullptr || setting == nullptr || index == nullptr)
    return ERROR_INVALID_PARAMETER;
  if (!plan_exists(*plan)) return ERROR_FILE_NOT_FOUND;
  DWORD size = sizeof *index;
  return static_cast<DWORD>(RegGetValueW(HKEY_CURRENT_USER,
                                         plan_store::setting_key(*plan, *subgroup, *setting).c_str(), name,
                                         RRF_RT_REG_DWORD, nullptr, index, &size));
}

DWORD write_index(HKEY root, const GUID* plan, const GUID* subgroup, const GUID* setting, const wchar_t* name,
                  DWORD index) {
  // Every call counts, even one that fails: a test checks that a steady
  // evaluation makes none at all.
  add_to_counter(ROOT_KEY, plan_store::WRITE_CALLS, 1);
  if (root != nullptr || plan == nullptr || subgroup == nullptr || setting == nullptr) return ERROR_INVALID_PARAMETER;
  if (!plan_exists(*plan)) return ERROR_FILE_NOT_FOUND;
  const LSTATUS status = RegSetKeyValueW(HKEY_CURRENT_USER,
                                         plan_store::setting_key(*plan, *subgroup, *setting).c_str(), name,
                                         REG_DWORD, &index, sizeof index);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  add_to_counter(plan_store::plan_key(*plan), plan_store::PENDING_WRITES, 1);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

DWORD WINAPI PowerGetActiveScheme(HKEY UserRootPowerKey, GUID** ActivePolicyGuid) {
  if (UserRootPowerKey != nullptr || ActivePolicyGuid == nullptr) return ERROR_INVALID_PARAMETER;
  wchar_t text[plan_store::GUID_TEXT_CHARS] = {};
  DWORD size = sizeof text;
  const LSTATUS status =
      RegGetValueW(HKEY_CURRENT_USER, ROOT_KEY, plan_store::ACTIVE, RRF_RT_REG_SZ, nullptr, text, &size);
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  GUID active{};
  if (IIDFromString(text, &active) != S_OK) return ERROR_INVALID_DATA;
  GUID* const copy = hand_out_guid(active);
  if (copy == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  *ActivePolicyGuid = copy;
  return ERROR_SUCCESS;
}

DWORD WINAPI PowerSetActiveScheme(HKEY UserRootPowerKey, const GUID* SchemeGuid) {
  if (UserRootPowerKey != nullptr || SchemeGuid == nullptr) return ERROR_INVALID_PARAMETER;
  if (!plan_exists(*SchemeGuid)) return ERROR_FILE_NOT_FOUND;
  const std::wstring text = plan_store::guid_text(*SchemeGuid);
  const LSTATUS status =
      RegSetKeyValueW(HKEY_CURRENT_USER, ROOT_KEY, plan_store::ACTIVE, REG_SZ, text.c_str(),
                      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
  const std::wstring key = plan_store::plan_key(*SchemeGuid);
  add_to_counter(key, plan_store::SET_ACTIVE_CALLS, 1);
  set_counter(key, plan_store::PENDING_WRITES, 0);
  return ERROR_SUCCESS;
}

DWORD WINAPI PowerReadACValueIndex(HKEY RootPowerKey, const GUID* SchemeGuid, const GUID* SubGroupOfPowerSettingsGuid,
                                   const GUID* PowerSettingGuid, LPDWORD AcValueIndex) {
  return read_index(RootPowerKey, SchemeGuid, SubGroupOfPowerSettingsGuid, PowerSettingGuid, plan_store::AC_INDEX,
                    AcValueIndex);
}

DWORD WINAPI PowerReadDCValueIndex(HKEY RootPowerKey, const GUID* SchemeGuid, const GUID* SubGroupOfPowerSettingsGuid,
                                   const GUID* PowerSettingGuid, LPDWORD DcValueIndex) {
  return read_index(RootPowerKey, SchemeGuid, SubGroupOfPowerSettingsGuid, PowerSettingGuid, plan_store::DC_INDEX,
                    DcValueIndex);
}

DWORD WINAPI PowerWriteACValueIndex(HKEY RootPowerKey, const GUID* SchemeGuid, const GUID* SubGroupOfPowerSettingsGuid,
                                    const GUID* PowerSettingGuid, DWORD AcValueIndex) {
  return write_index(RootPowerKey, SchemeGuid, SubGroupOfPowerSettingsGuid, PowerSettingGuid, plan_store::AC_INDEX,
                     AcValueIndex);
}

DWORD WINAPI PowerWriteDCValueIndex(HKEY RootPowerKey, const GUID* SchemeGuid, const GUID* SubGroupOfPowerSettingsGuid,
                                    const GUID* PowerSettingGuid, DWORD DcValueIndex) {
  return write_index(RootPowerKey, SchemeGuid, SubGroupOfPowerSettingsGuid, PowerSettingGuid, plan_store::DC_INDEX,
                     DcValueIndex);
}

// Only the list of plans: what is inside a plan is not enumerated here.
DWORD WINAPI PowerEnumerate(HKEY RootPowerKey, const GUID* SchemeGuid, const GUID* SubGroupOfPowerSettingsGuid,
                            POWER_DATA_ACCESSOR AccessFlags, ULONG Index, UCHAR* Buffer, DWORD* BufferSize) {
  if (RootPowerKey != nullptr || SchemeGuid != nullptr || SubGroupOfPowerSettingsGuid != nullptr ||
      AccessFlags != ACCESS_SCHEME || BufferSize == nullptr)
    return ERROR_INVALID_PARAMETER;
  HKEY root = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, ROOT_KEY, 0, KEY_READ, &root) != ERROR_SUCCESS) return ERROR_NO_MORE_ITEMS;
  // Plans are the subkeys named by a GUID; the counters are values.
  ULONG plans_seen = 0;
  GUID found{};
  bool listed = false;
  for (DWORD i = 0; !listed; ++i) {
    wchar_t name[plan_store::GUID_TEXT_CHARS + 1] = {};
    DWORD chars = sizeof name / sizeof name[0];
    const LSTATUS status = RegEnumKeyExW(root, i, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;  // a name too long for a GUID
    if (status != ERROR_SUCCESS) break;
    GUID plan{};
    if (IIDFromString(name, &plan) != S_OK) continue;
    if (plans_seen++ == Index) {
      found = plan;
      listed = true;
    }
  }
  RegCloseKey(root);
  if (!listed) return ERROR_NO_MORE_ITEMS;
  if (Buffer == nullptr || *BufferSize < sizeof found) {
    *BufferSize = sizeof found;
    return ERROR_MORE_DATA;
  }
  CopyMemory(Buffer, &found, sizeof found);
  *BufferSize = sizeof found;
  return ERROR_SUCCESS;
}

}  // extern "C"
