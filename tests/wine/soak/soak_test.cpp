// A soak of the real Orbel.exe under Wine: two thousand menu commands, a menu
// opened and closed after every batch of them, a theme change and an Explorer
// restart notice per batch, all from another process. Afterwards Orbel must
// still answer, hold a consistent session in the registry, own no more GDI
// objects and windows than before, and quit cleanly. The soak is bounded by
// its number of commands; how long it takes is printed, not judged.
//
// What Wine lets the soak count of Orbel's objects: GDI objects, through the
// GDI handle table Wine keeps for each process, and windows, by enumerating
// them. Not the other USER objects (menus, icons): GetGuiResources is a stub
// in Wine (0 with ERROR_CALL_NOT_IMPLEMENTED for every kind) and Wine keeps no
// table of them that another process can read. The host soak over winsim
// counts those (tests/hardening).
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

// How long one step may take before Orbel counts as hung.
constexpr DWORD STEP_TIMEOUT_MS = 10000;
// How long WM_CANCELMODE may take to close the menu: far more than it takes
// (a whole batch takes some 50 ms on a quiet machine). After the most misses
// the soak stops trying it, so that a broken close costs seconds, not minutes.
constexpr DWORD CANCEL_MODE_TIMEOUT_MS = 5000;
constexpr std::size_t CANCEL_MODE_MAX_MISSES = 3;
// GDI objects Wine may allocate lazily in the middle of the soak (caches).
constexpr long GDI_SLACK = 16;

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

// GDI objects of a process. Wine keeps, like Windows, a GDI handle table for
// each process at PEB->GdiSharedHandleTable (offset 0xF8 in a 64-bit PEB),
// and there it is the process's own: each live entry has a non-zero type
// byte. Read from outside, that gives the count GetGuiResources would.
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

// The count, or -1 with the reason in *why.
long gdi_objects(HANDLE process, std::string* why) {
  PROCESS_BASIC_INFORMATION basic{};
  ULONG length = 0;
  if (NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic, &length) != 0 ||
      basic.PebBaseAddress == nullptr) {
    *why = "no PEB address from NtQueryInformationProcess";
    return -1;
  }
  std::uint64_t table = 0;
  SIZE_T got = 0;
  if (!ReadProcessMemory(process, reinterpret_cast<const char*>(basic.PebBaseAddress) + PEB_GDI_TABLE_OFFSET, &table,
                         sizeof table, &got) ||
      table == 0) {
    *why = "no GDI handle table in the PEB (error " + std::to_string(GetLastError()) + ")";
    return -1;
  }
  std::vector<GdiTableEntry> entries(GDI_TABLE_ENTRIES);
  if (!ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(table)), entries.data(),
                         entries.size() * sizeof(GdiTableEntry), &got) ||
      got != entries.size() * sizeof(GdiTableEntry)) {
    *why = "the GDI handle table cannot be read (error " + std::to_string(GetLastError()) + ")";
    return -1;
  }
  const auto live = std::count_if(entries.begin(), entries.end(), [](const GdiTableEntry& e) { return e.type != 0; });
  if (live == 0) {
    // A live GUI process owns at least its stock objects.
    *why = "the GDI handle table has no live entry: not a table this test knows";
    return -1;
  }
  return static_cast<long>(live);
}

// Windows of a process: top-level and message-only ones with their children.
struct WindowCount {
  DWORD pid;
  long count = 0;
};

BOOL CALLBACK count_child(HWND window, LPARAM search) {
  auto* s = reinterpret_cast<WindowCount*>(search);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == s->pid) ++s->count;
  return TRUE;
}

BOOL CALLBACK count_with_children(HWND window, LPARAM search) {
  auto* s = reinterpret_cast<WindowCount*>(search);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == s->pid) ++s->count;
  EnumChildWindows(window, count_child, search);
  return TRUE;
}

long windows_of(DWORD pid) {
  WindowCount search{pid};
  EnumWindows(count_with_children, reinterpret_cast<LPARAM>(&search));
  for (HWND w = FindWindowExW(HWND_MESSAGE, nullptr, nullptr, nullptr); w != nullptr;
       w = FindWindowExW(HWND_MESSAGE, w, nullptr, nullptr))
    count_with_children(w, reinterpret_cast<LPARAM>(&search));
  return search.count;
}

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
  // The batches, warm-up ones included, in which WM_CANCELMODE left the menu open.
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
    // as when another window takes the foreground, and as the installer
    // closes the menu before it asks Orbel to quit. A menu WM_CANCELMODE
    // left open is closed by Escape, so that the soak goes on, and counts
    // as a failure at the end. Wine's menu loop ends the menu on any
    // WM_CANCELMODE in the thread's queue before dispatching it, so this
    // cannot tell whether Orbel's window procedure passes it on to
    // DefWindowProc, as Windows needs; the host dispatch table checks that.
    const auto closed = [&] { return orbel.open_menu() == nullptr; };
    bool gone = false;
    if (index % 2 == 1 && cancel_mode_failures.size() < CANCEL_MODE_MAX_MISSES) {
      orbel.post(WM_CANCELMODE, 0, 0);
      gone = poll_until(CANCEL_MODE_TIMEOUT_MS, closed);
      if (gone) {
        ++n.closed_by_cancel_mode;
      } else {
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
  std::string why;
  const long gdi_before = gdi_objects(orbel.handle(), &why);
  ASSERT_GE(gdi_before, 0) << "cannot count Orbel's GDI objects: " << why;
  const long windows_before = windows_of(orbel.pid());
  ASSERT_GT(windows_before, 0) << "no window of Orbel's process found";
  n = Counts{};

  const ULONGLONG start = GetTickCount64();
  std::size_t index = WARM_UP_BATCHES;
  while (n.commands < COMMANDS_TO_SEND) {
    const std::string failure = batch(index);
    ASSERT_TRUE(failure.empty()) << "batch " << index << " (" << n.commands << " commands sent): " << failure;
    ++index;
  }
  const ULONGLONG wall_ms = GetTickCount64() - start;

  const long gdi_after = gdi_objects(orbel.handle(), &why);
  ASSERT_GE(gdi_after, 0) << "cannot count Orbel's GDI objects: " << why;
  const long windows_after = windows_of(orbel.pid());

  std::cout << "soak: " << n.commands << " commands, " << n.menus << " menus (" << n.closed_by_escape
            << " closed by Escape, " << n.closed_by_cancel_mode << " by WM_CANCELMODE), " << n.theme_changes
            << " theme changes, " << n.taskbar_posts << " TaskbarCreated, in " << wall_ms << " ms after "
            << WARM_UP_BATCHES << " warm-up batches (shuffle seed " << SHUFFLE_SEED << ")\n"
            << "soak: GDI objects " << gdi_before << " -> " << gdi_after
            << " (live entries of Wine's GDI handle table)\n"
            << "soak: windows " << windows_before << " -> " << windows_after << "\n"
            << "soak: other USER objects (menus, icons) not counted: Wine's GetGuiResources is a stub\n";
  std::string cancel_mode_missed;
  for (const std::string& f : cancel_mode_failures) cancel_mode_missed += " " + f;

  EXPECT_TRUE(orbel.answers(STEP_TIMEOUT_MS));
  EXPECT_GT(n.closed_by_cancel_mode, 0u);
  EXPECT_TRUE(cancel_mode_failures.empty())
      << "WM_CANCELMODE did not close the menu (closed by Escape instead) in" << cancel_mode_missed;
  EXPECT_EQ(session_mismatch(expected), "");
  EXPECT_EQ(value_exists(RUN_KEY, RUN_VALUE), autostart_before);
  EXPECT_LE(gdi_after, gdi_before + GDI_SLACK) << "GDI objects grew";
  EXPECT_EQ(windows_after, windows_before) << "Orbel's windows changed in number";

  ASSERT_TRUE(orbel.post_close());
  DWORD code = 0xdeadbeef;
  ASSERT_TRUE(orbel.wait_for_exit(EXIT_TIMEOUT_MS, &code)) << "Orbel did not exit after WM_CLOSE";
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(orbel_windows().empty());
  // The session outlives the process.
  EXPECT_EQ(session_mismatch(expected), "");
}

}  // namespace
