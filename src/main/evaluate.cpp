#include "main/app.h"
#include "main/schedule.h"
#include "power/power_hold.h"
#include "state/clock.h"
#include "state/session_state.h"
#include "update/update_check.h"

namespace orbel {
namespace {

void switch_off() {
  session.until = 0;
  session.on = false;
  session.hours = 0;
  apply_state();
}

}  // namespace

void evaluate_tick() {
  const std::uint64_t now = unix_now();
  if (update_check_due(now, session.last_update_check.load(std::memory_order_relaxed))) {
    // Stamped before the worker starts, so a slow check is not started twice.
    session.last_update_check.store(now, std::memory_order_relaxed);
    start_update_check();
  }
  if (!session.on) return;

  if (session.until != 0 && unix_now() >= session.until) {
    switch_off();
    return;
  }

  SYSTEM_POWER_STATUS power{};
  if (GetSystemPowerStatus(&power) && battery_too_low(power.ACLineStatus, power.BatteryLifePercent)) {
    switch_off();
    return;
  }

  // Renewed at every evaluation: the request and the lid override are
  // asserted again at least every tick.
  set_power_hold(true);
}

}  // namespace orbel
