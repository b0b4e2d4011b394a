#include "main/app.h"

#include <optional>

#include "power/power_hold.h"
#include "state/session_state.h"
#include "state/settings.h"
#include "state/stored_session.h"
#include "tray/tray_icon.h"

namespace orbel {
namespace {

// Stores the session so that a process ended between any two of these
// writes leaves one the next start loads as the session before the commit or
// the one after it, never a mix of the two:
// - switching off: "On" first; an "On" 0 loads with no end and no duration,
//   whatever "Until" and "Hours" still say;
// - on: "Until" first in its pending form, which carries the new duration
//   too and so makes the new end and duration one write; then "Hours",
//   "Until" as it stays, and "On" last (with an "On" 0 still stored, all of
//   this loads as off, the session before).
void store_session() {
  if (!session.on) {
    settings_write_u64(VALUE_ON, 0);
    settings_write_u64(VALUE_UNTIL, 0);
    settings_write_u64(VALUE_HOURS, 0);
    return;
  }
  if (const std::optional<std::uint64_t> pending = pending_until(session.until, session.hours))
    settings_write_u64(VALUE_UNTIL, *pending);
  settings_write_u64(VALUE_HOURS, session.hours);
  settings_write_u64(VALUE_UNTIL, session.until);
  settings_write_u64(VALUE_ON, 1);
}

}  // namespace

void apply_state() {
  set_power_hold(session.on);
  store_session();
  refresh_tray_icon(NIM_MODIFY);
}

void release_and_remove() {
  set_power_hold(false);
  refresh_tray_icon(NIM_DELETE);
}

}  // namespace orbel
