// Orbel's per-user MSI under Wine 8's msiexec, run silently as a user would
// run it from a script: install, upgrade over a running Orbel, uninstall.
// Judged by the files, the Start menu, the uninstall entry, what Orbel
// stores, the processes, and after each uninstall by a snapshot of the whole
// prefix (registry and drive C:) taken before the install.
//
// Wine's own power-plan calls are stubs. This run's prefix has the stand-in
// powrprof.dll (tests/wine/powrprof) in its system32 instead, and every
// process of the prefix loads it (put_standin_in_system32): the user's
// lid-close setting is a plan of the stand-in's.
//
// Where Wine 8 differs from Windows, the check says so: it writes the
// uninstall entry of a per-user package under HKLM (installer.h), writes no
// DisplayIcon (the icon is checked where Apps & features reads an MSI's,
// its ProductIcon), removes an older version without setting
// UPGRADINGPRODUCTCODE (packaging/setup/setup_actions.cpp copes with that),
// removes every empty folder an install made, so the snapshot cannot show
// whether the package's RemoveFolder entries do that on Windows, and runs
// every process elevated, so the installer always takes the route it takes
// when elevated on Windows (the upgrade's start of Orbel through the desktop
// shell); that Windows then gives Orbel the desktop's unelevated rights is
// beyond what Wine can show.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>
#include <tlhelp32.h>
#include <wininet.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "installer.h"
#include "orbel_driver.h"
#include "plan_store.h"
#include "prefix_snapshot.h"

namespace {

using namespace orbel_wine;
using namespace orbel_installer;

constexpr std::uint64_t HOUR = 3600;
// Orbel's exit code after its own quit; a process that is ended instead
// (TerminateProcess) has the code its ender gives.
constexpr DWORD QUIT_EXIT_CODE = 0;
// Orbel shows its window within a second of its start on a quiet machine.
constexpr DWORD NO_START_WAIT_MS = 3000;

const std::wstring RELEASE_MSI = windows_path(ORBEL_RELEASE_MSI);
const std::wstring UPGRADE_MSI = windows_path(ORBEL_UPGRADE_MSI);
const std::wstring VERSION_150_MSI = windows_path(ORBEL_VERSION_150_MSI);
// Where the installer remembers its folder, apart from Orbel's settings.
constexpr const wchar_t* INSTALLER_KEY = L"Software\\Orbel Setup";
// The exit code the test gives an installer it kills.
constexpr UINT KILLED_EXIT_CODE = 9;
// What msiexec returns when a custom action refuses the install.
constexpr DWORD INSTALL_FAILED = ERROR_INSTALL_FAILURE;

std::string release_exe_bytes() { return file_bytes(windows_path(ORBEL_RELEASE_EXE)); }
std::string upgrade_exe_bytes() { return file_bytes(windows_path(ORBEL_UPGRADE_EXE)); }

std::string quoted(const std::wstring& path) { return "REG_SZ \"" + utf8(path) + "\""; }

// INSTALLDIR=... for msiexec, without the folder's closing backslash: msiexec
// would read \" as a quote.
std::wstring install_dir_property(const std::wstring& dir) {
  const bool slash = !dir.empty() && dir.back() == L'\\';
  return L"INSTALLDIR=\"" + dir.substr(0, dir.size() - (slash ? 1 : 0)) + L"\"";
}

void set_run_value(DWORD type, const std::wstring& text) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, type, text.c_str(),
                            static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

std::wstring profile() { return known_folder(FOLDERID_Profile); }

// GUID_SYSTEM_BUTTON_SUBGROUP and GUID_LIDCLOSE_ACTION; Windows' Balanced plan.
constexpr GUID BUTTON_SUBGROUP = {0x4f971e89, 0xeebd, 0x4455, {0xa8, 0xde, 0x9e, 0x59, 0x04, 0x0e, 0x73, 0x47}};
constexpr GUID LID_CLOSE_ACTION = {0x5ca83367, 0x6e45, 0x459f, {0xa2, 0x7b, 0x47, 0x6b, 0x1d, 0x01, 0xc9, 0x36}};
constexpr GUID USERS_PLAN = {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
// The user's lid-close actions: sleep on mains, hibernate on battery; "do
// nothing" on both while a session holds the lid.
constexpr DWORD USERS_AC = 1;
constexpr DWORD USERS_DC = 2;
const std::string USERS_LID = "AC 1, DC 2";
const std::string HELD_LID = "AC 0, DC 0";

// The active plan is the user's, with the user's lid-close actions.
void set_up_power_plans() {
  const std::wstring key = plan_store::setting_key(USERS_PLAN, BUTTON_SUBGROUP, LID_CLOSE_ACTION);
  const std::wstring active = plan_store::guid_text(USERS_PLAN);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), plan_store::AC_INDEX, REG_DWORD, &USERS_AC,
                            sizeof USERS_AC),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), plan_store::DC_INDEX, REG_DWORD, &USERS_DC,
                            sizeof USERS_DC),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, plan_store::ROOT_KEY, plan_store::ACTIVE, REG_SZ, active.c_str(),
                            static_cast<DWORD>((active.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
}

void forget_power_plans() {
  const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, plan_store::ROOT_KEY);
  EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
}

// How often the stand-in handed out the active plan: once for every
// evaluation of every Orbel that ran.
DWORD guids_handed_out() {
  DWORD value = 0;
  DWORD size = sizeof value;
  RegGetValueW(HKEY_CURRENT_USER, plan_store::ROOT_KEY, plan_store::GUIDS_HANDED_OUT, RRF_RT_REG_DWORD, nullptr,
               &value, &size);
  return value;
}

// The user's plan's lid-close actions as the stand-in holds them.
std::string users_lid() {
  const std::wstring key = plan_store::setting_key(USERS_PLAN, BUTTON_SUBGROUP, LID_CLOSE_ACTION);
  const StoredValue ac = read_value(key.c_str(), plan_store::AC_INDEX);
  const StoredValue dc = read_value(key.c_str(), plan_store::DC_INDEX);
  return "AC " + (ac.status == ERROR_SUCCESS ? std::to_string(ac.value) : describe(ac)) + ", DC " +
         (dc.status == ERROR_SUCCESS ? std::to_string(dc.value) : describe(dc));
}

// The stand-in is where this run's prefix keeps powrprof.dll; copied anew
// when the build has changed it. Wine loads it instead of its own for every
// process of the prefix, also for an Orbel that the desktop's shell starts:
// the shell did not get the tests' WINEDLLOVERRIDES, so the prefix's registry
// says it (HKCU\Software\Wine\DllOverrides, read at each process's start).
void put_standin_in_system32() {
  const std::wstring standin = windows_path(ORBEL_POWRPROF_STANDIN);
  const std::wstring system32 = known_folder(FOLDERID_System) + L"\\powrprof.dll";
  const std::wstring native = L"native";
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", L"powrprof", REG_SZ, native.c_str(),
                            static_cast<DWORD>((native.size() + 1) * sizeof(wchar_t))),
            ERROR_SUCCESS);
  if (file_bytes(system32) == file_bytes(standin)) return;
  ASSERT_TRUE(CopyFileW(standin.c_str(), system32.c_str(), FALSE)) << "copying the stand-in: " << GetLastError();
}

// Wine makes WinINet's own store (its cookie index, the proxy setting) when a
// program first uses WinINet, as Orbel's update check does; Windows has them
// from the start. Used once here, so that a snapshot taken before Orbel ever
// ran already has them.
void use_wininet_once() {
  HINTERNET internet = InternetOpenW(L"Orbel installer tests", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  ASSERT_NE(internet, nullptr) << GetLastError();
  // The cookie store is made at its first look-up; a URL of no host there is.
  wchar_t cookies[256] = {};
  DWORD size = sizeof cookies / sizeof cookies[0];
  InternetGetCookieW(L"https://orbel-installer-tests.invalid/", nullptr, cookies, &size);
  InternetCloseHandle(internet);
}

// Turns start at logon on through Orbel's menu command and waits for it.
bool turn_on_start_at_logon(const OrbelProcess& orbel) {
  if (!orbel.post(WM_COMMAND, COMMAND_AUTOSTART, 0)) return false;
  const bool on = poll_until(EXIT_TIMEOUT_MS, [] { return value_exists(RUN_KEY, RUN_VALUE); });
  if (!on) ADD_FAILURE() << "start at logon did not turn on";
  return on;
}

// The exit code of an Orbel the installer was to close; a failure when it
// still runs.
DWORD exit_code(const OrbelProcess& orbel) {
  DWORD code = STILL_ACTIVE;
  if (!orbel.wait_for_exit(EXIT_TIMEOUT_MS, &code)) ADD_FAILURE() << "Orbel (PID " << orbel.pid() << ") still runs";
  return code;
}

// The process of the one running Orbel, whoever started it; 0 (with a
// failure) when not exactly one runs.
DWORD running_orbel_pid() {
  if (!poll_until(START_TIMEOUT_MS, [] { return orbel_windows().size() == 1; })) {
    ADD_FAILURE() << orbel_windows().size() << " Orbel windows, one expected";
    return 0;
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(orbel_windows().front(), &pid);
  return pid;
}

// The program the one running Orbel runs; empty (with a failure) when not
// exactly one runs.
std::wstring running_orbel_image() {
  const DWORD pid = running_orbel_pid();
  if (pid == 0) return L"";
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return L"";
  const std::wstring image = process_image(process);
  CloseHandle(process);
  return image;
}

bool installed(const std::wstring& product_code) {
  return MsiQueryProductStateW(product_code.c_str()) == INSTALLSTATE_DEFAULT;
}

// Every test starts on the run's desktop with no Orbel running and none
// installed, and leaves the prefix that way.
class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    expect_clean_desktop();
    if (HasFatalFailure()) return;
    release_code_ = package_property(RELEASE_MSI, L"ProductCode");
    upgrade_code_ = package_property(UPGRADE_MSI, L"ProductCode");
    ASSERT_FALSE(release_code_.empty() || upgrade_code_.empty()) << "the test packages cannot be read";
    ASSERT_NE(release_code_, upgrade_code_) << "each version must be a product of its own";
    ASSERT_FALSE(installed(release_code_) || installed(upgrade_code_)) << "an earlier test left Orbel installed";
    ASSERT_NO_FATAL_FAILURE(put_standin_in_system32());
    ASSERT_NO_FATAL_FAILURE(use_wininet_once());
    forget_everything();
    forget_power_plans();
    ASSERT_NO_FATAL_FAILURE(set_up_power_plans());
  }

  void TearDown() override {
    for (const std::wstring& code : {upgrade_code_, release_code_}) {
      if (!code.empty() && installed(code)) {
        EXPECT_EQ(run_msiexec(L"/x " + code), 0u) << utf8(code);
      }
    }
    for (HWND w : orbel_windows()) PostMessageW(w, WM_CLOSE, 0, 0);
    poll_until(EXIT_TIMEOUT_MS, [] { return orbel_windows().empty(); });
    forget_everything();
    forget_power_plans();
    RegDeleteTreeW(HKEY_CURRENT_USER, INSTALLER_KEY);
  }

  std::wstring release_code_;
  std::wstring upgrade_code_;
};

TEST_F(Installer, PutsOrbelItsShortcutAndItsUninstallEntryInPlace) {
  ASSERT_EQ(install(RELEASE_MSI), 0u);
  // Msiexec starts Orbel without waiting for it, so give one the time to show
  // up. One that shows up later still fails the start below: it is a second
  // copy, which exits at once.
  EXPECT_FALSE(poll_until(NO_START_WAIT_MS, [] { return !orbel_windows().empty(); }))
      << "the install started an Orbel that was not running before";

  const std::wstring dir = default_install_dir();
  const std::wstring exe = dir + L"Orbel.exe";
  EXPECT_EQ(list_dir(dir), L"Orbel.exe") << "only the program is installed";
  EXPECT_TRUE(file_bytes(exe) == release_exe_bytes()) << utf8(exe) << " is not the release's Orbel.exe";

  const Shortcut shortcut = read_shortcut(start_menu_shortcut());
  ASSERT_EQ(shortcut.status, S_OK) << utf8(start_menu_shortcut());
  EXPECT_EQ(utf8(shortcut.target), utf8(exe));
  EXPECT_EQ(utf8(shortcut.working_dir), utf8(dir));

  const std::wstring& code = release_code_;
  EXPECT_EQ(utf8(uninstall_entry_value(code, L"DisplayName")), "Orbel");
  EXPECT_EQ(utf8(uninstall_entry_value(code, L"Publisher")), "Dremmholt");
  EXPECT_EQ(utf8(uninstall_entry_value(code, L"DisplayVersion")), ORBEL_VERSION);
  EXPECT_EQ(utf8(uninstall_entry_value(code, L"InstallLocation")), utf8(dir));
  const std::wstring icon = product_info(code, INSTALLPROPERTY_PRODUCTICON);
  EXPECT_TRUE(!icon.empty() && file_bytes(icon) == file_bytes(windows_path(ORBEL_ICON)))
      << "the product icon \"" << utf8(icon) << "\" is not Orbel's";

  // Started the way its shortcut starts it, it runs the installed file, and
  // its start at logon names that file.
  OrbelProcess orbel(shortcut.target);
  ASSERT_TRUE(orbel.start());
  EXPECT_EQ(utf8(process_image(orbel.handle())), utf8(exe));
  ASSERT_TRUE(turn_on_start_at_logon(orbel));
  EXPECT_EQ(stored_run_value(), quoted(exe));
}

// Where the older version was installed: the upgrade follows it there.
struct UpgradeCase {
  const char* name;
  bool chosen_folder;  // INSTALLDIR given at the first install
};

std::ostream& operator<<(std::ostream& out, const UpgradeCase& c) { return out << c.name; }

class InstallerUpgrade : public Installer, public ::testing::WithParamInterface<UpgradeCase> {
 protected:
  static std::wstring chosen_folder() { return known_folder(FOLDERID_Profile) + L"\\Orbel Tools\\"; }

  void TearDown() override {
    Installer::TearDown();
    RemoveDirectoryW(chosen_folder().c_str());
  }
};

TEST_P(InstallerUpgrade, ClosesTheRunningOrbelKeepsItsStateAndStartsTheNewOne) {
  const UpgradeCase& c = GetParam();
  const std::wstring dir = c.chosen_folder ? chosen_folder() : default_install_dir();
  const std::wstring exe = dir + L"Orbel.exe";
  ASSERT_EQ(install(RELEASE_MSI, c.chosen_folder ? install_dir_property(dir) : L""), 0u);
  ASSERT_TRUE(file_exists(exe));

  const Session session{1, unix_now() + 2 * HOUR, 2};
  store_session(session);
  OrbelProcess old_orbel(exe);
  ASSERT_TRUE(old_orbel.start());
  ASSERT_TRUE(turn_on_start_at_logon(old_orbel));
  ASSERT_EQ(users_lid(), HELD_LID) << "the session does not hold the lid: is the stand-in powrprof.dll loaded?";

  ASSERT_EQ(install(UPGRADE_MSI), 0u);

  EXPECT_EQ(exit_code(old_orbel), QUIT_EXIT_CODE) << "the old Orbel was not closed by its own quit";
  EXPECT_TRUE(file_bytes(exe) == upgrade_exe_bytes()) << utf8(exe) << " is not the newer version's";
  EXPECT_FALSE(installed(release_code_)) << "the older version is still registered";
  EXPECT_TRUE(installed(upgrade_code_));
  EXPECT_EQ(utf8(uninstall_entry_value(upgrade_code_, L"DisplayVersion")), ORBEL_UPGRADE_VERSION);

  // The new Orbel resumed the session: the lid is held again, and the backup
  // still holds the user's setting.
  EXPECT_EQ(utf8(running_orbel_image()), utf8(exe)) << "no Orbel was started from the new files";
  // Wine runs msiexec elevated, so the installer must not start Orbel itself
  // but have the desktop's shell start it.
  EXPECT_EQ(utf8(parent_program(running_orbel_pid())), "explorer.exe")
      << "the elevated installer did not start Orbel through the desktop shell";
  expect_session(session);
  EXPECT_EQ(stored_run_value(), quoted(exe));
  EXPECT_TRUE(poll_until(EXIT_TIMEOUT_MS, [] { return users_lid() == HELD_LID; })) << users_lid();
  EXPECT_EQ(stored(L"LidAC"), qword(USERS_AC));
  EXPECT_EQ(stored(L"LidDC"), qword(USERS_DC));
}

std::string upgrade_case_name(const ::testing::TestParamInfo<UpgradeCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(Cases, InstallerUpgrade,
                         ::testing::Values(UpgradeCase{"InTheDefaultFolder", false},
                                           UpgradeCase{"InAFolderChosenAtTheFirstInstall", true}),
                         upgrade_case_name);

// What Orbel was doing when the user removes it.
struct UninstallCase {
  const char* name;
  bool running;              // started from the installed files, a session on, start at logon on
  bool crashed;              // and then ended as a crash ends it
  bool other_copy_at_logon;  // the Run value starts a copy of Orbel from elsewhere
  bool other_copy_off;       // that copy is there, and its session was switched off
};

std::ostream& operator<<(std::ostream& out, const UninstallCase& c) { return out << c.name; }

class InstallerUninstall : public Installer, public ::testing::WithParamInterface<UninstallCase> {};

TEST_P(InstallerUninstall, LeavesNothingOfOrbel) {
  const UninstallCase& c = GetParam();
  const std::wstring elsewhere = L"\"" + known_folder(FOLDERID_Profile) + L"\\Desktop\\Orbel.exe\"";
  if (c.other_copy_at_logon) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE, REG_SZ, elsewhere.c_str(),
                              static_cast<DWORD>((elsewhere.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  // The other copy's own file and the session it left switched off, there
  // before the install.
  const std::wstring other_exe = elsewhere.substr(1, elsewhere.size() - 2);
  if (c.other_copy_off) {
    ASSERT_TRUE(CopyFileW(windows_path(ORBEL_RELEASE_EXE).c_str(), other_exe.c_str(), FALSE)) << GetLastError();
    store_session({0, 0, 0});
  }
  const PrefixSnapshot before = take_snapshot();
  ASSERT_EQ(install(RELEASE_MSI), 0u);

  OrbelProcess orbel(default_install_dir() + L"Orbel.exe");
  if (c.running) {
    store_session({1, 0, 0});
    ASSERT_TRUE(orbel.start());
    ASSERT_TRUE(turn_on_start_at_logon(orbel));
    ASSERT_EQ(users_lid(), HELD_LID) << "the session does not hold the lid: is the stand-in powrprof.dll loaded?";
    if (c.crashed) {
      ASSERT_TRUE(orbel.kill());
    }
  }

  ASSERT_EQ(uninstall(RELEASE_MSI), 0u);

  if (c.running && !c.crashed) {
    EXPECT_EQ(exit_code(orbel), QUIT_EXIT_CODE) << "Orbel was not closed by its own quit";
  }
  EXPECT_TRUE(orbel_windows().empty()) << "an Orbel is running after the uninstall";
  EXPECT_FALSE(installed(release_code_));
  EXPECT_EQ(users_lid(), USERS_LID) << "the user's lid-close setting is not back";
  if (c.other_copy_at_logon) {
    EXPECT_EQ(stored_run_value(), "REG_SZ " + utf8(elsewhere));
  }
  if (c.other_copy_off) {
    // What the next logon does: the other copy starts, and the session the
    // user left off stays off.
    expect_session({0, 0, 0});
    OrbelProcess other(other_exe);
    EXPECT_TRUE(other.start());
    EXPECT_EQ(users_lid(), USERS_LID) << "the other copy's start took up a session the user had switched off";
    expect_session({0, 0, 0});
    EXPECT_TRUE(other.post_close());
    EXPECT_EQ(exit_code(other), QUIT_EXIT_CODE);
  }

  const std::vector<std::string> left = changes(before, take_snapshot());
  std::string listed;
  for (const std::string& line : left) listed += "\n  " + line;
  EXPECT_TRUE(left.empty()) << "the uninstall left the prefix changed:" << listed;
  if (c.other_copy_off) DeleteFileW(other_exe.c_str());
}

std::string uninstall_case_name(const ::testing::TestParamInfo<UninstallCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(Cases, InstallerUninstall,
                         ::testing::Values(UninstallCase{"NeverStarted", false, false, false, false},
                                           UninstallCase{"RunningInASession", true, false, false, false},
                                           UninstallCase{"AfterACrashInASession", true, true, false, false},
                                           UninstallCase{"WhileAnotherCopyStartsAtLogon", false, false, true, false},
                                           UninstallCase{"KeepsTheSessionOfAnotherCopyThatStartsAtLogon", false,
                                                         false, true, true}),
                         uninstall_case_name);

// A lid-close backup that Orbel cannot give back (no power plan can be read)
// is the only copy of the user's setting: the uninstall keeps it, with the
// session switched off so that no later start of Orbel overrides the lid.
TEST_F(Installer, KeepsALidBackupItCannotGiveBack) {
  forget_power_plans();
  store_session({1, 0, 0});
  const std::uint64_t ac = 1;
  const std::uint64_t dc = 2;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, L"LidAC", REG_QWORD, &ac, sizeof ac), ERROR_SUCCESS);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, L"LidDC", REG_QWORD, &dc, sizeof dc), ERROR_SUCCESS);
  const PrefixSnapshot before = take_snapshot();
  ASSERT_EQ(install(RELEASE_MSI), 0u);

  ASSERT_EQ(uninstall(RELEASE_MSI), 0u);

  EXPECT_EQ(stored(L"LidAC"), qword(ac));
  EXPECT_EQ(stored(L"LidDC"), qword(dc));
  expect_session({0, 0, 0});
  const std::vector<std::string> left = changes(before, take_snapshot());
  const std::vector<std::string> session_off = {"+ HKCU\\Software\\Orbel = On: 11 0000000000000000",
                                                "- HKCU\\Software\\Orbel = On: 11 0100000000000000"};
  EXPECT_EQ(left, session_off);
}

// Half of a backup, as Orbel leaves it when it is ended between two writes
// of a backup it was writing or taking down, holds nothing of the user's:
// the uninstall neither starts Orbel for it nor keeps Orbel's key.
TEST_F(Installer, AStrayHalfOfABackupIsNoBackup) {
  const PrefixSnapshot before = take_snapshot();
  ASSERT_EQ(install(RELEASE_MSI), 0u);
  store_session({1, 0, 0});
  const std::uint64_t dc = USERS_DC;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, ORBEL_KEY, L"LidDC", REG_QWORD, &dc, sizeof dc), ERROR_SUCCESS);
  const DWORD plans_asked = guids_handed_out();

  ASSERT_EQ(uninstall(RELEASE_MSI), 0u);

  EXPECT_EQ(guids_handed_out(), plans_asked) << "the uninstall started Orbel for it";
  EXPECT_EQ(users_lid(), USERS_LID);
  const std::vector<std::string> left = changes(before, take_snapshot());
  std::string listed;
  for (const std::string& line : left) listed += "\n  " + line;
  EXPECT_TRUE(left.empty()) << "the uninstall left the prefix changed:" << listed;
}

// The exit code the installer gives an Orbel it has to end
// (packaging/setup/orbel_process.cpp), unlike Orbel's own QUIT_EXIT_CODE.
constexpr DWORD ENDED_BY_INSTALLER_EXIT_CODE = 1;
// How long a look at whether a window still takes messages may take.
constexpr DWORD ANSWER_WAIT_MS = 1000;

// Suspends every thread of process `pid`: its window then takes no message,
// as when Orbel's UI thread is stuck in a call that does not return. Returns
// how many threads it suspended.
int suspend_threads(DWORD pid) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  int suspended = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != pid) continue;
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    if (SuspendThread(thread) != static_cast<DWORD>(-1)) ++suspended;
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return suspended;
}

// A process of an Orbel.exe that never runs a line (created suspended): it
// shows no window, so only an installer that ends processes by their image
// name would end it. Ended here, by its handle, when the test is done.
class NeverRunningOrbel {
 public:
  explicit NeverRunningOrbel(const std::wstring& exe) {
    std::wstring command_line = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    if (CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                       &startup, &info_)) {
      started_ = true;
    }
  }
  NeverRunningOrbel(const NeverRunningOrbel&) = delete;
  NeverRunningOrbel& operator=(const NeverRunningOrbel&) = delete;
  ~NeverRunningOrbel() {
    if (!started_) return;
    TerminateProcess(info_.hProcess, 0);
    WaitForSingleObject(info_.hProcess, EXIT_TIMEOUT_MS);
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }

  bool running() const { return started_ && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT; }

 private:
  PROCESS_INFORMATION info_{};
  bool started_ = false;
};

// An Orbel that does not quit when the uninstall asks it to: the installer
// waits for it (CLOSE_TIMEOUT_MS), ends that process, found through its
// window, and then gives back the lid-close setting the ended Orbel still
// held, as after a crash.
TEST_F(Installer, EndsAnOrbelThatDoesNotQuitAndGivesTheLidBack) {
  const PrefixSnapshot before = take_snapshot();
  ASSERT_EQ(install(RELEASE_MSI), 0u);

  store_session({1, 0, 0});
  OrbelProcess hung(default_install_dir() + L"Orbel.exe");
  ASSERT_TRUE(hung.start());
  ASSERT_EQ(users_lid(), HELD_LID) << "the session does not hold the lid: is the stand-in powrprof.dll loaded?";
  ASSERT_GT(suspend_threads(hung.pid()), 0) << "no thread of Orbel (PID " << hung.pid() << ") could be suspended";
  ASSERT_FALSE(hung.answers(ANSWER_WAIT_MS)) << "Orbel still takes messages";
  const NeverRunningOrbel bystander(orbel_exe());
  ASSERT_TRUE(bystander.running()) << "cannot start " << utf8(orbel_exe()) << " suspended: " << GetLastError();

  ASSERT_EQ(uninstall(RELEASE_MSI), 0u);

  EXPECT_EQ(exit_code(hung), ENDED_BY_INSTALLER_EXIT_CODE)
      << "Orbel (PID " << hung.pid() << ") was not ended by the installer";
  EXPECT_TRUE(bystander.running()) << "an Orbel.exe without a window was ended too";
  EXPECT_TRUE(orbel_windows().empty()) << "an Orbel is running after the uninstall";
  EXPECT_FALSE(installed(release_code_));
  EXPECT_EQ(users_lid(), USERS_LID) << "the user's lid-close setting is not back";

  const std::vector<std::string> left = changes(before, take_snapshot());
  std::string listed;
  for (const std::string& line : left) listed += "\n  " + line;
  EXPECT_TRUE(left.empty()) << "the uninstall left the prefix changed:" << listed;
}

// What remembers the folder chosen at the first install: the uninstall, and
// an upgrade and the uninstall after it, follow it there even when Orbel's own
// settings are gone, and from version 1.5.0, which kept the folder among them.
struct FolderMemoryCase {
  const char* name;
  bool from_version_150;  // the first install is version 1.5.0's package
  bool settings_deleted;  // the user deletes HKCU\Software\Orbel after it
  bool upgraded;          // the newer version is installed before the uninstall
};

std::ostream& operator<<(std::ostream& out, const FolderMemoryCase& c) { return out << c.name; }

class InstallerFolderMemory : public Installer, public ::testing::WithParamInterface<FolderMemoryCase> {
 protected:
  static std::wstring chosen_folder() { return profile() + L"\\Orbel Tools\\"; }

  void TearDown() override {
    Installer::TearDown();
    RemoveDirectoryW(chosen_folder().c_str());
  }
};

TEST_P(InstallerFolderMemory, UninstallAndUpgradeFollowTheChosenFolder) {
  const FolderMemoryCase& c = GetParam();
  const std::wstring exe = chosen_folder() + L"Orbel.exe";
  const PrefixSnapshot before = take_snapshot();
  ASSERT_EQ(install(c.from_version_150 ? VERSION_150_MSI : RELEASE_MSI, install_dir_property(chosen_folder())), 0u);
  ASSERT_TRUE(file_exists(exe));
  // Start at logon as Orbel writes it.
  ASSERT_NO_FATAL_FAILURE(set_run_value(REG_SZ, L"\"" + exe + L"\""));
  if (c.settings_deleted) {
    // What Orbel would have stored by then.
    store_session({0, 0, 0});
    ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, ORBEL_KEY), ERROR_SUCCESS);
  }

  if (c.upgraded) {
    ASSERT_EQ(install(UPGRADE_MSI), 0u);
    EXPECT_TRUE(file_bytes(exe) == upgrade_exe_bytes()) << utf8(exe) << " is not the newer version's";
    EXPECT_FALSE(file_exists(default_install_dir() + L"Orbel.exe")) << "the upgrade went to the default folder";
    EXPECT_TRUE(installed(upgrade_code_));
  }

  ASSERT_EQ(uninstall(c.upgraded ? UPGRADE_MSI : c.from_version_150 ? VERSION_150_MSI : RELEASE_MSI), 0u);

  EXPECT_FALSE(file_exists(exe));
  EXPECT_FALSE(value_exists(RUN_KEY, RUN_VALUE)) << stored_run_value();
  const std::vector<std::string> left = changes(before, take_snapshot());
  std::string listed;
  for (const std::string& line : left) listed += "\n  " + line;
  EXPECT_TRUE(left.empty()) << "the uninstall left the prefix changed:" << listed;
}

std::string folder_memory_case_name(const ::testing::TestParamInfo<FolderMemoryCase>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, InstallerFolderMemory,
                         ::testing::Values(FolderMemoryCase{"SettingsDeletedThenUninstalled", false, true, false},
                                           FolderMemoryCase{"SettingsDeletedThenUpgraded", false, true, true},
                                           FolderMemoryCase{"UpgradedFromVersion150", true, false, true},
                                           FolderMemoryCase{"SettingsDeletedThenUpgradedFromVersion150", true, true,
                                                            true}),
                         folder_memory_case_name);

// The Run value as someone other than Orbel may have written it: the
// uninstall removes it whenever its program is the installed Orbel.exe,
// however spelled, and keeps one that starts another program.
struct RunValueCase {
  const char* name;
  const wchar_t* install_dir;  // under the profile; null for the default folder
  DWORD type;
  std::wstring (*value)(const std::wstring& exe);  // exe: the installed Orbel.exe, as Windows names it
  bool removed;
};

std::ostream& operator<<(std::ostream& out, const RunValueCase& c) { return out << c.name; }

class InstallerRunValue : public Installer, public ::testing::WithParamInterface<RunValueCase> {
 protected:
  void TearDown() override {
    Installer::TearDown();
    for (const wchar_t* folder : {L"\\Tools2\\Orbel", L"\\Tools2", L"\\Tools"})
      RemoveDirectoryW((profile() + folder).c_str());
  }
};

TEST_P(InstallerRunValue, UninstallRemovesItWhenItStartsTheInstalledOrbel) {
  const RunValueCase& c = GetParam();
  const std::wstring dir = c.install_dir ? profile() + c.install_dir : default_install_dir();
  const PrefixSnapshot before = take_snapshot();
  ASSERT_EQ(install(RELEASE_MSI, c.install_dir ? install_dir_property(dir) : L""), 0u);
  // The program as Windows names it, with any ".." resolved.
  wchar_t full[MAX_PATH] = {};
  ASSERT_NE(GetFullPathNameW((dir + L"Orbel.exe").c_str(), MAX_PATH, full, nullptr), 0u);
  ASSERT_TRUE(file_exists(full));
  const std::wstring value = c.value(full);
  ASSERT_NO_FATAL_FAILURE(set_run_value(c.type, value));

  ASSERT_EQ(uninstall(RELEASE_MSI), 0u);

  EXPECT_EQ(value_exists(RUN_KEY, RUN_VALUE), !c.removed) << utf8(value);
  if (!c.removed) forget_run_value();
  // Wine's msiexec leaves the folder above one given with "..", which the
  // package never names; only the package's own leftovers count here.
  if (c.install_dir) RemoveDirectoryW((profile() + L"\\Tools2").c_str());
  const std::vector<std::string> left = changes(before, take_snapshot());
  std::string listed;
  for (const std::string& line : left) listed += "\n  " + line;
  EXPECT_TRUE(left.empty()) << "the uninstall left the prefix changed:" << listed;
}

std::wstring quoted_exe(const std::wstring& exe) { return L"\"" + exe + L"\""; }
std::wstring with_argument(const std::wstring& exe) { return L"\"" + exe + L"\" /minimized"; }
std::wstring forward_slashes(const std::wstring& exe) {
  std::wstring text = exe;
  for (wchar_t& ch : text)
    if (ch == L'\\') ch = L'/';
  return quoted_exe(text);
}
std::wstring trailing_blank(const std::wstring& exe) { return exe + L" "; }
std::wstring upper_case(const std::wstring& exe) {
  std::wstring text = exe;
  CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
  return quoted_exe(text);
}
std::wstring through_variable(const std::wstring&) { return L"\"%LOCALAPPDATA%\\Programs\\Orbel\\Orbel.exe\""; }
std::wstring longer_name(const std::wstring& exe) { return exe + L".old /minimized"; }

std::string run_value_case_name(const ::testing::TestParamInfo<RunValueCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallerRunValue,
    ::testing::Values(RunValueCase{"Quoted", nullptr, REG_SZ, quoted_exe, true},
                      RunValueCase{"QuotedWithAnArgument", nullptr, REG_SZ, with_argument, true},
                      RunValueCase{"ForwardSlashes", nullptr, REG_SZ, forward_slashes, true},
                      RunValueCase{"UnquotedWithATrailingBlank", nullptr, REG_SZ, trailing_blank, true},
                      RunValueCase{"OtherLetterCase", nullptr, REG_SZ, upper_case, true},
                      RunValueCase{"ThroughAnEnvironmentVariable", nullptr, REG_EXPAND_SZ, through_variable, true},
                      RunValueCase{"InstallDirWithDotDot", L"\\Tools\\..\\Tools2\\Orbel\\", REG_SZ, quoted_exe, true},
                      RunValueCase{"AnotherProgramNamedLikeIt", nullptr, REG_SZ, longer_name, false}),
    run_value_case_name);

// A folder in which Orbel.exe's path would not fit Windows' limit (259
// characters and the terminating 0) is refused before anything changes, even
// a running Orbel; the longest one that fits installs.
struct LongFolderCase {
  const char* name;
  int exe_path_length;
  bool installs;
};

std::ostream& operator<<(std::ostream& out, const LongFolderCase& c) { return out << c.name; }

class InstallerLongFolder : public Installer, public ::testing::WithParamInterface<LongFolderCase> {
 protected:
  // A folder under the profile, in parts of at most 100 characters, such
  // that its Orbel.exe has `length` characters.
  static std::wstring folder_for(int length) {
    std::wstring dir = profile();
    const int wanted = length - static_cast<int>(std::wstring(L"\\Orbel.exe").size());
    while (static_cast<int>(dir.size()) < wanted) {
      const int part = std::min(100, wanted - static_cast<int>(dir.size()) - 1);
      dir += L"\\" + std::wstring(static_cast<std::size_t>(std::max(part, 1)), L'L');
    }
    return dir + L"\\";
  }

  void TearDown() override {
    Installer::TearDown();
    std::wstring dir = folder_for(GetParam().exe_path_length);
    while (dir.size() > profile().size() + 1) {
      dir.pop_back();
      RemoveDirectoryW(dir.c_str());
      dir.erase(dir.find_last_of(L'\\') + 1);
    }
  }
};

TEST_P(InstallerLongFolder, IsRefusedWhenOrbelCouldNotStartFromIt) {
  const LongFolderCase& c = GetParam();
  const std::wstring dir = folder_for(c.exe_path_length);
  const std::wstring exe = dir + L"Orbel.exe";
  ASSERT_EQ(static_cast<int>(exe.size()), c.exe_path_length) << utf8(exe);
  OrbelProcess running(windows_path(ORBEL_RELEASE_EXE));
  ASSERT_TRUE(running.start());
  const PrefixSnapshot before = take_snapshot();

  const DWORD code = install(RELEASE_MSI, install_dir_property(dir));

  if (c.installs) {
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(file_exists(exe));
    EXPECT_TRUE(installed(release_code_));
    return;
  }
  EXPECT_EQ(code, INSTALL_FAILED);
  EXPECT_FALSE(installed(release_code_));
  EXPECT_TRUE(running.running()) << "the refused install closed the running Orbel";
  const std::vector<std::string> left = changes(before, take_snapshot());
  std::string listed;
  for (const std::string& line : left) listed += "\n  " + line;
  EXPECT_TRUE(left.empty()) << "the refused install changed the prefix:" << listed;
}

std::string long_folder_case_name(const ::testing::TestParamInfo<LongFolderCase>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, InstallerLongFolder,
                         ::testing::Values(LongFolderCase{"LongestThatFits", MAX_PATH - 1, true},
                                           LongFolderCase{"OneCharacterTooLong", MAX_PATH, false}),
                         long_folder_case_name);

// "msiexec /x" of the package while it is not installed (Windows answers
// 1605 and runs nothing; Wine 8 runs the uninstall's sequence): the package
// itself must leave a running Orbel, its session and its Run value alone.
TEST_F(Installer, UninstallOfAPackageThatIsNotInstalledTouchesNothing) {
  const std::wstring copy = windows_path(ORBEL_RELEASE_EXE);
  ASSERT_NO_FATAL_FAILURE(set_run_value(REG_SZ, L"\"" + copy + L"\""));
  store_session({1, 0, 0});
  OrbelProcess orbel(copy);
  ASSERT_TRUE(orbel.start());
  ASSERT_EQ(users_lid(), HELD_LID);
  const PrefixSnapshot before = take_snapshot();

  uninstall(RELEASE_MSI);

  EXPECT_TRUE(orbel.running()) << "the uninstall closed Orbel";
  EXPECT_EQ(stored_run_value(), quoted(copy));
  expect_session({1, 0, 0});
  const std::vector<std::string> left = changes(before, take_snapshot());
  std::string listed;
  for (const std::string& line : left) listed += "\n  " + line;
  EXPECT_TRUE(left.empty()) << "the uninstall changed the prefix:" << listed;
}

// An upgrade whose installer is killed while it removes the older version.
// Windows Installer sets UPGRADINGPRODUCTCODE in that removal itself; Wine
// sets none and runs the removal as an msiexec of its own, which goes on
// after the newer one is killed. What this shows is the package's own guard
// (setup_actions.cpp): once the removal's first action has run, which is
// before the older Orbel.exe goes, the removal keeps the user's session and
// start at logon, though it was killed halfway. Orbel is then not installed
// until the installer runs again.
TEST_F(Installer, KilledUpgradeKeepsTheSessionAndStartAtLogon) {
  const std::wstring exe = default_install_dir() + L"Orbel.exe";
  ASSERT_EQ(install(RELEASE_MSI), 0u);
  const Session session{1, 0, 0};
  store_session(session);
  {
    OrbelProcess orbel(exe);
    ASSERT_TRUE(orbel.start());
    ASSERT_TRUE(turn_on_start_at_logon(orbel));
  }

  HANDLE upgrade = start_msiexec(L"/i \"" + UPGRADE_MSI + L"\"");
  ASSERT_NE(upgrade, nullptr);
  const bool removing = poll_until(MSIEXEC_TIMEOUT_MS, [&] { return !file_exists(exe); });
  TerminateProcess(upgrade, KILLED_EXIT_CODE);
  WaitForSingleObject(upgrade, MSIEXEC_TIMEOUT_MS);
  CloseHandle(upgrade);
  ASSERT_TRUE(removing) << "the older version's Orbel.exe never went";
  EXPECT_TRUE(poll_until(MSIEXEC_TIMEOUT_MS, [] { return processes_named(L"msiexec.exe") == 0; }))
      << "the removal of the older version did not end";

  EXPECT_FALSE(installed(release_code_) || installed(upgrade_code_));
  EXPECT_EQ(stored_run_value(), quoted(exe)) << "the killed upgrade took start at logon";
  expect_session(session);
}

}  // namespace
