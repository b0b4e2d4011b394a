// libFuzzer target for the bytes the daily update check receives. Besides
// letting the sanitizers watch, it holds each function against a second
// implementation written another way, so a wrong answer is caught as surely
// as a crash.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "update/version.h"

#define CHECK(cond)                                                               \
  do {                                                                            \
    if (!(cond)) {                                                                \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                               \
    }                                                                             \
  } while (0)

namespace {

// Well-formed sequences as listed byte range by byte range, rather than by
// decoding and then judging the code point as the product does.
struct Form {
  unsigned char lead_lo, lead_hi, second_lo, second_hi;
  int length;
};
constexpr Form FORMS[] = {
    {0xC2, 0xDF, 0x80, 0xBF, 2}, {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
    {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3}, {0xF0, 0xF0, 0x90, 0xBF, 4},
    {0xF1, 0xF3, 0x80, 0xBF, 4}, {0xF4, 0xF4, 0x80, 0x8F, 4},
};

bool well_formed(std::string_view s) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  std::size_t i = 0;
  while (i < s.size()) {
    if (at(i) <= 0x7F) {
      ++i;
      continue;
    }
    const Form* form = nullptr;
    for (const Form& f : FORMS)
      if (at(i) >= f.lead_lo && at(i) <= f.lead_hi) form = &f;
    if (form == nullptr) return false;
    const auto length = static_cast<std::size_t>(form->length);
    if (s.size() - i < length) return false;
    if (at(i + 1) < form->second_lo || at(i + 1) > form->second_hi) return false;
    for (std::size_t k = 2; k < length; ++k)
      if (at(i + k) < 0x80 || at(i + k) > 0xBF) return false;
    i += length;
  }
  return true;
}

std::optional<std::string> reference_extract(std::string_view s) {
  if (!well_formed(s)) return std::nullopt;
  const std::string key = "\"windows\"";
  std::size_t k = 0;
  while (k + key.size() <= s.size() && s.substr(k, key.size()) != key) ++k;
  if (k + key.size() > s.size()) return std::nullopt;
  std::vector<std::size_t> quotes;
  for (std::size_t i = k + key.size(); i < s.size() && quotes.size() < 2; ++i)
    if (s[i] == '"') quotes.push_back(i);
  if (quotes.size() < 2) return std::nullopt;
  const std::string value(s.substr(quotes[0] + 1, quotes[1] - quotes[0] - 1));
  if (value.empty() || value.size() > 20) return std::nullopt;
  for (char c : value)
    if (std::string_view("0123456789.").find(c) == std::string_view::npos) return std::nullopt;
  return value;
}

// Range by comparing digit strings, so no arithmetic can wrap.
std::uint64_t reference_part(std::string part) {
  if (!part.empty() && part[0] == '+') part.erase(0, 1);
  if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos) return 0;
  part.erase(0, part.find_first_not_of('0'));
  if (part.size() > 20 || (part.size() == 20 && part > "18446744073709551615")) return 0;
  std::uint64_t value = 0;
  for (char c : part) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  return value;
}

std::vector<std::uint64_t> reference_parse(std::string_view text) {
  std::vector<std::uint64_t> parts;
  std::string part;
  for (char c : text) {
    if (c == '.') {
      parts.push_back(reference_part(part));
      part.clear();
    } else {
      part += c;
    }
  }
  parts.push_back(reference_part(part));
  return parts;
}

bool reference_newer(std::string_view remote, std::string_view local) {
  std::vector<std::uint64_t> r = reference_parse(remote);
  std::vector<std::uint64_t> l = reference_parse(local);
  if (r.size() < l.size()) r.resize(l.size(), 0);
  if (l.size() < r.size()) l.resize(r.size(), 0);
  return r > l;  // lexicographic on equal lengths
}

void check_versions(std::string_view a, std::string_view b) {
  CHECK(orbel::parse_version(a) == reference_parse(a));
  const bool newer = orbel::is_newer_version(a, b);
  const bool older = orbel::is_newer_version(b, a);
  CHECK(newer == reference_newer(a, b));
  CHECK(!(newer && older));
  CHECK(!orbel::is_newer_version(a, a));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  // The path the update check takes.
  const std::optional<std::string> version = orbel::extract_manifest_version(input);
  if (version) (void)orbel::is_newer_version(*version, orbel::OWN_VERSION);

  CHECK(orbel::is_valid_utf8(input) == well_formed(input));
  CHECK(version == reference_extract(input));
  if (version) {
    CHECK(!version->empty() && version->size() <= orbel::MAX_VERSION_TEXT);
    CHECK(version->find_first_not_of("0123456789.") == std::string::npos);
    CHECK(input.find('"' + *version + '"') != std::string_view::npos);
    check_versions(*version, orbel::OWN_VERSION);
  }

  // Version text straight from the input, which reaches far more shapes than
  // the 20 checked bytes a manifest lets through: remote and local either
  // side of the first newline.
  const std::size_t newline = input.find('\n');
  if (newline == std::string_view::npos) {
    check_versions(input, orbel::OWN_VERSION);
  } else {
    check_versions(input.substr(0, newline), input.substr(newline + 1));
  }
  return 0;
}
