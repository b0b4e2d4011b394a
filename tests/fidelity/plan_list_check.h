// What Orbel relies on of PowerEnumerate with ACCESS_SCHEME, as Microsoft
// documents it, checked against whichever implementation `enumerate` is:
// winsim on the host, the test-only stand-in powrprof.dll under Wine (whose
// own PowerEnumerate is a stub). Outputs are poisoned before each call.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform.h"

namespace plan_list {

using Enumerate = DWORD (*)(HKEY, const GUID*, const GUID*, POWER_DATA_ACCESSOR, ULONG, UCHAR*, DWORD*);

inline std::string bytes_of(const GUID& g) { return std::string(reinterpret_cast<const char*>(&g), sizeof g); }

// `plans` are the plans that exist, in any order.
inline void check(Enumerate enumerate, const std::vector<GUID>& plans) {
  constexpr DWORD POISON = 0xdeadbeef;
  DWORD size = POISON;
  EXPECT_EQ(enumerate(nullptr, nullptr, nullptr, ACCESS_SCHEME, 0, nullptr, &size), ERROR_MORE_DATA)
      << "a NULL buffer asks for the size";
  EXPECT_EQ(size, sizeof(GUID));

  UCHAR small[sizeof(GUID) - 1];
  size = sizeof small;
  EXPECT_EQ(enumerate(nullptr, nullptr, nullptr, ACCESS_SCHEME, 0, small, &size), ERROR_MORE_DATA)
      << "a buffer too small for a GUID";
  EXPECT_EQ(size, sizeof(GUID));

  std::set<std::string> listed;
  for (ULONG index = 0; index < plans.size(); ++index) {
    GUID plan;
    std::memset(&plan, 0xab, sizeof plan);
    size = sizeof plan + 4;  // more room than a GUID needs is fine
    EXPECT_EQ(enumerate(nullptr, nullptr, nullptr, ACCESS_SCHEME, index, reinterpret_cast<UCHAR*>(&plan), &size),
              ERROR_SUCCESS)
        << "index " << index;
    EXPECT_EQ(size, sizeof plan) << "index " << index;
    listed.insert(bytes_of(plan));
  }
  std::set<std::string> expected;
  for (const GUID& plan : plans) expected.insert(bytes_of(plan));
  EXPECT_EQ(listed, expected) << "each plan once";

  GUID past;
  size = sizeof past;
  EXPECT_EQ(enumerate(nullptr, nullptr, nullptr, ACCESS_SCHEME, static_cast<ULONG>(plans.size()),
                      reinterpret_cast<UCHAR*>(&past), &size),
            static_cast<DWORD>(ERROR_NO_MORE_ITEMS))
      << "past the last plan";
}

}  // namespace plan_list
