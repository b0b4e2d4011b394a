// The pure half of the daily update check: what counts as a version in the
// manifest the maker's web host serves, and whether it beats our own. The
// bytes come off the network, possibly from a captive portal or a proxy, so
// any input must give an answer and nothing here throws on content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orbel_version.h"  // generated from the project's version

namespace orbel {

constexpr const char* OWN_VERSION = ORBEL_VERSION_TEXT;

// The quotes are part of the key, so "windowsXP" or a bare word does not match.
constexpr std::string_view MANIFEST_KEY = "\"windows\"";

// Longer than any version we would publish; caps what reaches parse_version.
constexpr std::size_t MAX_VERSION_TEXT = 20;

// Well-formed UTF-8 only: no overlong forms, no encoded surrogates, nothing
// past U+10FFFF, no cut-off or stray continuation bytes. A BOM is fine.
bool is_valid_utf8(std::string_view bytes);

// The value of the first "windows" key in a manifest, found by bytes rather
// than by a JSON parser: the first quoted string after the key, 1 to
// MAX_VERSION_TEXT bytes of digits and dots. None for anything else,
// including a body that is not valid UTF-8.
std::optional<std::string> extract_manifest_version(std::string_view bytes);

// One number per dot-separated part. A part that is not an optional '+' and
// decimal digits, or does not fit 64 bits, counts as 0; so "1..6" is
// [1, 0, 6] and "" is [0]. Never fails.
std::vector<std::uint64_t> parse_version(std::string_view text);

// Part by part, the shorter padded with zeros: "1.5" equals "1.5.0".
bool is_newer_version(std::string_view remote, std::string_view local);

}  // namespace orbel
