#include "main/app.h"
#include "power/power_hold.h"
#include "state/session_state.h"
#include "state/settings.h"
#include "tray/tray_icon.h"

namespace orbel {

void apply_state() {
  set_power_hold(session.on);
  settings_write_u64(VALUE_ON, session.on ? 1 : 0);
  settings_write_u64(VALUE_UNTIL, session.until);
  settings_write_u64(VALUE_HOURS, session.hours);
  refresh_tray_icon(NIM_MODIFY);
}

void release_and_remove() {
  set_power_hold(false);
  refresh_tray_icon(NIM_DELETE);
}

}  // namespace orbel
