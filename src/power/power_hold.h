// Keep-awake request and lid-close override. While held, the calling thread
// asks Windows to keep the system and display on, and the active power plan's
// lid-close action is "do nothing" on mains and battery; the plan's previous
// values wait in the registry ("LidAC", "LidDC", and "LidPlan" naming the
// plan; see lid_record.h) until they are given back.
#pragma once

#include "platform.h"

namespace orbel {

constexpr EXECUTION_STATE KEEP_AWAKE_STATE = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;
constexpr EXECUTION_STATE RELEASED_STATE = ES_CONTINUOUS;

constexpr GUID GUID_SYSTEM_BUTTON_SUBGROUP = {0x4f971e89, 0xeebd, 0x4455, {0xa8, 0xde, 0x9e, 0x59, 0x04, 0x0e, 0x73, 0x47}};
constexpr GUID GUID_LIDCLOSE_ACTION = {0x5ca83367, 0x6e45, 0x459f, {0xa2, 0x7b, 0x47, 0x6b, 0x1d, 0x01, 0xc9, 0x36}};
constexpr DWORD LID_DO_NOTHING = 0;
// Windows' own default lid-close action, given back where a saved value was
// lost while the plan held the override.
constexpr DWORD LID_SLEEP = 1;
// "LidPlan" while a backup is written or taken down: no plan has it.
constexpr GUID NO_PLAN = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
// More plans than any machine has: an enumeration that goes on past this
// tells nothing.
constexpr ULONG MAX_PLANS_LISTED = 1024;

// Runs on the UI thread only: the execution-state request belongs to the
// calling thread. Every failure inside is silent.
void set_power_hold(bool active);

}  // namespace orbel
