#include "power/power_hold.h"

#include <cstring>

#include "power/lid_record.h"
#include "state/settings.h"

namespace orbel {
namespace {

// The saved lid-close values as they read.
struct LidBackup {
  LidRecord record;
  GUID plan;  // OF_PLAN: the plan they came from
  bool has_ac;
  DWORD ac;
  bool has_dc;
  DWORD dc;
  bool anything_stored;  // some value reads whole: leftovers to clear
};

Stored stored(bool ok, bool unreadable) {
  return ok ? Stored::PRESENT : unreadable ? Stored::UNREADABLE : Stored::MISSING;
}

bool same_plan(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

bool is_null(const GUID& plan) { return same_plan(plan, NO_PLAN); }

LidBackup read_backup() {
  const SettingRead ac = settings_read_u64(ORBEL_KEY, VALUE_LID_AC);
  const SettingRead dc = settings_read_u64(ORBEL_KEY, VALUE_LID_DC);
  const GuidRead plan = settings_read_guid(VALUE_LID_PLAN);
  const LidRecord record = lid_record(stored(ac.ok, ac.unreadable), stored(dc.ok, dc.unreadable),
                                      stored(plan.ok, plan.unreadable), plan.ok && is_null(plan.value));
  return LidBackup{record,
                   plan.value,
                   ac.ok,
                   static_cast<DWORD>(ac.value & 0xffffffffu),
                   dc.ok,
                   static_cast<DWORD>(dc.value & 0xffffffffu),
                   ac.ok || dc.ok || plan.ok};
}

// Deletes whatever is left of a backup that counts no more, the plan record
// last, so that what a cut leaves never adds up to one.
void clear_leftovers() {
  settings_delete(ORBEL_KEY, VALUE_LID_AC);
  settings_delete(ORBEL_KEY, VALUE_LID_DC);
  settings_delete(ORBEL_KEY, VALUE_LID_PLAN);
}

// Takes the backup down once its plan has its values back: the null plan
// first, which is the moment the values stop counting, then the values.
// Returns whether it counts no more (leftovers of a failed delete do not).
bool take_down_backup() {
  if (!settings_write_guid(VALUE_LID_PLAN, NO_PLAN)) return false;
  clear_leftovers();
  return true;
}

// Stores `ac`/`dc` as the backup of `plan`. The null plan goes first, so the
// pair is never taken for a backup while it is written (whatever a stale
// half beside it says); the plan itself goes last and makes it one.
bool write_backup(const GUID& plan, DWORD ac, DWORD dc) {
  return settings_write_guid(VALUE_LID_PLAN, NO_PLAN) && settings_write_u64(VALUE_LID_AC, ac) &&
         settings_write_u64(VALUE_LID_DC, dc) && settings_write_guid(VALUE_LID_PLAN, plan);
}

enum class Listed { YES, NO, UNKNOWN };

// Whether the system lists `plan` among its power schemes. A plan the user
// deleted is not listed; an enumeration that fails or answers out of shape
// tells nothing, and nothing is concluded from it.
Listed plan_listed(const GUID& plan) {
  for (ULONG index = 0; index < MAX_PLANS_LISTED; ++index) {
    GUID listed{};
    DWORD size = sizeof listed;
    const DWORD result =
        PowerEnumerate(nullptr, nullptr, nullptr, ACCESS_SCHEME, index, reinterpret_cast<UCHAR*>(&listed), &size);
    if (result == ERROR_NO_MORE_ITEMS) return Listed::NO;
    if (result != ERROR_SUCCESS || size != sizeof listed) return Listed::UNKNOWN;
    if (same_plan(listed, plan)) return Listed::YES;
  }
  return Listed::UNKNOWN;
}

// The value to give back for one index: the saved one, or, where the saved
// one was lost (deleted or overwritten from outside while the override was
// in force), Windows' default "sleep", but only while the plan still holds
// the override's "do nothing": anything else there is the user's own.
// Returns false when the plan's value cannot be read.
bool value_to_give_back(bool saved, DWORD saved_value, DWORD (*read)(HKEY, const GUID*, const GUID*, const GUID*, LPDWORD),
                        const GUID& plan, bool& write, DWORD& value) {
  write = true;
  value = saved_value;
  if (saved) return true;
  DWORD now = 0;
  if (read(nullptr, &plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, &now) != ERROR_SUCCESS) return false;
  write = now == LID_DO_NOTHING;
  value = LID_SLEEP;
  return true;
}

enum class GiveBack { DONE, PLAN_GONE, FAILED };

// Writes the saved values back into the backup's own plan. Only the active
// plan needs PowerSetActiveScheme; another plan's values take effect
// whenever it is next made active. A plan that is not active may have been
// deleted: then the values belong nowhere, least of all in another plan.
GiveBack give_back(const GUID& plan, bool active, const LidBackup& backup) {
  if (!active) {
    const Listed listed = plan_listed(plan);
    if (listed == Listed::UNKNOWN) return GiveBack::FAILED;
    if (listed == Listed::NO) return GiveBack::PLAN_GONE;
  }
  bool write_ac = false;
  bool write_dc = false;
  DWORD ac = 0;
  DWORD dc = 0;
  if (!value_to_give_back(backup.has_ac, backup.ac, PowerReadACValueIndex, plan, write_ac, ac) ||
      !value_to_give_back(backup.has_dc, backup.dc, PowerReadDCValueIndex, plan, write_dc, dc))
    return GiveBack::FAILED;
  if (write_ac &&
      PowerWriteACValueIndex(nullptr, &plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, ac) != ERROR_SUCCESS)
    return GiveBack::FAILED;
  if (write_dc &&
      PowerWriteDCValueIndex(nullptr, &plan, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, dc) != ERROR_SUCCESS)
    return GiveBack::FAILED;
  if (active && PowerSetActiveScheme(nullptr, &plan) != ERROR_SUCCESS) return GiveBack::FAILED;
  return GiveBack::DONE;
}

// Saves the active plan's lid-close values (unless it has a backup already)
// and sets both to "do nothing". The plan is only overridden while a backup
// of its own values is in the registry: overriding without one would lose
// the user's setting. A backup taken from another plan (the user switched
// plans during the session) is given back to that plan first. A backup of
// this plan that lost a value is kept as it is: the plan holds the
// override's 0/0, and a fresh backup would take that for the user's setting.
void override_lid(const GUID& active) {
  DWORD ac = 0;
  DWORD dc = 0;
  if (PowerReadACValueIndex(nullptr, &active, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, &ac) != ERROR_SUCCESS)
    return;
  if (PowerReadDCValueIndex(nullptr, &active, &GUID_SYSTEM_BUTTON_SUBGROUP, &GUID_LIDCLOSE_ACTION, &dc) != ERROR_SUCCESS)
    return;
  LidBackup backup = read_backup();
  if (backup.record == LidRecord::UNREADABLE) return;
  if (backup.record == LidRecord::OF_PLAN && !same_plan(backup.plan, active)) {
    if (give_back(backup.plan, false, backup) == GiveBack::FAILED || !take_down_backup()) return;
    backup.record = LidRecord::NONE;
  }
  if (backup.record == LidRecord::NONE) {
    if (!write_backup(active, ac, dc)) return;
  } else if (backup.record == LidRecord::OF_ACTIVE_PLAN) {
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
// taken down only when that plan took them (or no longer exists), so a
// failed restore is retried by the next release instead of losing the
// user's setting. Leftovers that belong to no plan are cleared.
void restore_lid(const GUID& active) {
  const LidBackup backup = read_backup();
  if (backup.record == LidRecord::UNREADABLE) return;
  if (backup.record == LidRecord::NONE) {
    if (backup.anything_stored) clear_leftovers();
    return;
  }
  const GUID& plan = backup.record == LidRecord::OF_PLAN ? backup.plan : active;
  if (give_back(plan, same_plan(plan, active), backup) != GiveBack::FAILED) take_down_backup();
}

}  // namespace

void set_power_hold(bool active) {
  SetThreadExecutionState(active ? KEEP_AWAKE_STATE : RELEASED_STATE);
  GUID* plan = nullptr;
  if (PowerGetActiveScheme(nullptr, &plan) != ERROR_SUCCESS || plan == nullptr) return;
  // No real plan is null; a backup naming it would count for nothing.
  if (!is_null(*plan)) {
    if (active)
      override_lid(*plan);
    else
      restore_lid(*plan);
  }
  LocalFree(plan);
}

}  // namespace orbel
