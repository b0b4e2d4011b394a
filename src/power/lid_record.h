// What the saved lid-close values under Software\Orbel amount to. The
// program and its installer both decide by this, so that they mean the same
// by "a backup": something that may hold the only copy of the user's
// setting.
//
// A backup is three values: "LidAC" and "LidDC", the plan's indexes before
// the override (REG_QWORD), and "LidPlan", the plan they came from (a
// 16-byte GUID). "LidPlan" is written last, once both indexes are stored,
// and before the plan is overridden; when the values have been given back it
// is first set to the null GUID, and the three are then deleted. So a real
// plan in "LidPlan" means the override is (or may be) in force with these
// values, and a null one that the rest is being written or taken down: it
// belongs to no plan and nothing is restored from it. A process that ends
// between any two of these calls leaves one of those two states.
#pragma once

namespace orbel {

// How one value read: whole and of its type; missing (absent, of another
// type or of the wrong size: nothing usable is there); or unreadable (the
// registry refused the read, so the value may be fine).
enum class Stored { PRESENT, MISSING, UNREADABLE };

enum class LidRecord {
  NONE,            // no backup: nothing, or leftovers that belong to no plan
  OF_PLAN,         // "LidPlan" names the overridden plan; "LidAC"/"LidDC" hold its values, or what is left of them
  OF_ACTIVE_PLAN,  // a whole pair without a plan record, as stored before plans were recorded: the active plan's
  UNREADABLE,      // a value could not be read: decide nothing now
};

// `plan_is_null`: "LidPlan" holds the null GUID (meaningful when present).
constexpr LidRecord lid_record(Stored ac, Stored dc, Stored plan, bool plan_is_null) {
  if (ac == Stored::UNREADABLE || dc == Stored::UNREADABLE || plan == Stored::UNREADABLE)
    return LidRecord::UNREADABLE;
  if (plan == Stored::PRESENT) return plan_is_null ? LidRecord::NONE : LidRecord::OF_PLAN;
  return ac == Stored::PRESENT && dc == Stored::PRESENT ? LidRecord::OF_ACTIVE_PLAN : LidRecord::NONE;
}

// Whether the values may hold the user's setting, so that they must not be
// thrown away and an Orbel start (which gives them back) is worth it.
constexpr bool is_backup(LidRecord record) { return record != LidRecord::NONE; }

}  // namespace orbel
