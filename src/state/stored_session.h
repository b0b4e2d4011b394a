// How "On", "Until" and "Hours" are read back, so that a commit that was cut
// short between two of its writes still loads as a session somebody chose:
// the one before the commit or the one after it.
//
// A commit that switches a session on or changes it first writes "Until" in
// a pending form that holds the new end time and the new duration in one
// value: the top bit set, the duration in bits 40 to 62, the end time in bits
// 0 to 39 (good for some thirty thousand years). "Until" then gets its plain
// end time once "Hours" is written. Until then, the pending form is what
// counts.
#pragma once

#include <cstdint>
#include <optional>

namespace orbel {

constexpr std::uint64_t PENDING_UNTIL_FLAG = std::uint64_t{1} << 63;
constexpr unsigned PENDING_HOURS_SHIFT = 40;
constexpr std::uint64_t PENDING_UNTIL_MASK = (std::uint64_t{1} << PENDING_HOURS_SHIFT) - 1;
constexpr std::uint64_t PENDING_HOURS_LIMIT = std::uint64_t{1} << 23;

// The pending form of an end time and duration, or nothing when they do not
// fit it (no real session is that long or that far away).
std::optional<std::uint64_t> pending_until(std::uint64_t until, std::uint32_t hours);

// One stored number as it read: `ok` when it is whole.
struct StoredNumber {
  bool ok;
  std::uint64_t value;
};

struct LoadedSession {
  bool on;
  std::uint64_t until;
  std::uint32_t hours;
};

// The session the stored values stand for at `now` (Unix seconds):
// - a missing "On" is on (a first start keeps the machine awake);
// - an "On" 0 is off, with no end and no duration, whatever the other two
//   still hold (a switch-off writes "On" first);
// - a pending "Until" gives end and duration, ahead of "Hours";
// - an end time that has come switches the session off.
LoadedSession session_from_stored(StoredNumber on, StoredNumber until, StoredNumber hours, std::uint64_t now);

}  // namespace orbel
