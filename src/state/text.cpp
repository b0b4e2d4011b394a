#include "state/text.h"

#include <cstdint>

namespace orbel {
namespace {

constexpr std::uint32_t REPLACEMENT = 0xFFFD;

void append_utf16(std::vector<WCHAR>& out, std::uint32_t c) {
  if (c >= 0x10000) {
    c -= 0x10000;
    out.push_back(static_cast<WCHAR>(0xD800 + (c >> 10)));
    out.push_back(static_cast<WCHAR>(0xDC00 + (c & 0x3FF)));
  } else {
    out.push_back(static_cast<WCHAR>(c));
  }
}

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

}  // namespace

std::vector<WCHAR> to_wide(std::string_view text) {
  std::vector<WCHAR> out;
  out.reserve(text.size() + 1);
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      out.push_back(static_cast<WCHAR>(b));
      ++i;
      continue;
    }
    // Lead byte: sequence length and the allowed range of the second byte,
    // which rules out overlong forms, surrogates and values above U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    std::uint32_t c = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
      c = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      c = b & 0x0Fu;
      if (b == 0xE0) low = 0xA0;
      if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      c = b & 0x07u;
      if (b == 0xF0) low = 0x90;
      if (b == 0xF4) high = 0x8F;
    }
    std::size_t taken = 1;
    bool complete = length != 0;
    for (; complete && taken < length; ++taken) {
      if (i + taken >= text.size()) {
        complete = false;
        break;
      }
      const auto next = static_cast<unsigned char>(text[i + taken]);
      const bool in_range = taken == 1 ? (next >= low && next <= high) : is_continuation(next);
      if (!in_range) {
        complete = false;
        break;
      }
      c = (c << 6) | (next & 0x3Fu);
    }
    append_utf16(out, complete ? c : REPLACEMENT);
    i += taken;
  }
  out.push_back(0);
  return out;
}

std::string to_utf8(const WCHAR* units, std::size_t count) {
  std::string out;
  out.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(units[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count) {
      const std::uint32_t next = static_cast<std::uint16_t>(units[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) c = REPLACEMENT;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace orbel
