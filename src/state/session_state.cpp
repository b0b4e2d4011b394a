#include "state/session_state.h"

#include "state/clock.h"
#include "state/settings.h"
#include "state/stored_session.h"

namespace orbel {

SessionState session;

void load_session_state() {
  const SettingRead on = settings_read_u64(ORBEL_KEY, VALUE_ON);
  const SettingRead until = settings_read_u64(ORBEL_KEY, VALUE_UNTIL);
  const SettingRead hours = settings_read_u64(ORBEL_KEY, VALUE_HOURS);
  // The clock is read only for a stored end time.
  const bool timed = until.ok && until.value != 0;
  const LoadedSession loaded = session_from_stored({on.ok, on.value}, {until.ok, until.value},
                                                   {hours.ok, hours.value}, timed ? unix_now() : 0);
  session.on = loaded.on;
  session.until = loaded.until;
  session.hours = loaded.hours;
}

}  // namespace orbel
