#include "state/clock.h"

#include "platform.h"

namespace orbel {

std::uint64_t unix_seconds_from_filetime(std::int64_t filetime) {
  if (filetime < FILETIME_UNIX_EPOCH) return 0;
  return static_cast<std::uint64_t>((filetime - FILETIME_UNIX_EPOCH) / 10000000);
}

std::uint64_t unix_now() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  const std::uint64_t bits = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return unix_seconds_from_filetime(static_cast<std::int64_t>(bits));
}

}  // namespace orbel
