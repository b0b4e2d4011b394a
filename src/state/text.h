// Text conversion between the program's UTF-8 and the UTF-16 that wide
// Windows calls take. Pure: no state, safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace orbel {

// UTF-16 units of `text` followed by exactly one 0 unit. Malformed UTF-8
// becomes U+FFFD, one per maximal ill-formed subsequence.
std::vector<WCHAR> to_wide(std::string_view text);

// UTF-8 of `count` UTF-16 units; a surrogate that is not part of a pair
// becomes U+FFFD.
std::string to_utf8(const WCHAR* units, std::size_t count);

}  // namespace orbel
