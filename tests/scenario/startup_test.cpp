// The whole program over winsim: start-up, the commit, the message dispatch,
// quitting, and recovery after a crash.
#include <gtest/gtest.h>

#include "harness.h"
#include "tray/menu_model.h"
#include "tray/tray_icon.h"

namespace {

using namespace scenario;

TEST_F(Program, FirstStartStoresAnOpenEndedSessionAndHolds) {
  winsim::after_s(1, [] {
    EXPECT_EQ(stored("On"), 1u);
    EXPECT_EQ(stored("Until"), 0u);
    EXPECT_EQ(stored("Hours"), 0u);
    EXPECT_EQ(winsim::main_thread_execution_state(), 0x80000003u);
    EXPECT_EQ(lid(balanced()).ac, 0u);
    ASSERT_EQ(winsim::tray_icons().size(), 1u);
    EXPECT_EQ(winsim::tray_icons()[0].tip, u"Orbel");
    EXPECT_EQ(winsim::tray_icons()[0].callback_message, 0x8001u);
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
  for (const char* name : {"On", "Until", "Hours"}) EXPECT_EQ(winsim::reg_get(ORBEL_KEY, name)->type, REG_QWORD) << name;
}

TEST_F(Program, StartUpOrder) {
  run_for(1);
  EXPECT_TRUE(in_order(winsim::trace(),
                       {"CreateMutexW(NULL, FALSE, ", "RegGetValueW(Software\\Orbel, On", "RegGetValueW(Software\\Orbel, Until",
                        "RegGetValueW(Software\\Orbel, Hours", "GetModuleHandleW(NULL)", "RegisterClassW(OrbelWindow)",
                        "CreateWindowExW(0x0, OrbelWindow, Orbel, 0x0, 0, 0, 0, 0, NULL, NULL, instance, NULL)",
                        "RegisterWindowMessageW(TaskbarCreated)", "Shell_NotifyIconW(0,",
                        // the commit: power hold, the three values (the end and
                        // duration in one pending write first, "On" last), the icon
                        "SetThreadExecutionState(0x80000003)", "RegSetKeyValueW(Software\\Orbel, Until, 11, 8)",
                        "RegSetKeyValueW(Software\\Orbel, Hours, 11, 8)",
                        "RegSetKeyValueW(Software\\Orbel, Until, 11, 8)",
                        "RegSetKeyValueW(Software\\Orbel, On, 11, 8)", "Shell_NotifyIconW(1,",
                        "SetTimer(1, 20000, NULL)", "GetMessageW(NULL, 0, 0)"}));
  // Nothing evaluates before the first timer tick.
  EXPECT_EQ(winsim::count_calls("GetSystemPowerStatus"), 0u);
}

TEST_F(Program, SecondCopyExitsWithoutTouchingAnything) {
  winsim::after_s(5, [] {
    const HWND first = orbel_window();
    winsim::clear_trace();
    EXPECT_EQ(winsim::run_as_other_process(run_orbel), 0);
    EXPECT_EQ(winsim::trace(), std::vector<std::string>{"CreateMutexW(NULL, FALSE, no.dremmholt.orbel.single-instance)"});
    EXPECT_EQ(orbel_window(), first);
    EXPECT_EQ(winsim::live_windows(), 1u);
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
}

TEST_F(Program, MutexFailureOtherThanAlreadyExistsStartsNormally) {
  winsim::fail_call("CreateMutexW");
  EXPECT_EQ(run_for(1), 0);
  EXPECT_EQ(stored("On"), 1u);
}

TEST_F(Program, FailedWindowCreationWritesNothing) {
  store_session(1, winsim::DEFAULT_START_UNIX - 10, 2);  // would be cleared by a commit
  winsim::fail_call("CreateWindowExW");
  EXPECT_EQ(run_orbel(), 0);
  EXPECT_EQ(winsim::count_calls("RegSetKeyValueW") + winsim::count_calls("RegDeleteKeyValueW"), 0u);
  EXPECT_EQ(winsim::count_calls("SetThreadExecutionState") + winsim::count_calls("PowerGetActiveScheme"), 0u);
  EXPECT_EQ(winsim::count_calls("Shell_NotifyIconW") + winsim::count_calls("SetTimer"), 0u);
  EXPECT_EQ(stored("On"), 1u);
  EXPECT_EQ(stored("Hours"), 2u);
}

TEST_F(Program, FailedRegistrationStillRuns) {
  winsim::fail_call("RegisterWindowMessageW");
  winsim::after_s(1, [] {
    // With no registered number, WM_NULL must not be taken for "TaskbarCreated".
    winsim::clear_trace();
    SendMessageW(orbel_window(), WM_NULL, 0, 0);
    EXPECT_EQ(winsim::count_calls("Shell_NotifyIconW"), 0u);
    EXPECT_EQ(winsim::count_calls("DefWindowProcW"), 1u);
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
}

struct DispatchCase {
  const char* name;
  UINT message;  // 0xFFFFFFFF: the registered "TaskbarCreated"
  WPARAM wparam;
  LPARAM lparam;
  LRESULT result;
  std::vector<std::string> calls;   // must appear, in order
  std::vector<std::string> absent;  // must not appear
};

TEST_F(Program, DispatchTable) {
  constexpr UINT TASKBAR_CREATED = 0xFFFFFFFF;
  constexpr UINT CANCEL_MODE = 0x001F;  // WM_CANCELMODE
  const std::vector<DispatchCase> cases = {
      {"timer evaluates", WM_TIMER, 1, 0, 0, {}, {"DefWindowProcW"}},
      {"power broadcast answers TRUE", WM_POWERBROADCAST, 10, 0, 1, {}, {"DefWindowProcW"}},
      {"settings change redraws", WM_SETTINGCHANGE, 0, 0, 0, {"Shell_NotifyIconW(1,"}, {"DefWindowProcW"}},
      {"unknown command", WM_COMMAND, MAKEWPARAM(7, 1), 0, 0, {}, {"DefWindowProcW", "RegSetKeyValueW"}},
      {"mouse move on the icon", orbel::WM_TRAY_CALLBACK, 1, WM_MOUSEMOVE, 0, {}, {"DefWindowProcW"}},
      {"button down on the icon", orbel::WM_TRAY_CALLBACK, 1, WM_LBUTTONDOWN, 0, {}, {"DefWindowProcW"}},
      {"null message", WM_NULL, 0, 0, 0, {"DefWindowProcW(0x0"}, {"Shell_NotifyIconW"}},
      {"query end session is agreed to", WM_QUERYENDSESSION, 0, 0, TRUE, {"DefWindowProcW(0x11"}, {}},
      {"taskbar created re-adds only", TASKBAR_CREATED, 0, 0, 0, {"Shell_NotifyIconW(0,"},
       {"SetThreadExecutionState", "RegSetKeyValueW", "DefWindowProcW"}},
      {"cancelled end session", WM_ENDSESSION, 0, 0, 0, {}, {"Shell_NotifyIconW", "SetThreadExecutionState"}},
      {"end session releases, keeps the session", WM_ENDSESSION, 1, 0, 0,
       {"SetThreadExecutionState(0x80000000)", "Shell_NotifyIconW(2,"},
       {"RegSetKeyValueW(Software\\Orbel, On,", "RegSetKeyValueW(Software\\Orbel, Until,",
        "RegSetKeyValueW(Software\\Orbel, Hours,", "DefWindowProcW"}},
      // Windows' DefWindowProc ends an open menu of the window; the installer
      // counts on that before it posts WM_CLOSE. (Wine's menu loop ends the
      // menu on any WM_CANCELMODE before dispatching it, so the Wine soak
      // cannot see a window procedure that swallows it.)
      {"cancel mode goes on to the system", CANCEL_MODE, 0, 0, 0, {"DefWindowProcW(0x1f,"}, {}},
  };
  winsim::after_s(1, [&] {
    for (const DispatchCase& c : cases) {
      const UINT message = c.message == TASKBAR_CREATED ? orbel::session.taskbar_created_message : c.message;
      winsim::clear_trace();
      EXPECT_EQ(SendMessageW(orbel_window(), message, c.wparam, c.lparam), c.result) << c.name;
      EXPECT_TRUE(in_order(winsim::trace(), c.calls)) << c.name;
      for (const std::string& call : c.absent) EXPECT_EQ(count_lines(call), 0u) << c.name << ": " << call;
    }
    EXPECT_TRUE(winsim::tray_icons().empty());
    EXPECT_EQ(winsim::main_thread_execution_state(), 0x80000000u);
    EXPECT_TRUE(winsim::is_window(orbel_window())) << "the process lives on until the system ends it";
    close_orbel();
  });
  EXPECT_EQ(run_orbel(), 0);
  EXPECT_EQ(stored("On"), 1u);
}

// However the program is asked to quit during a timed session, it gives the
// lid and the keep-awake request back but keeps the stored session, and a
// start before the end time resumes it with the same end time and holds again.
TEST_F(Program, QuitKeepsTheSessionAndTheNextStartResumesIt) {
  struct Case {
    const char* name;
    bool from_the_menu;  // chosen and quit through the menu; else stored, and WM_CLOSE from outside
  };
  for (const Case& c : {Case{"WM_CLOSE from outside", false}, Case{"quit from the menu", true}}) {
    fresh_machine();
    std::uint64_t until = winsim::DEFAULT_START_UNIX + 2 * HOUR;
    if (c.from_the_menu) {
      until += 5;
      winsim::after_s(5, [] {
        winsim::script_menu(orbel::ID_DURATION_BASE + 2);
        click_icon();
      });
      winsim::after_s(600, [] {
        winsim::script_menu(orbel::ID_QUIT);
        click_icon();
      });
      EXPECT_EQ(run_orbel(), 0) << c.name;
    } else {
      store_session(1, until, 2);
      EXPECT_EQ(run_for(60), 0) << c.name;
    }
    EXPECT_EQ(stored("On"), 1u) << c.name;
    EXPECT_EQ(stored("Until"), until) << c.name;
    EXPECT_EQ(stored("Hours"), 2u) << c.name;
    EXPECT_FALSE(stored("LidAC")) << c.name;
    EXPECT_EQ(lid(balanced()).ac, 1u) << c.name;
    EXPECT_EQ(winsim::main_thread_execution_state(), 0x80000000u) << c.name;
    EXPECT_TRUE(winsim::tray_icons().empty()) << c.name;
    EXPECT_EQ(winsim::live_windows(), 0u) << c.name;
    EXPECT_EQ(winsim::outstanding_local_allocations(), 0u) << c.name;

    next_process();
    winsim::after_s(1, [&] {
      EXPECT_TRUE(orbel::session.on) << c.name;
      EXPECT_EQ(orbel::session.until, until) << c.name;
      EXPECT_EQ(orbel::session.hours, 2u) << c.name;
      EXPECT_EQ(stored("LidAC"), 1u) << c.name;
      EXPECT_EQ(lid(balanced()).ac, 0u) << c.name;
      close_orbel();
    });
    EXPECT_EQ(run_orbel(), 0) << c.name;
  }
}

TEST_F(Program, StoredSessionPastItsEndIsClearedAndReleasedAtStart) {
  store_session(1, winsim::DEFAULT_START_UNIX - 1, 4);
  run_for(1);
  EXPECT_EQ(stored("On"), 0u);
  EXPECT_EQ(stored("Until"), 0u);
  EXPECT_EQ(stored("Hours"), 0u);
  EXPECT_TRUE(in_order(winsim::trace(), {"SetThreadExecutionState(0x80000000)", "RegSetKeyValueW(Software\\Orbel, On"}));
}

TEST_F(Program, CrashThenRestartKeepsOrRestoresTheOverride) {
  set_lid(balanced(), 2, 1);
  store_session(1, winsim::DEFAULT_START_UNIX + 2 * HOUR, 2);
  winsim::after_s(600, winsim::fail_message_loop);
  EXPECT_EQ(run_orbel(), 0);
  // Nothing was released: the override and its backup are left behind.
  EXPECT_EQ(stored("LidAC"), 2u);
  EXPECT_EQ(lid(balanced()).ac, 0u);
  EXPECT_EQ(count_lines("Shell_NotifyIconW(2,"), 0u);

  // Restarted while the session still runs: the backup is not overwritten
  // with the overridden 0/0.
  next_process();
  winsim::after_s(60, [] {
    EXPECT_EQ(stored("LidAC"), 2u);
    EXPECT_EQ(stored("LidDC"), 1u);
    EXPECT_EQ(lid(balanced()).ac, 0u);
    winsim::fail_message_loop();
  });
  run_orbel();

  // Restarted after the end time: the saved values come back.
  next_process();
  winsim::set_time_unix(winsim::DEFAULT_START_UNIX + 3 * HOUR);
  EXPECT_EQ(run_for(1), 0);
  EXPECT_EQ(lid(balanced()).ac, 2u);
  EXPECT_EQ(lid(balanced()).dc, 1u);
  EXPECT_FALSE(stored("LidAC"));
  EXPECT_FALSE(stored("LidDC"));
  EXPECT_EQ(stored("On"), 0u);
}

TEST_F(Program, HoursOfVirtualTimePassQuickly) {
  winsim::after_s(8 * HOUR, close_orbel);
  EXPECT_EQ(run_orbel(), 0);
  EXPECT_GE(winsim::uptime_ms(), 8 * HOUR * 1000);
  // One evaluation per 20-second tick.
  EXPECT_EQ(count_lines("DispatchMessageW(0x113)"), 8 * HOUR / 20);
}

}  // namespace
