#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "update/version.h"

namespace {

using namespace orbel;

std::string shown(const std::optional<std::string>& version) { return version ? "\"" + *version + "\"" : "none"; }

// A manifest that is valid right up to its last byte, which opens a two-byte
// character: the kind of body a download cut off at a buffer boundary leaves.
std::string cut_off_manifest() {
  std::string body = "{\"windows\":\"9.0\"}";
  body.resize(4095, ' ');
  body += '\xC3';
  return body;
}

// The program's own version is the project's, as CMake states it.
TEST(OwnVersion, IsTheProjectVersion) { EXPECT_STREQ(OWN_VERSION, ORBEL_PROJECT_VERSION); }

// The local version the cases below are written against, whatever the
// project's version is now.
constexpr const char* LOCAL_VERSION = "1.5.0";

TEST(ManifestVersion, WhatTheDailyCheckSeesAgainstALocalVersion) {
  struct Case {
    const char* name;
    std::string body;
    std::optional<std::string> version;
    bool newer;  // read only when a version came out
  };
  const std::optional<std::string> none;
  const Case cases[] = {
      {"patch up", R"({"windows":"1.5.1"})", "1.5.1", true},
      {"same, space after the colon", R"({"windows": "1.5.0"})", "1.5.0", false},
      {"missing part counts as zero", R"({"windows":"1.5"})", "1.5", false},
      {"parts compare as numbers, not text", R"({"windows":"1.10.0"})", "1.10.0", true},
      {"single part", R"({"windows":"2"})", "2", true},
      {"extra part", R"({"windows":"1.5.0.1"})", "1.5.0.1", true},
      {"older", R"({"windows":"1.4.99"})", "1.4.99", false},
      {"leading zeros", R"({"windows":"01.005.001"})", "01.005.001", true},
      {"empty middle part is zero", R"({"windows":"1..6"})", "1..6", false},
      {"empty first part is zero", R"({"windows":".6"})", ".6", false},
      {"trailing dot", R"({"windows":"1.5.0."})", "1.5.0.", false},
      {"dot alone", R"({"windows":"."})", ".", false},
      {"largest part, 20 bytes", R"({"windows":"18446744073709551615"})", "18446744073709551615", true},
      {"part past 64 bits is zero", R"({"windows":"18446744073709551616"})", "18446744073709551616", false},
      {"21 bytes", R"({"windows":"1.5.1.0.0.0.0.0.0.0.0"})", none, false},
      {"empty value", R"({"windows":""})", none, false},
      {"letters before", R"({"windows":"ver1.6"})", none, false},
      {"space inside", R"({"windows":" 1.6"})", none, false},
      {"suffix", R"({"windows":"1.6-beta"})", none, false},
      {"key is case-sensitive", R"({"Windows":"9.0"})", none, false},
      {"no closing quote", R"({"windows":"1.6)", none, false},
      {"number, not string", R"({"windows": 2})", none, false},
      // Bytes, not JSON: the first quoted string after the key is the value,
      // whoever it belongs to.
      {"next key taken as the value", R"({"windows": 2, "9": "a"})", "9", true},
      {"next key that is not a version", R"({"windows": 2, "note": "x"})", none, false},
      {"other keys before", R"({"other":"9.0","windows":"1.5.0"})", "1.5.0", false},
      {"first occurrence wins, nested or not", R"({"old":{"windows":"1.0"},"windows":"9.0"})", "1.0", false},
      {"empty body", "", none, false},
      {"cut off inside a character", cut_off_manifest(), none, false},
      {"byte order mark", "\xEF\xBB\xBF{\"windows\":\"1.5.1\"}", "1.5.1", true},
  };
  for (const Case& c : cases) {
    const std::optional<std::string> version = extract_manifest_version(c.body);
    EXPECT_EQ(shown(version), shown(c.version)) << c.name;
    if (version) {
      EXPECT_EQ(is_newer_version(*version, LOCAL_VERSION), c.newer) << c.name;
    }
  }
}

TEST(ParseVersion, EveryDotSplitsAndBadPartsAreZero) {
  constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();
  struct Case {
    const char* text;
    std::vector<std::uint64_t> parts;
  };
  const Case cases[] = {
      {"1.5.0", {1, 5, 0}},
      {"", {0}},
      {".", {0, 0}},
      {"1..6", {1, 0, 6}},
      {"+7", {7}},
      {"-7", {0}},
      {"+", {0}},
      {"-", {0}},
      {"++7", {0}},
      {"1.x", {1, 0}},
      {"007", {7}},
      {"18446744073709551615", {MAX}},
      {"+018446744073709551615", {MAX}},
      {"18446744073709551616", {0}},
      {"18446744073709551619", {0}},  // wraps to 3 if the check is off by a digit
      {"99999999999999999999", {0}},
      {"1.18446744073709551616.2", {1, 0, 2}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_version(c.text), c.parts) << '"' << c.text << '"';
}

TEST(IsNewerVersion, PadsWhicheverSideIsShorter) {
  struct Case {
    const char* remote;
    const char* local;
    bool newer;
  };
  const Case cases[] = {
      {"1.5", "1.5.0.1", false},
      {"1.6", "1.5.0.1", true},
      {"1.5.0.0", "1.5", false},
      {"1.5", "1.5.0.0", false},
      {"1.5.0.0.1", "1.5", true},
  };
  for (const Case& c : cases) EXPECT_EQ(is_newer_version(c.remote, c.local), c.newer) << c.remote << " vs " << c.local;
}

TEST(IsValidUtf8, StrictAtEveryEdge) {
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"empty", "", true},
      {"U+0000", std::string(1, '\0'), true},
      {"U+007F", "\x7F", true},
      {"U+0080", "\xC2\x80", true},
      {"U+07FF", "\xDF\xBF", true},
      {"U+0800", "\xE0\xA0\x80", true},
      {"U+D7FF", "\xED\x9F\xBF", true},
      {"U+E000", "\xEE\x80\x80", true},
      {"U+FFFF", "\xEF\xBF\xBF", true},
      {"U+10000", "\xF0\x90\x80\x80", true},
      {"U+10FFFF", "\xF4\x8F\xBF\xBF", true},
      {"byte order mark", "\xEF\xBB\xBF", true},
      {"overlong two bytes", "\xC0\xAF", false},
      {"overlong two bytes, C1", "\xC1\xBF", false},
      {"overlong three bytes", "\xE0\x80\xAF", false},
      {"overlong three bytes, U+07FF", "\xE0\x9F\xBF", false},
      {"overlong four bytes", "\xF0\x80\x80\xAF", false},
      {"overlong four bytes, U+FFFF", "\xF0\x8F\xBF\xBF", false},
      {"surrogate D800", "\xED\xA0\x80", false},
      {"surrogate DFFF", "\xED\xBF\xBF", false},
      {"U+110000", "\xF4\x90\x80\x80", false},
      {"truncated three bytes", "\xE2\x82", false},
      {"truncated four bytes", "\xF0\x9F\x98", false},
      {"lead followed by ascii", "\xC3" "A", false},
      {"stray continuation", "\x80", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.name;
    // Same verdict in the middle of text, so the decoder keeps its place.
    EXPECT_EQ(is_valid_utf8("a" + c.bytes + "b"), c.valid) << c.name << " inside text";
  }
  // The rest of the lead bytes could only start something past U+10FFFF.
  for (int lead = 0xF5; lead <= 0xFF; ++lead)
    EXPECT_FALSE(is_valid_utf8(std::string{static_cast<char>(lead), '\x80', '\x80', '\x80'})) << std::hex << lead;
  // The end of the view is the end of the text, even when the bytes beyond
  // it would complete the character.
  EXPECT_FALSE(is_valid_utf8(std::string_view("\xE2\x82\xAC", 2)));
}

}  // namespace
