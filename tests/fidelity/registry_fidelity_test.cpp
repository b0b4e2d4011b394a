// What Orbel relies on of the registry calls, written against the Win32 API
// only. The same source runs against winsim on the host and against Wine's
// registry in the Windows build, so where the two disagree one of these
// tests fails on one side. Outputs are poisoned before each call, so a call
// that leaves one unwritten is caught.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform.h"

#ifndef _WIN32
#include "winsim/control.h"
#endif

namespace {

using WString = std::basic_string<WCHAR>;
using Bytes = std::vector<std::uint8_t>;

// Status codes as the registry calls return them (LSTATUS, not DWORD).
constexpr LSTATUS OK = ERROR_SUCCESS;
constexpr LSTATUS NOT_FOUND = static_cast<LSTATUS>(ERROR_FILE_NOT_FOUND);
constexpr LSTATUS MORE_DATA = static_cast<LSTATUS>(ERROR_MORE_DATA);
constexpr LSTATUS UNSUPPORTED_TYPE = static_cast<LSTATUS>(ERROR_UNSUPPORTED_TYPE);

constexpr DWORD POISON = 0xdeadbeef;
constexpr std::uint8_t POISON_BYTE = 0xab;
// The restriction Orbel's settings store reads its numbers with.
constexpr DWORD NUMBER_FLAGS = RRF_RT_REG_DWORD | RRF_RT_REG_QWORD;

WString wide(const std::string& ascii) { return WString(ascii.begin(), ascii.end()); }

std::string upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

Bytes qword_bytes(std::uint64_t value) {
  Bytes bytes(8);
  for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

// A UTF-16LE string with its terminating NUL, as REG_SZ data.
Bytes sz_bytes(const std::string& ascii) {
  Bytes bytes;
  for (char c : ascii) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0);
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

struct ReadResult {
  LSTATUS status;
  DWORD type;
  DWORD size;
  std::array<std::uint8_t, 16> buffer;
};

// RegGetValueW on HKEY_CURRENT_USER with every output poisoned. A buffer
// size of 0 passes NULL data (a size query).
ReadResult read_value(const std::string& key, const std::string& name, DWORD flags, DWORD buffer_size) {
  ReadResult r{};
  r.type = POISON;
  r.size = buffer_size == 0 ? POISON : buffer_size;
  r.buffer.fill(POISON_BYTE);
  const WString wide_key = wide(key);
  const WString wide_name = wide(name);
  r.status = RegGetValueW(HKEY_CURRENT_USER, wide_key.c_str(), wide_name.c_str(), flags, &r.type,
                          buffer_size == 0 ? nullptr : r.buffer.data(), &r.size);
  return r;
}

LSTATUS store(const std::string& key, const std::string& name, DWORD type, const Bytes& data) {
  const WString wide_key = wide(key);
  const WString wide_name = wide(name);
  return RegSetKeyValueW(HKEY_CURRENT_USER, wide_key.c_str(), wide_name.c_str(), type, data.data(),
                         static_cast<DWORD>(data.size()));
}

LSTATUS remove_value(const std::string& key, const std::string& name) {
  const WString wide_key = wide(key);
  const WString wide_name = wide(name);
  return RegDeleteKeyValueW(HKEY_CURRENT_USER, wide_key.c_str(), wide_name.c_str());
}

// The first `count` bytes of a read buffer.
Bytes head(const ReadResult& r, std::size_t count) { return Bytes(r.buffer.begin(), r.buffer.begin() + static_cast<std::ptrdiff_t>(count)); }

template <typename Case>
std::string case_name(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

class RegistryFidelity : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef _WIN32
    winsim::reset();
#endif
    // Each test process works under a key of its own, so runs that share a
    // Wine prefix cannot see each other's values.
    std::random_device device;
    const auto tick = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    char name[64];
    std::snprintf(name, sizeof name, "Software\\OrbelFidelity\\%08x%08x", device(), tick);
    root_ = name;
  }

  void TearDown() override {
    const WString wide_root = wide(root_);
    const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, wide_root.c_str());
    EXPECT_TRUE(status == OK || status == NOT_FOUND) << status;
  }

  std::string key(const std::string& sub) const { return root_ + "\\" + sub; }

  std::string root_;
};

TEST_F(RegistryFidelity, SetKeyValueCreatesEveryMissingKeyOnThePath) {
  const std::string leaf = key("Not\\Yet\\There");
  const Bytes value = qword_bytes(0x0123456789abcdefu);
  ASSERT_EQ(store(leaf, "Value", REG_QWORD, value), OK);

  const ReadResult r = read_value(leaf, "Value", RRF_RT_ANY, 8);
  EXPECT_EQ(r.status, OK);
  EXPECT_EQ(r.type, REG_QWORD);
  EXPECT_EQ(r.size, 8u);
  EXPECT_EQ(head(r, 8), value);
}

// One stored value read back with one restriction. buffer 0 = NULL data.
struct ReadCase {
  const char* name;
  DWORD stored_type;
  Bytes stored;
  DWORD flags;
  DWORD buffer;
  LSTATUS status;
  DWORD type;
  DWORD size;
  Bytes data;  // what a successful read leaves at the start of the buffer
};

std::ostream& operator<<(std::ostream& out, const ReadCase& c) { return out << c.name; }

class RegistryRead : public RegistryFidelity, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(RegistryRead, ReportsStatusTypeSizeAndData) {
  const ReadCase& c = GetParam();
  ASSERT_EQ(store(key("Read"), "Value", c.stored_type, c.stored), OK);

  const ReadResult r = read_value(key("Read"), "Value", c.flags, c.buffer);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.type, c.type);
  EXPECT_EQ(r.size, c.size);
  if (c.status == OK) {
    // The bytes after the data stay as they were: Orbel reads a REG_DWORD
    // into a zeroed 64-bit number and relies on the high half staying zero.
    Bytes expected = c.data;
    expected.resize(r.buffer.size(), POISON_BYTE);
    EXPECT_EQ(head(r, r.buffer.size()), expected);
  }
}

const Bytes DWORD_DATA{0x44, 0x33, 0x22, 0x11};
const Bytes QWORD_DATA{0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryRead,
    ::testing::Values(
        ReadCase{"DwordFillsFourBytes", REG_DWORD, DWORD_DATA, NUMBER_FLAGS, 8, OK, REG_DWORD, 4, DWORD_DATA},
        ReadCase{"QwordFillsEightBytes", REG_QWORD, QWORD_DATA, NUMBER_FLAGS, 8, OK, REG_QWORD, 8,
                 QWORD_DATA},
        ReadCase{"StringIsNotANumber", REG_SZ, sz_bytes("1"), NUMBER_FLAGS, 8, UNSUPPORTED_TYPE, REG_SZ, 4, {}},
        ReadCase{"EightBinaryBytesAreNotANumber", REG_BINARY, QWORD_DATA, NUMBER_FLAGS, 8, UNSUPPORTED_TYPE,
                 REG_BINARY, 8, {}},
        ReadCase{"OversizedQwordNeedsMoreRoom", REG_QWORD, Bytes(16, 0x11), NUMBER_FLAGS, 8, MORE_DATA, REG_QWORD,
                 16, {}},
        ReadCase{"StringSizeQuery", REG_SZ, sz_bytes("on"), RRF_RT_REG_SZ, 0, OK, REG_SZ, 6, {}},
        ReadCase{"DwordIsNotAString", REG_DWORD, DWORD_DATA, RRF_RT_REG_SZ, 0, UNSUPPORTED_TYPE, REG_DWORD, 4,
                 {}}),
    case_name<ReadCase>);

// Something Orbel looks for that is not there: the value, or its whole key.
struct MissingCase {
  const char* name;
  bool key_exists;
};

std::ostream& operator<<(std::ostream& out, const MissingCase& c) { return out << c.name; }

class RegistryMissing : public RegistryFidelity, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(RegistryMissing, ReadAndDeleteReportFileNotFound) {
  if (GetParam().key_exists) {
    ASSERT_EQ(store(key("Present"), "Other", REG_QWORD, qword_bytes(1)), OK);
  }

  EXPECT_EQ(read_value(key("Present"), "Absent", NUMBER_FLAGS, 8).status, NOT_FOUND);
  EXPECT_EQ(remove_value(key("Present"), "Absent"), NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(Cases, RegistryMissing,
                         ::testing::Values(MissingCase{"Value", true}, MissingCase{"Key", false}),
                         case_name<MissingCase>);

TEST_F(RegistryFidelity, DeleteRemovesOnlyTheNamedValue) {
  ASSERT_EQ(store(key("Delete"), "Gone", REG_QWORD, qword_bytes(1)), OK);
  ASSERT_EQ(store(key("Delete"), "Kept", REG_QWORD, qword_bytes(2)), OK);

  EXPECT_EQ(remove_value(key("Delete"), "Gone"), OK);
  EXPECT_EQ(read_value(key("Delete"), "Gone", NUMBER_FLAGS, 8).status, NOT_FOUND);
  EXPECT_EQ(read_value(key("Delete"), "Kept", NUMBER_FLAGS, 8).status, OK);
}

TEST_F(RegistryFidelity, KeyPathsAndValueNamesIgnoreCase) {
  const std::string stored_key = key("MixedCase\\Inner");
  ASSERT_EQ(store(stored_key, "ValueName", REG_QWORD, qword_bytes(1)), OK);

  for (const std::string& spelling : {upper(stored_key), lower(stored_key)}) {
    SCOPED_TRACE(spelling);
    const ReadResult r = read_value(spelling, "VALUENAME", NUMBER_FLAGS, 8);
    EXPECT_EQ(r.status, OK);
    EXPECT_EQ(head(r, 8), qword_bytes(1));
  }

  // Another spelling names the same value: a write replaces it, a delete
  // removes it.
  ASSERT_EQ(store(lower(stored_key), "valuename", REG_QWORD, qword_bytes(2)), OK);
  EXPECT_EQ(head(read_value(stored_key, "ValueName", NUMBER_FLAGS, 8), 8), qword_bytes(2));
  EXPECT_EQ(remove_value(upper(stored_key), "VALUENAME"), OK);
  EXPECT_EQ(read_value(stored_key, "ValueName", NUMBER_FLAGS, 8).status, NOT_FOUND);
}

}  // namespace
