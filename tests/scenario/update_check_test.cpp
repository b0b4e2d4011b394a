// The daily update check: the worker beside the UI thread, the schedule it
// leaves behind, and every way a fetch can go wrong.
#include <gtest/gtest.h>

#include <cstring>

#include "harness.h"
#include "tray/menu_model.h"
#include "update/update_check.h"

namespace {

using namespace scenario;

// Handles are accounted for whatever happened.
void expect_handles_closed(const std::string& where) {
  EXPECT_EQ(winsim::internet_handle_problems(), std::vector<std::string>{}) << where;
  EXPECT_EQ(winsim::open_internet_handles(), 0u) << where;
}

// Manifests of Orbel's own version and of the next one, from the project's
// version (CMake gives both), so that a version bump keeps every case below
// what it says.
constexpr const char* SAME_MANIFEST = "{\"windows\": \"" ORBEL_PROJECT_VERSION "\"}";
constexpr const char* NEWER_MANIFEST = "{\"windows\":\"" ORBEL_NEWER_VERSION "\"}";

struct FetchCase {
  const char* name;
  winsim::HttpScript script;
  bool succeeds;
  bool newer;
};

std::string padded_manifest(std::size_t size, const std::string& head, const std::string& tail = "") {
  std::string body = head;
  body.resize(size - tail.size(), ' ');
  return body + tail;
}

TEST(UpdateWorker, FetchOutcomes) {
  winsim::HttpScript open_fails;
  open_fails.open_fails = true;
  winsim::HttpScript query_fails = serving(NEWER_MANIFEST);
  query_fails.status_query_fails = true;
  winsim::HttpScript chunked = serving(NEWER_MANIFEST);
  chunked.chunk = 3;
  winsim::HttpScript read_fails_after_manifest = serving(std::string(NEWER_MANIFEST) + " and then the line drops");
  // The first read ends one byte after the manifest, whatever its length.
  read_fails_after_manifest.chunk = std::strlen(NEWER_MANIFEST) + 1;
  read_fails_after_manifest.fail_read_after = read_fails_after_manifest.chunk;
  winsim::HttpScript read_fails_midway = serving(NEWER_MANIFEST);
  read_fails_midway.chunk = 8;
  read_fails_midway.fail_read_after = 8;
  // A 4096-byte prefix whose last byte starts a two-byte character.
  std::string cut_character = padded_manifest(4096, NEWER_MANIFEST, "\xC3");
  cut_character += "\xA5 and more";

  const FetchCase cases[] = {
      {"newer version", serving(NEWER_MANIFEST), true, true},
      {"same version", serving(SAME_MANIFEST), true, false},
      {"older version", serving("{\"windows\":\"1.4.9\"}"), true, false},
      {"delivered in small chunks", chunked, true, true},
      {"WinINet unavailable", open_fails, false, false},
      {"no network", no_network(), false, false},
      {"404", serving(NEWER_MANIFEST, 404), false, false},
      {"500", serving(NEWER_MANIFEST, 500), false, false},
      {"status unreadable", query_fails, false, false},
      {"200 with an empty body", serving(""), false, false},
      {"not UTF-8", serving(std::string(NEWER_MANIFEST) + "\xFF"), false, false},
      {"no version entry", serving("{\"linux\":\"" ORBEL_NEWER_VERSION "\"}"), false, false},
      {"version inside the first 4096 bytes", serving(padded_manifest(5000, NEWER_MANIFEST)), true, true},
      {"version beyond 4096 bytes", serving(padded_manifest(4096, "{") + "\"windows\":\"" ORBEL_NEWER_VERSION "\"}"),
       false, false},
      {"value cut at byte 4096", serving(padded_manifest(4096, "{", "\"windows\":\"" ORBEL_NEWER_VERSION) + "\"}"),
       false, false},
      {"character cut at byte 4096", serving(cut_character), false, false},
      {"read fails after a complete manifest", read_fails_after_manifest, true, true},
      {"read fails before the manifest is complete", read_fails_midway, false, false},
  };
  for (const FetchCase& c : cases) {
    scenario::fresh_machine();
    const std::uint64_t now = winsim::DEFAULT_START_UNIX;
    orbel::session.last_update_check = now;
    winsim::script_http(c.script);
    orbel::run_update_check();
    EXPECT_EQ(orbel::session.update_available.load(), c.newer) << c.name;
    EXPECT_EQ(orbel::session.last_update_check.load(), c.succeeds ? now : now - 82800) << c.name;
    expect_handles_closed(c.name);
    for (const auto& r : winsim::http_requests()) EXPECT_LE(r.bytes_delivered, 4096u) << c.name;
  }
}

TEST(UpdateWorker, RequestIsTheManifestOverHttpsWithoutCache) {
  scenario::fresh_machine();
  winsim::script_http(serving(SAME_MANIFEST));
  orbel::run_update_check();
  const auto requests = winsim::http_requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].agent, u"Orbel");
  EXPECT_EQ(requests[0].access_type, 0u) << "the system's proxy settings apply";
  EXPECT_FALSE(requests[0].proxy_given);
  EXPECT_EQ(requests[0].url, u"https://www.dremmholt.no/verktoy/orbel.json");
  EXPECT_EQ(requests[0].flags, 0x84800000u);
  EXPECT_TRUE(in_order(winsim::trace(), {"InternetOpenW", "InternetOpenUrlW", "HttpQueryInfoW(0x20000013, 4, NULL)",
                                         "InternetReadFile(4096)", "InternetCloseHandle", "InternetCloseHandle"}));
}

TEST(UpdateWorker, VerdictFollowsEachSuccessAndSurvivesAFailure) {
  scenario::fresh_machine();
  const struct {
    winsim::HttpScript script;
    bool available_after;
  } steps[] = {
      {serving(NEWER_MANIFEST), true},
      {no_network(), true},
      {serving(SAME_MANIFEST), false},
      {serving("", 404), false},
  };
  for (const auto& step : steps) {
    winsim::script_http(step.script);
    orbel::run_update_check();
    EXPECT_EQ(orbel::session.update_available.load(), step.available_after);
  }
}

TEST(UpdateWorker, FailureBeforeTheBackdateGivesZero) {
  scenario::fresh_machine();
  winsim::set_time_unix(82799);
  winsim::script_http(no_network());
  orbel::run_update_check();
  EXPECT_EQ(orbel::session.last_update_check.load(), 0u);
}

// When the next check comes after the first tick's: a day after a success,
// an hour after a failure, whether the fetch failed or the worker could not
// even start. One second before it is due an evaluation (a click) starts
// nothing; the tick at the due second does.
TEST_F(Program, ScheduleAfterEachOutcome) {
  struct Case {
    const char* name;
    winsim::HttpScript first_answer;
    const char* failing_call;  // nullptr: nothing fails
    std::uint64_t next_in_s;
    std::uint64_t backdated_by_s;  // what last_update_check says of the first check
    std::size_t requests_by_the_first;
  };
  const Case cases[] = {
      {"success: a day", serving(SAME_MANIFEST), nullptr, 86400, 0, 1},
      {"fetch failed: an hour", no_network(), nullptr, 3600, 82800, 1},
      {"worker could not start: an hour", serving(SAME_MANIFEST), "CreateThread", 3600, 82800, 0},
  };
  for (const Case& c : cases) {
    fresh_machine();
    const std::uint64_t first = winsim::DEFAULT_START_UNIX + 20;  // the first tick
    if (c.failing_call) winsim::fail_call(c.failing_call);
    if (!c.failing_call) winsim::script_http(c.first_answer);
    winsim::script_http(serving(NEWER_MANIFEST));
    std::vector<std::size_t> requests;
    auto look = [&] { requests.push_back(winsim::http_requests().size()); };
    winsim::after_s(21, [&] { EXPECT_EQ(orbel::session.last_update_check.load(), first - c.backdated_by_s) << c.name; });
    winsim::after_s(20 + c.next_in_s - 1, [] { click_icon(); });
    winsim::after_s(20 + c.next_in_s - 1, look);
    winsim::after_s(20 + c.next_in_s, look);
    EXPECT_EQ(run_for(20 + c.next_in_s + 5), 0) << c.name;
    winsim::wait_for_threads();
    EXPECT_EQ(requests, (std::vector<std::size_t>{c.requests_by_the_first, c.requests_by_the_first + 1})) << c.name;
    EXPECT_EQ(orbel::session.last_update_check.load(), first + c.next_in_s) << c.name;
    EXPECT_TRUE(orbel::session.update_available.load()) << c.name;
    expect_handles_closed(c.name);
  }
}

TEST_F(Program, NewVersionShowsAtTheNextClickAndOpensTheDownloadPage) {
  winsim::script_http(serving(NEWER_MANIFEST));
  // The first click runs the first evaluation, which starts the check; the
  // menu it opens may or may not show the answer (the worker runs beside
  // it), the next one does.
  winsim::after_s(5, [] { click_icon(); });
  winsim::after_s(6, [] {
    winsim::script_menu(orbel::ID_NEW_VERSION);
    click_icon();
  });
  EXPECT_EQ(run_for(10), 0);
  const auto menus = winsim::tracked_menus();
  ASSERT_EQ(menus.size(), 2u);
  ASSERT_EQ(menus[1].entries.size(), 12u);
  EXPECT_EQ(menus[1].entries[9].text, u"Ny versjon tilgjengelig");
  EXPECT_EQ(menus[1].entries[9].id, orbel::ID_NEW_VERSION);
  ASSERT_EQ(winsim::shell_executions().size(), 1u);
  EXPECT_EQ(winsim::shell_executions()[0].file, u"https://www.dremmholt.no/verktoy");
  EXPECT_EQ(winsim::count_calls("CloseHandle"), 1u) << "the worker's handle is released at once";
}

}  // namespace
