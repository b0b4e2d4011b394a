#pragma once

#include <cstdint>

namespace orbel {

// 100-nanosecond units from 1601-01-01 to 1970-01-01.
constexpr std::int64_t FILETIME_UNIX_EPOCH = 116444736000000000;

// Whole seconds since 1970 for a FILETIME count; 0 for any time before 1970.
std::uint64_t unix_seconds_from_filetime(std::int64_t filetime);

// The current UTC time in whole Unix seconds. Safe on any thread.
std::uint64_t unix_now();

}  // namespace orbel
