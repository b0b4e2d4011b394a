// Orbel's per-user MSI under Wine 8's msiexec, run silently as a user would
// run it from a script: install, upgrade over a running Orbel, uninstall.
// Judged by the files, the Start menu, the uninstall entry, what Orbel
// stores, the processes, and after each uninstall by a snapshot of the whole
// prefix (registry and drive C:) taken before the install.
//
// Where Wine 8 differs from Windows, the check says so: it writes the
// uninstall entry of a per-user package under HKLM (installer.h), writes no
// DisplayIcon (the icon is checked where Apps & features reads an MSI's,
// its ProductIcon), removes an older version without setting
// UPGRADINGPRODUCTCODE (packaging/setup/setup_actions.cpp copes with that),
// and removes every empty folder an install made, so the snapshot cannot show
// whether the package's RemoveFolder entries do that on Windows.
#include <gtest/gtest.h>

#include <windows.h>
#include <msi.h>

#include <cstdint>
#include <string>
#include <vector>

#include "installer.h"
#include "orbel_driver.h"
#include "prefix_snapshot.h"

namespace {

using namespace orbel_wine;
using namespace orbel_installer;

constexpr std::uint64_t HOUR = 3600;
constexpr DWORD PROCESS_ACCESS = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE;
// Orbel's exit code after its own quit; a process that is ended instead
// (TerminateProcess) has the code its ender gives.
constexpr DWORD QUIT_EXIT_CODE = 0;
constexpr UINT CRASH_EXIT_CODE = 0xC0000005;

const std::wstring RELEASE_MSI = windows_path(ORBEL_RELEASE_MSI);
const std::wstring UPGRADE_MSI = windows_path(ORBEL_UPGRADE_MSI);

std::string release_exe_bytes() { return file_bytes(windows_path(ORBEL_RELEASE_EXE)); }
std::string upgrade_exe_bytes() { return file_bytes(windows_path(ORBEL_UPGRADE_EXE)); }

std::string quoted(const std::wstring& path) { return "REG_SZ \"" + utf8(path) + "\""; }

// One Orbel process the test started or found: never outlives the test.
class RunningOrbel {
 public:
  RunningOrbel() = default;
  RunningOrbel(const RunningOrbel&) = delete;
  RunningOrbel& operator=(const RunningOrbel&) = delete;
  ~RunningOrbel() { end(); }

  // Starts `exe` and waits for its window; false (with a test failure) if it
  // does not come up.
  bool start(const std::wstring& exe) {
    std::wstring command_line = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // see installer.cpp
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
      ADD_FAILURE() << "CreateProcessW(" << utf8(exe) << "): " << GetLastError();
      return false;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    return wait_for_window();
  }

  // Takes the one Orbel running in the session, whoever started it.
  bool find() {
    const bool one = poll_until(START_TIMEOUT_MS, [] { return orbel_windows().size() == 1; });
    if (!one) {
      ADD_FAILURE() << orbel_windows().size() << " Orbel windows, one expected";
      return false;
    }
    GetWindowThreadProcessId(orbel_windows().front(), &pid_);
    process_ = OpenProcess(PROCESS_ACCESS, FALSE, pid_);
    if (process_ == nullptr) ADD_FAILURE() << "OpenProcess(" << pid_ << "): " << GetLastError();
    return process_ != nullptr && wait_for_window();
  }

  bool post(UINT message, WPARAM wparam) const { return PostMessageW(window_, message, wparam, 0) != 0; }

  // The exit code, or a failure when it is still running at the timeout.
  DWORD exit_code(DWORD timeout_ms) const {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) {
      ADD_FAILURE() << "Orbel (PID " << pid_ << ") is still running";
      return code;
    }
    GetExitCodeProcess(process_, &code);
    return code;
  }

  // Ends it the way a crash does: none of Orbel's code runs.
  void crash() const {
    TerminateProcess(process_, CRASH_EXIT_CODE);
    WaitForSingleObject(process_, EXIT_TIMEOUT_MS);
  }

  std::wstring image() const { return process_image(process_); }

 private:
  bool wait_for_window() {
    poll_until(START_TIMEOUT_MS, [this] {
      for (HWND w : orbel_windows()) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (owner == pid_) window_ = w;
      }
      return window_ != nullptr || WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
    });
    if (window_ == nullptr) ADD_FAILURE() << "Orbel (PID " << pid_ << ") showed no window";
    return window_ != nullptr;
  }

  void end() {
    if (process_ == nullptr) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
      PostMessageW(window_, WM_CLOSE, 0, 0);
      if (WaitForSingleObject(process_, EXIT_TIMEOUT_MS) == WAIT_TIMEOUT) TerminateProcess(process_, 1);
      WaitForSingleObject(process_, EXIT_TIMEOUT_MS);
    }
    CloseHandle(process_);
    process_ = nullptr;
  }

  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  HWND window_ = nullptr;
};

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
    forget_everything();
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
  }

  std::wstring release_code_;
  std::wstring upgrade_code_;
};

TEST_F(Installer, PutsOrbelItsShortcutAndItsUninstallEntryInPlace) {
  ASSERT_EQ(install(RELEASE_MSI), 0u);

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
  RunningOrbel orbel;
  ASSERT_TRUE(orbel.start(shortcut.target));
  EXPECT_EQ(utf8(orbel.image()), utf8(exe));
  ASSERT_TRUE(orbel.post(WM_COMMAND, COMMAND_AUTOSTART));
  EXPECT_TRUE(poll_until(EXIT_TIMEOUT_MS, [] { return value_exists(RUN_KEY, RUN_VALUE); }));
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
  // INSTALLDIR without its closing backslash: msiexec would read \" as a quote.
  const std::wstring chosen = L"INSTALLDIR=\"" + dir.substr(0, dir.size() - 1) + L"\"";
  ASSERT_EQ(install(RELEASE_MSI, c.chosen_folder ? chosen : L""), 0u);
  ASSERT_TRUE(file_exists(exe));

  const Session session{1, unix_now() + 2 * HOUR, 2};
  store_session(session);
  RunningOrbel old_orbel;
  ASSERT_TRUE(old_orbel.start(exe));
  ASSERT_TRUE(old_orbel.post(WM_COMMAND, COMMAND_AUTOSTART));
  ASSERT_TRUE(poll_until(EXIT_TIMEOUT_MS, [] { return value_exists(RUN_KEY, RUN_VALUE); }));

  ASSERT_EQ(install(UPGRADE_MSI), 0u);

  EXPECT_EQ(old_orbel.exit_code(EXIT_TIMEOUT_MS), QUIT_EXIT_CODE) << "the old Orbel was not closed by its own quit";
  EXPECT_TRUE(file_bytes(exe) == upgrade_exe_bytes()) << utf8(exe) << " is not the newer version's";
  EXPECT_FALSE(installed(release_code_)) << "the older version is still registered";
  EXPECT_TRUE(installed(upgrade_code_));
  EXPECT_EQ(utf8(uninstall_entry_value(upgrade_code_, L"DisplayVersion")), ORBEL_UPGRADE_VERSION);

  RunningOrbel new_orbel;
  ASSERT_TRUE(new_orbel.find()) << "no Orbel was started from the new files";
  EXPECT_EQ(utf8(new_orbel.image()), utf8(exe));
  expect_session(session);
  EXPECT_EQ(stored_run_value(), quoted(exe));
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
  const PrefixSnapshot before = take_snapshot();
  ASSERT_EQ(install(RELEASE_MSI), 0u);

  RunningOrbel orbel;
  if (c.running) {
    store_session({1, 0, 0});
    ASSERT_TRUE(orbel.start(default_install_dir() + L"Orbel.exe"));
    ASSERT_TRUE(orbel.post(WM_COMMAND, COMMAND_AUTOSTART));
    ASSERT_TRUE(poll_until(EXIT_TIMEOUT_MS, [] { return value_exists(RUN_KEY, RUN_VALUE); }));
    if (c.crashed) orbel.crash();
  }

  ASSERT_EQ(uninstall(RELEASE_MSI), 0u);

  if (c.running && !c.crashed) {
    EXPECT_EQ(orbel.exit_code(EXIT_TIMEOUT_MS), QUIT_EXIT_CODE) << "Orbel was not closed by its own quit";
  }
  EXPECT_TRUE(orbel_windows().empty()) << "an Orbel is running after the uninstall";
  EXPECT_FALSE(installed(release_code_));
  if (c.other_copy_at_logon) {
    EXPECT_EQ(stored_run_value(), "REG_SZ " + utf8(elsewhere));
  }

  const std::vector<std::string> left = changes(before, take_snapshot());
  std::string listed;
  for (const std::string& line : left) listed += "\n  " + line;
  EXPECT_TRUE(left.empty()) << "the uninstall left the prefix changed:" << listed;
}

std::string uninstall_case_name(const ::testing::TestParamInfo<UninstallCase>& param) { return param.param.name; }

INSTANTIATE_TEST_SUITE_P(Cases, InstallerUninstall,
                         ::testing::Values(UninstallCase{"NeverStarted", false, false, false},
                                           UninstallCase{"RunningInASession", true, false, false},
                                           UninstallCase{"AfterACrashInASession", true, true, false},
                                           UninstallCase{"WhileAnotherCopyStartsAtLogon", false, false, true}),
                         uninstall_case_name);

// A lid-close backup that Orbel cannot give back (no power plan can be read)
// is the only copy of the user's setting: the uninstall keeps it, with the
// session switched off so that no later start of Orbel overrides the lid.
TEST_F(Installer, KeepsALidBackupItCannotGiveBack) {
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

}  // namespace
