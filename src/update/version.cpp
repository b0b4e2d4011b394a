#include "update/version.h"

#include <algorithm>
#include <limits>

namespace orbel {

namespace {

// A part that is not a plain number says nothing about ordering, so it
// weighs nothing rather than failing the whole comparison.
std::uint64_t part_value(std::string_view part) {
  if (!part.empty() && part.front() == '+') part.remove_prefix(1);
  if (part.empty()) return 0;
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return 0;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    // value * 10 + digit <= MAX, checked before it can wrap.
    if (value > (MAX - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

bool is_version_char(char c) { return (c >= '0' && c <= '9') || c == '.'; }

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint32_t lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint32_t code;
    std::uint32_t smallest;  // below this the same character has a shorter form
    if ((lead & 0xE0u) == 0xC0u) {
      length = 2;
      code = lead & 0x1Fu;
      smallest = 0x80;
    } else if ((lead & 0xF0u) == 0xE0u) {
      length = 3;
      code = lead & 0x0Fu;
      smallest = 0x800;
    } else if ((lead & 0xF8u) == 0xF0u) {
      length = 4;
      code = lead & 0x07u;
      smallest = 0x10000;
    } else {
      return false;  // a continuation byte with no lead, or F8..FF
    }
    if (n - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const std::uint32_t next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0u) != 0x80u) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::optional<std::string> extract_manifest_version(std::string_view bytes) {
  // A body that is not text is not our manifest (a portal's page in some
  // legacy encoding, a cut-off download); better no answer than digits
  // picked out of it.
  if (!is_valid_utf8(bytes)) return std::nullopt;
  const std::size_t key = bytes.find(MANIFEST_KEY);
  if (key == std::string_view::npos) return std::nullopt;
  const std::size_t open = bytes.find('"', key + MANIFEST_KEY.size());
  if (open == std::string_view::npos) return std::nullopt;
  const std::size_t close = bytes.find('"', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view value = bytes.substr(open + 1, close - open - 1);
  if (value.empty() || value.size() > MAX_VERSION_TEXT) return std::nullopt;
  if (!std::all_of(value.begin(), value.end(), is_version_char)) return std::nullopt;
  return std::string(value);
}

std::vector<std::uint64_t> parse_version(std::string_view text) {
  std::vector<std::uint64_t> parts;
  for (;;) {
    const std::size_t dot = text.find('.');
    parts.push_back(part_value(text.substr(0, dot)));
    if (dot == std::string_view::npos) return parts;
    text.remove_prefix(dot + 1);
  }
}

bool is_newer_version(std::string_view remote, std::string_view local) {
  const std::vector<std::uint64_t> r = parse_version(remote);
  const std::vector<std::uint64_t> l = parse_version(local);
  const std::size_t count = std::max(r.size(), l.size());
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t a = i < r.size() ? r[i] : 0;
    const std::uint64_t b = i < l.size() ? l[i] : 0;
    if (a != b) return a > b;
  }
  return false;
}

}  // namespace orbel
