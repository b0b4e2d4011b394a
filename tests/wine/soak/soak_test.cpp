// A soak of the real Orbel.exe under Wine: two thousand menu commands, a menu
// opened and closed after every batch of them, a theme change and an Explorer
// restart notice per batch, all from another process. Afterwards Orbel must
// still answer, hold a consistent session in the registry, own no more GDI
// objects than before, and quit cleanly.
//
// Pacing: messages are posted, as the menu and the shell post them. The menu
// opening that ends each batch is the barrier: posted messages are handled in
// order, so once the menu is on screen every command before it has run, and
// the registry must show exactly what the commands add up to. A sent message
// would not do: it is handled before posted ones that wait in the queue.
#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "orbel_driver.h"

namespace {

using namespace orbel_wine;

// One batch: every command of the menu that changes the session or the Run
// value, the autostart one twice so that each batch leaves it as it found it.
constexpr WORD BATCH[] = {COMMAND_TOGGLE, 11, 12, 14, 18, COMMAND_AUTOSTART, COMMAND_AUTOSTART, COMMAND_TOGGLE};
constexpr std::size_t COMMANDS_TO_SEND = 2000;
constexpr std::uint32_t SHUFFLE_SEED = 20240611;

// The whole soak must fit in this; on a quiet 2-core machine it takes a
// fraction of it.
constexpr ULONGLONG SOAK_BUDGET_MS = 100000;
constexpr DWORD STEP_TIMEOUT_MS = 10000;
// Objects Wine may allocate lazily in the middle of the soak (caches).
constexpr long OBJECT_SLACK = 16;

constexpr std::uint64_t SECONDS_PER_HOUR = 3600;

// What the commands so far add up to.
struct Expected {
  bool on = true;  // a first start stores an active session without end
  std::uint64_t hours = 0;
  std::uint64_t until_earliest = 0;  // Until lies in this range when hours != 0
  std::uint64_t until_latest = 0;
};

void apply(Expected& e, WORD id, std::uint64_t posted_at) {
  if (id == COMMAND_TOGGLE) {
    e.on = !e.on;
    e.hours = 0;
  } else if (id > COMMAND_DURATION_BASE && id <= COMMAND_DURATION_BASE + 8) {
    e.on = true;
    e.hours = id - COMMAND_DURATION_BASE;
    e.until_earliest = posted_at + e.hours * SECONDS_PER_HOUR;
  }
}

// The stored session against the expectation; empty when they agree.
std::string session_mismatch(const Expected& e) {
  const StoredValue on = read_value(ORBEL_KEY, L"On");
  const StoredValue until = read_value(ORBEL_KEY, L"Until");
  const StoredValue hours = read_value(ORBEL_KEY, L"Hours");
  std::ostringstream problems;
  for (const StoredValue* v : {&on, &until, &hours}) {
    if (v->status != ERROR_SUCCESS || v->type != REG_QWORD || v->size != 8) {
      problems << " not an 8-byte REG_QWORD;";
      break;
    }
  }
  if (on.value > 1) problems << " On is neither 0 nor 1;";
  if (hours.value != 0 && hours.value != 1 && hours.value != 2 && hours.value != 4 && hours.value != 8)
    problems << " Hours is not 0, 1, 2, 4 or 8;";
  if ((until.value == 0) != (hours.value == 0)) problems << " Until is 0 but Hours is not, or the other way;";
  if (on.value != (e.on ? 1u : 0u)) problems << " On should be " << e.on << ";";
  if (hours.value != e.hours) problems << " Hours should be " << e.hours << ";";
  if (e.hours != 0 && (until.value < e.until_earliest || until.value > e.until_latest))
    problems << " Until should lie in [" << e.until_earliest << ", " << e.until_latest << "];";
  if (problems.str().empty()) return {};
  return "On " + describe(on) + "; Until " + describe(until) + "; Hours " + describe(hours) + ":" + problems.str();
}

// Object counts of a process. Wine's GetGuiResources is a stub that returns
// 0 with ERROR_CALL_NOT_IMPLEMENTED. Wine does keep, like Windows, a GDI
// handle table for each process at PEB->GdiSharedHandleTable (offset 0xF8 in
// a 64-bit PEB), and there it is the process's own: each live entry has a
// non-zero type byte. Read from outside, that gives the GDI count anyway.
struct GuiCount {
  long value = -1;  // -1: not available
  std::string source;
};

constexpr std::size_t GDI_TABLE_ENTRIES = 0x10000;
constexpr std::size_t PEB_GDI_TABLE_OFFSET = 0xF8;
struct GdiTableEntry {
  std::uint64_t object;
  std::uint32_t owner;
  std::uint16_t unique;
  std::uint8_t type;
  std::uint8_t flags;
  std::uint64_t user;
};
static_assert(sizeof(GdiTableEntry) == 24, "the table's entries are 24 bytes");

GuiCount gdi_from_handle_table(HANDLE process) {
  PROCESS_BASIC_INFORMATION basic{};
  ULONG length = 0;
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, &length) != 0 ||
      basic.PebBaseAddress == nullptr)
    return {};
  std::uint64_t table = 0;
  SIZE_T got = 0;
  if (!ReadProcessMemory(process, reinterpret_cast<const char*>(basic.PebBaseAddress) + PEB_GDI_TABLE_OFFSET, &table,
                         sizeof table, &got) ||
      table == 0)
    return {};
  std::vector<GdiTableEntry> entries(GDI_TABLE_ENTRIES);
  if (!ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(table)), entries.data(),
                         entries.size() * sizeof(GdiTableEntry), &got) ||
      got != entries.size() * sizeof(GdiTableEntry))
    return {};
  const auto live = std::count_if(entries.begin(), entries.end(), [](const GdiTableEntry& e) { return e.type != 0; });
  if (live == 0) return {};  // a live GUI process owns at least its stock objects: not a table we know
  return {static_cast<long>(live), "live entries of Wine's GDI handle table (PEB->GdiSharedHandleTable)"};
}

GuiCount gui_count(HANDLE process, DWORD which) {
  SetLastError(ERROR_SUCCESS);
  const DWORD count = GetGuiResources(process, which);
  if (count != 0) return {static_cast<long>(count), "GetGuiResources"};
  std::string why = "GetGuiResources returned 0, last error " + std::to_string(GetLastError());
  if (which == GR_GDIOBJECTS) {
    GuiCount fallback = gdi_from_handle_table(process);
    if (fallback.value >= 0) {
      fallback.source = why + "; counted " + fallback.source;
      return fallback;
    }
  }
  return {-1, why + "; no other count available"};
}

std::string show(const GuiCount& c) { return c.value < 0 ? std::string("n/a") : std::to_string(c.value); }

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    // Read first: TearDown puts it back even when the rest fails.
    theme_before_ = read_value(THEME_KEY, THEME_VALUE_LIGHT);
    expect_clean_desktop();
    if (HasFatalFailure()) return;
    forget_session();
  }

  void TearDown() override {
    if (theme_before_.status == ERROR_SUCCESS) {
      RegSetKeyValueW(HKEY_CURRENT_USER, THEME_KEY, THEME_VALUE_LIGHT, theme_before_.type, &theme_before_.value,
                      theme_before_.size);
    } else {
      RegDeleteKeyValueW(HKEY_CURRENT_USER, THEME_KEY, THEME_VALUE_LIGHT);
    }
  }

  StoredValue theme_before_;
};

TEST_F(Soak, ThousandsOfCommandsWithMenusThemeChangesAndTaskbarRestarts) {
  const UINT taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
  ASSERT_NE(taskbar_created, 0u);
  const bool autostart_before = value_exists(RUN_KEY, RUN_VALUE);

  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());

  std::mt19937 random(SHUFFLE_SEED);
  Expected expected;
  struct Counts {
    std::size_t commands = 0, menus = 0, closed_by_escape = 0, closed_by_cancel_mode = 0, theme_changes = 0,
                taskbar_posts = 0;
  } n;
  std::vector<std::string> cancel_mode_failures;
  DWORD light = 0;

  // One batch, as described at the top. Returns a failure, or nothing.
  const auto batch = [&](std::size_t index) -> std::string {
    light ^= 1;
    if (RegSetKeyValueW(HKEY_CURRENT_USER, THEME_KEY, THEME_VALUE_LIGHT, REG_DWORD, &light, sizeof light) !=
        ERROR_SUCCESS)
      return "cannot write the theme value";
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(orbel.window(), WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"ImmersiveColorSet"),
                             SMTO_ABORTIFHUNG, STEP_TIMEOUT_MS, &result))
      return "WM_SETTINGCHANGE was not answered: " + std::to_string(GetLastError());
    ++n.theme_changes;

    std::vector<WORD> ids(std::begin(BATCH), std::end(BATCH));
    std::shuffle(ids.begin(), ids.end(), random);
    const std::size_t taskbar_at = random() % (ids.size() + 1);
    const std::uint64_t posted_at = unix_now();
    for (std::size_t i = 0; i <= ids.size(); ++i) {
      if (i == taskbar_at) {
        if (!orbel.post(taskbar_created, 0, 0)) return "cannot post TaskbarCreated: " + std::to_string(GetLastError());
        ++n.taskbar_posts;
      }
      if (i == ids.size()) break;
      if (!orbel.post(WM_COMMAND, ids[i], 0)) return "cannot post a command: " + std::to_string(GetLastError());
      apply(expected, ids[i], posted_at);
      ++n.commands;
    }

    if (!orbel.post_click(index % 2 == 0 ? WM_RBUTTONUP : WM_LBUTTONUP)) return "cannot post the click";
    HWND menu = nullptr;
    if (!poll_until(STEP_TIMEOUT_MS, [&] { return (menu = orbel.open_menu()) != nullptr; }))
      return "the menu did not open";
    ++n.menus;
    expected.until_latest = unix_now() + expected.hours * SECONDS_PER_HOUR;
    std::string mismatch = session_mismatch(expected);
    if (value_exists(RUN_KEY, RUN_VALUE) != autostart_before) mismatch += " the Run value changed;";

    // Closed by Escape, or every other time by WM_CANCELMODE to the owner,
    // as when another window takes the foreground.
    const auto closed = [&] { return orbel.open_menu() == nullptr; };
    bool gone = false;
    if (index % 2 == 1) {
      orbel.post(WM_CANCELMODE, 0, 0);
      gone = poll_until(2000, closed);
      if (gone) {
        ++n.closed_by_cancel_mode;
      } else if (cancel_mode_failures.size() < 3) {
        cancel_mode_failures.push_back("batch " + std::to_string(index));
      }
    }
    if (!gone) {
      PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 1);
      if (!poll_until(STEP_TIMEOUT_MS, closed)) return "Escape did not close the menu";
      ++n.closed_by_escape;
    }
    if (!orbel.answers(STEP_TIMEOUT_MS)) return "Orbel stopped answering: " + std::to_string(GetLastError());
    return mismatch.empty() ? std::string() : "the stored session is wrong: " + mismatch;
  };

  // A few batches first, so that caches Wine fills on first use (DCs, fonts,
  // the menu's bitmaps) are in the baseline.
  constexpr std::size_t WARM_UP_BATCHES = 3;
  for (std::size_t i = 0; i < WARM_UP_BATCHES; ++i) {
    const std::string failure = batch(i);
    ASSERT_TRUE(failure.empty()) << "warm-up batch " << i << ": " << failure;
  }
  const GuiCount gdi_before = gui_count(orbel.handle(), GR_GDIOBJECTS);
  const GuiCount user_before = gui_count(orbel.handle(), GR_USEROBJECTS);
  n = Counts{};

  const ULONGLONG start = GetTickCount64();
  std::size_t index = WARM_UP_BATCHES;
  while (n.commands < COMMANDS_TO_SEND) {
    ASSERT_LT(GetTickCount64() - start, SOAK_BUDGET_MS)
        << "the soak ran out of time after " << n.commands << " commands";
    const std::string failure = batch(index);
    ASSERT_TRUE(failure.empty()) << "batch " << index << " (" << n.commands << " commands sent): " << failure;
    ++index;
  }
  const ULONGLONG wall_ms = GetTickCount64() - start;

  const GuiCount gdi_after = gui_count(orbel.handle(), GR_GDIOBJECTS);
  const GuiCount user_after = gui_count(orbel.handle(), GR_USEROBJECTS);

  std::cout << "soak: " << n.commands << " commands, " << n.menus << " menus (" << n.closed_by_escape
            << " closed by Escape, " << n.closed_by_cancel_mode << " by WM_CANCELMODE), " << n.theme_changes
            << " theme changes, " << n.taskbar_posts << " TaskbarCreated, in " << wall_ms << " ms after "
            << WARM_UP_BATCHES << " warm-up batches (shuffle seed " << SHUFFLE_SEED << ")\n"
            << "soak: GDI objects " << show(gdi_before) << " -> " << show(gdi_after) << " (" << gdi_after.source
            << ")\n"
            << "soak: USER objects " << show(user_before) << " -> " << show(user_after) << " (" << user_after.source
            << ")\n";
  if (!cancel_mode_failures.empty()) {
    std::cout << "soak: WM_CANCELMODE did not close the menu (closed by Escape instead) in";
    for (const std::string& f : cancel_mode_failures) std::cout << " " << f;
    std::cout << "\n";
  }

  EXPECT_TRUE(orbel.answers(STEP_TIMEOUT_MS));
  EXPECT_EQ(session_mismatch(expected), "");
  EXPECT_EQ(value_exists(RUN_KEY, RUN_VALUE), autostart_before);
  if (gdi_before.value >= 0 && gdi_after.value >= 0) {
    EXPECT_LE(gdi_after.value, gdi_before.value + OBJECT_SLACK) << "GDI objects grew: " << gdi_after.source;
  }
  if (user_before.value >= 0 && user_after.value >= 0) {
    EXPECT_LE(user_after.value, user_before.value + OBJECT_SLACK) << "USER objects grew: " << user_after.source;
  }

  ASSERT_TRUE(orbel.post_close());
  DWORD code = 0xdeadbeef;
  ASSERT_TRUE(orbel.wait_for_exit(EXIT_TIMEOUT_MS, &code)) << "Orbel did not exit after WM_CLOSE";
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(orbel_windows().empty());
  // The session outlives the process.
  EXPECT_EQ(session_mismatch(expected), "");
}

}  // namespace
