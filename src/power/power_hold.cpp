#include "power/power_hold.h"

#include <cstring>

#include "state/settings.h"

namespace orbel {
namespace {

// The saved lid-close pair and the plan it was taken from.
struct LidBackup {
  enum State { NONE, WHOLE, UNKNOWN } state;  // UNKNOWN: a read was refused; decide nothing now
  DWORD ac;
  DWORD dc;
  bool has_plan;  // false for a backup stored before plans were recorded
  GUID plan;
};

// "LidAC" and "LidDC" count only as a pair: half a pair, or a value of the
// wrong type or size, can never be restored and so is no backup at all. A
// read the registry refused says nothing about the value, and nothing may be
// written on the strength of it.
LidBackup read_backup() {
  const SettingRead ac = settings_read_u64(ORBEL_KEY, VALUE_LID_AC);
  const SettingRead dc = settings_read_u64(ORBEL_KEY, VALUE_LID_DC);
  const GuidRead plan = settings_read_guid(VALUE_LID_PLAN);
  LidBackup backup{LidBackup::NONE, 0, 0, plan.ok, plan.value};
  if (ac.unreadable || dc.unreadable || plan.unreadable)
    backup.state = LidBackup::UNKNOWN;
  else if (ac.ok && dc.ok)
    backup = LidBackup{LidBackup::WHOLE, static_cast<DWORD>(ac.value & 0xffffffffu),
                       static_cast<DWORD>(dc.value & 0xffffffffu), plan.ok, plan.value};
  return backup;
}

bool same_plan(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// Deletes the backup, "LidAC" first: once it is gone the rest is half a pair,
// which nobody restores from. Returns whether all of it is gone.
bool delete_backup() {
  return settings_delete(ORBEL_KEY, VALUE_LID_AC) && settings_delete(ORBEL_KEY, VALUE_LID_DC) &&
         settings_delete(ORBEL_KEY, VALUE_LID_PLAN);
}

// Stores `ac`/`dc` as the backup of `plan`: the plan first, then the pair,
// whose second half completes it. A pair that could not be completed is
// taken apart again, so a stale "LidDC" can never pass for part of it.
bool write_backup(const GUID& plan, DWORD ac, DWORD dc) {
  if (!settings_write_guid(VALUE_LID_PLAN, plan)) return false;
  if (settings_write_u64(VALUE_LID_AC, ac) && settings_write_u64(VALUE_LID_DC, dc)) return true;
  settings_delete(ORBEL_KEY, VALUE_LID_AC);
  return false;
}

enum class GiveBack { DONE, PLAN_GONE, FAILED };

// Writes the saved pair back into the backup's own plan. Only the active plan
// needs PowerSetActiveScheme; another plan's values take effect whenever it
// is next made active. A plan that is not active may have been deleted:
// reading from an unknown plan fails with ERROR_FILE_NOT_FOUND, and then the
// values belong nowhere, least of all in another plan.
GiveBack give_back(const GUID& plan, bool active, const LidBackup& backup) {
  if (!active) {
    DWORD probe = 0;
    const DWORD found = PowerReadACValueIndex(nullptr, &plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, &probe);
    if (found == ERROR_FILE_NOT_FOUND) return GiveBack::PLAN_GONE;
    if (found != ERROR_SUCCESS) return GiveBack::FAILED;
  }
  const bool ac_written = PowerWriteACValueIndex(nullptr, &plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION,
                                                 backup.ac) == ERROR_SUCCESS;
  const bool dc_written = PowerWriteDCValueIndex(nullptr, &plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION,
                                                 backup.dc) == ERROR_SUCCESS;
  if (!ac_written || !dc_written) return GiveBack::FAILED;
  if (active && PowerSetActiveScheme(nullptr, &plan) != ERROR_SUCCESS) return GiveBack::FAILED;
  return GiveBack::DONE;
}

// Saves the active plan's lid-close values (unless it has a backup already)
// and sets both to "do nothing". The plan is only overridden while a complete
// backup of its own values is in the registry: overriding without one would
// lose the user's setting. A backup taken from another plan (the user
// switched plans during the session) is given back to that plan first.
void override_lid(const GUID& active) {
  DWORD ac = 0;
  DWORD dc = 0;
  if (PowerReadACValueIndex(nullptr, &active, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, &ac) != ERROR_SUCCESS)
    return;
  if (PowerReadDCValueIndex(nullptr, &active, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, &dc) != ERROR_SUCCESS)
    return;
  LidBackup backup = read_backup();
  if (backup.state == LidBackup::UNKNOWN) return;
  if (backup.state == LidBackup::WHOLE && backup.has_plan && !same_plan(backup.plan, active)) {
    if (give_back(backup.plan, false, backup) == GiveBack::FAILED || !delete_backup()) return;
    backup.state = LidBackup::NONE;
  }
  if (backup.state == LidBackup::NONE) {
    if (!write_backup(active, ac, dc)) return;
  } else if (!backup.has_plan) {
    // A backup from before plans were recorded belongs to the plan it is
    // first used with; saying so keeps it there after a later plan switch.
    settings_write_guid(VALUE_LID_PLAN, active);
  }
  if (ac == LID_DO_NOTHING && dc == LID_DO_NOTHING) return;
  PowerWriteACValueIndex(nullptr, &active, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, LID_DO_NOTHING);
  PowerWriteDCValueIndex(nullptr, &active, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, LID_DO_NOTHING);
  PowerSetActiveScheme(nullptr, &active);
}

// Gives the saved values back to the plan they came from. The backup is
// deleted only when that plan took them (or no longer exists), so a failed
// restore is retried by the next release instead of losing the user's setting.
void restore_lid(const GUID& active) {
  const LidBackup backup = read_backup();
  if (backup.state != LidBackup::WHOLE) return;
  const GUID& plan = backup.has_plan ? backup.plan : active;
  if (give_back(plan, same_plan(plan, active), backup) != GiveBack::FAILED) delete_backup();
}

}  // namespace

void set_power_hold(bool active) {
  SetThreadExecutionState(active ? KEEP_AWAKE_STATE : RELEASED_STATE);
  GUID* plan = nullptr;
  if (PowerGetActiveScheme(nullptr, &plan) != ERROR_SUCCESS || plan == nullptr) return;
  if (active)
    override_lid(*plan);
  else
    restore_lid(*plan);
  LocalFree(plan);
}

}  // namespace orbel
