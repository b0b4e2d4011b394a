#include "state/session_state.h"

#include "state/clock.h"
#include "state/settings.h"

namespace orbel {

SessionState session;

void load_session_state() {
  const SettingRead on = settings_read_u64(ORBEL_KEY, VALUE_ON);
  const SettingRead until = settings_read_u64(ORBEL_KEY, VALUE_UNTIL);
  const SettingRead hours = settings_read_u64(ORBEL_KEY, VALUE_HOURS);
  // A missing or unreadable "On" means active: a first start keeps the
  // machine awake until the user says otherwise.
  session.on = !on.ok || on.value != 0;
  session.until = until.ok ? until.value : 0;
  session.hours = hours.ok ? static_cast<std::uint32_t>(hours.value) : 0;
  if (session.until != 0 && unix_now() >= session.until) {
    session.until = 0;
    session.on = false;
    session.hours = 0;
  }
}

}  // namespace orbel
