#include "power/power_hold.h"

#include "state/settings.h"

namespace orbel {
namespace {

// Saves the plan's lid-close values (unless a backup already exists) and sets
// both to "do nothing". The plan is only overridden while a complete backup
// is in the registry: overriding without one would lose the user's setting.
void override_lid(const GUID* plan) {
  DWORD ac = 0;
  DWORD dc = 0;
  if (PowerReadACValueIndex(nullptr, plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, &ac) != ERROR_SUCCESS)
    return;
  if (PowerReadDCValueIndex(nullptr, plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, &dc) != ERROR_SUCCESS)
    return;
  const SettingRead saved_ac = settings_read_u64(ORBEL_KEY, VALUE_LID_AC);
  if (!saved_ac.ok) {
    // Only a backup that is not there may be written anew: one that merely
    // could not be read may hold the user's values while the plan holds 0.
    if (!saved_ac.missing) return;
    if (!settings_write_u64(VALUE_LID_AC, ac)) return;
    if (!settings_write_u64(VALUE_LID_DC, dc)) {
      // Half a backup would block the next attempt at a whole one.
      settings_delete(ORBEL_KEY, VALUE_LID_AC);
      return;
    }
  } else if (!settings_read_u64(ORBEL_KEY, VALUE_LID_DC).ok) {
    // "LidAC" without "LidDC" can never be restored; the plan keeps what the
    // user set rather than being overridden for good.
    return;
  }
  if (ac == LID_DO_NOTHING && dc == LID_DO_NOTHING) return;
  PowerWriteACValueIndex(nullptr, plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, LID_DO_NOTHING);
  PowerWriteDCValueIndex(nullptr, plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, LID_DO_NOTHING);
  PowerSetActiveScheme(nullptr, plan);
}

// Writes the saved values back into the active plan. The backup is deleted
// only when the plan took them, so a failed restore is retried by the next
// release instead of losing the user's setting. "LidDC" goes only after
// "LidAC": a lone "LidAC" would block both the next backup and the restore.
void restore_lid(const GUID* plan) {
  const SettingRead ac = settings_read_u64(ORBEL_KEY, VALUE_LID_AC);
  const SettingRead dc = settings_read_u64(ORBEL_KEY, VALUE_LID_DC);
  if (!ac.ok || !dc.ok) return;
  const bool ac_written = PowerWriteACValueIndex(nullptr, plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION,
                                                 static_cast<DWORD>(ac.value & 0xffffffffu)) == ERROR_SUCCESS;
  const bool dc_written = PowerWriteDCValueIndex(nullptr, plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION,
                                                 static_cast<DWORD>(dc.value & 0xffffffffu)) == ERROR_SUCCESS;
  const bool applied = PowerSetActiveScheme(nullptr, plan) == ERROR_SUCCESS;
  if (!ac_written || !dc_written || !applied) return;
  if (settings_delete(ORBEL_KEY, VALUE_LID_AC)) settings_delete(ORBEL_KEY, VALUE_LID_DC);
}

}  // namespace

void set_power_hold(bool active) {
  SetThreadExecutionState(active ? KEEP_AWAKE_STATE : RELEASED_STATE);
  GUID* plan = nullptr;
  if (PowerGetActiveScheme(nullptr, &plan) != ERROR_SUCCESS || plan == nullptr) return;
  if (active)
    override_lid(plan);
  else
    restore_lid(plan);
  LocalFree(plan);
}

}  // namespace orbel
