// How the stored session and the saved lid-close values read back, whatever
// a cut left of a commit or of a backup.
#include <gtest/gtest.h>

#include "power/lid_record.h"
#include "state/stored_session.h"

namespace {

using orbel::LoadedSession;
using orbel::StoredNumber;

constexpr std::uint64_t NOW = 1796126400;
constexpr StoredNumber MISSING = {false, 0};
StoredNumber n(std::uint64_t value) { return {true, value}; }
std::uint64_t pending(std::uint64_t until, std::uint32_t hours) { return *orbel::pending_until(until, hours); }

struct SessionCase {
  const char* name;
  StoredNumber on, until, hours;
  LoadedSession loaded;
};

TEST(StoredSession, LoadsAsASessionSomebodyChose) {
  const SessionCase cases[] = {
      {"first start: on, open-ended", MISSING, MISSING, MISSING, {true, 0, 0}},
      {"timed session", n(1), n(NOW + 60), n(2), {true, NOW + 60, 2}},
      {"ended at this very second", n(1), n(NOW), n(2), {false, 0, 0}},
      {"off whatever Until and Hours still say", n(0), n(NOW + 60), n(2), {false, 0, 0}},
      {"On of another size counts as on", MISSING, n(0), n(0), {true, 0, 0}},
      {"Hours from its low 32 bits", n(1), n(NOW + 60), n((1ull << 32) + 4), {true, NOW + 60, 4}},
      {"pending Until: end and duration from it", n(1), n(pending(NOW + 60, 4)), n(2), {true, NOW + 60, 4}},
      {"pending open-ended: no end, no duration", n(1), n(pending(0, 0)), n(2), {true, 0, 0}},
      {"pending while still off: off", n(0), n(pending(NOW + 60, 4)), n(4), {false, 0, 0}},
      {"pending end that has come: off", n(1), n(pending(NOW - 1, 1)), n(1), {false, 0, 0}},
  };
  for (const SessionCase& c : cases) {
    const LoadedSession s = orbel::session_from_stored(c.on, c.until, c.hours, NOW);
    EXPECT_EQ(s.on, c.loaded.on) << c.name;
    EXPECT_EQ(s.until, c.loaded.until) << c.name;
    EXPECT_EQ(s.hours, c.loaded.hours) << c.name;
  }
}

TEST(StoredSession, PendingFormHoldsWhatFitsIt) {
  EXPECT_EQ(orbel::pending_until(orbel::PENDING_UNTIL_MASK, orbel::PENDING_HOURS_LIMIT - 1).has_value(), true);
  EXPECT_FALSE(orbel::pending_until(orbel::PENDING_UNTIL_MASK + 1, 1));
  EXPECT_FALSE(orbel::pending_until(NOW, orbel::PENDING_HOURS_LIMIT));
}

TEST(LidRecord, WhatCountsAsABackup) {
  using orbel::LidRecord;
  using orbel::Stored;
  constexpr Stored P = Stored::PRESENT, M = Stored::MISSING, U = Stored::UNREADABLE;
  struct Case {
    const char* name;
    Stored ac, dc, plan;
    bool plan_null;
    LidRecord record;
  } const cases[] = {
      {"nothing", M, M, M, false, LidRecord::NONE},
      {"whole pair of a plan", P, P, P, false, LidRecord::OF_PLAN},
      {"half of a plan's backup (damaged while held)", P, M, P, false, LidRecord::OF_PLAN},
      {"plan record alone", M, M, P, false, LidRecord::OF_PLAN},
      {"whole pair beside a null plan: being written or taken down", P, P, P, true, LidRecord::NONE},
      {"half beside a null plan", M, P, P, true, LidRecord::NONE},
      {"whole pair without a plan record: stored before plans were", P, P, M, false, LidRecord::OF_ACTIVE_PLAN},
      {"half without a plan record", P, M, M, false, LidRecord::NONE},
      {"unreadable LidAC", U, P, P, false, LidRecord::UNREADABLE},
      {"unreadable plan record", P, P, U, false, LidRecord::UNREADABLE},
      {"unreadable beside nothing else", M, U, M, false, LidRecord::UNREADABLE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(orbel::lid_record(c.ac, c.dc, c.plan, c.plan_null), c.record) << c.name;
  }
}

}  // namespace
