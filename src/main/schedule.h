// The rules of the periodic evaluation that need no operating system.
#pragma once

#include <cstdint>

namespace orbel {

constexpr std::uint64_t UPDATE_INTERVAL_S = 86400;
constexpr std::uint8_t LOW_BATTERY_PERCENT = 10;
constexpr std::uint8_t MAINS_OFFLINE = 0;

// A check is due once a day; a clock set back behind the last check counts
// as no time passed.
constexpr bool update_check_due(std::uint64_t now, std::uint64_t last_check) {
  return (now >= last_check ? now - last_check : 0) >= UPDATE_INTERVAL_S;
}

// Only a machine known to run on battery with a known low charge ends a
// session; 255 ("unknown") in either field never does.
constexpr bool battery_too_low(std::uint8_t ac_line_status, std::uint8_t battery_percent) {
  return ac_line_status == MAINS_OFFLINE && battery_percent <= LOW_BATTERY_PERCENT;
}

}  // namespace orbel
