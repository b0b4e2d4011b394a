#include "state/stored_session.h"

namespace orbel {

std::optional<std::uint64_t> pending_until(std::uint64_t until, std::uint32_t hours) {
  if (until > PENDING_UNTIL_MASK || hours >= PENDING_HOURS_LIMIT) return std::nullopt;
  return PENDING_UNTIL_FLAG | (std::uint64_t{hours} << PENDING_HOURS_SHIFT) | until;
}

LoadedSession session_from_stored(StoredNumber on, StoredNumber until, StoredNumber hours, std::uint64_t now) {
  LoadedSession s{!on.ok || on.value != 0, until.ok ? until.value : 0,
                  hours.ok ? static_cast<std::uint32_t>(hours.value) : 0};
  if (s.until & PENDING_UNTIL_FLAG) {
    s.hours = static_cast<std::uint32_t>((s.until >> PENDING_HOURS_SHIFT) & (PENDING_HOURS_LIMIT - 1));
    s.until &= PENDING_UNTIL_MASK;
  }
  if (!s.on) s = LoadedSession{false, 0, 0};
  if (s.until != 0 && now >= s.until) s = LoadedSession{false, 0, 0};
  return s;
}

}  // namespace orbel
