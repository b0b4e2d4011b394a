// The installer's custom actions: a DLL in the package's Binary table, so it
// is there before the files are and after they are gone. Every action but
// CheckInstallDir returns success: a step that cannot be done is skipped
// silently, and none of them deletes what it cannot be sure is safe to delete.
//
// At install, upgrade and repair:
//   FollowOlderVersion   when the installer's own memory of its folder is gone
//                        (or was kept by 1.5.0 among Orbel's settings, which
//                        a user may have deleted): installs where Windows
//                        Installer says the older version is;
//   CheckInstallDir      before anything changes: refuses a folder in which
//                        Orbel.exe's path would be longer than Windows lets a
//                        program start from, with a message that says so;
//   CloseOrbelForUpdate  before any file changes: quits a running Orbel and
//                        notes that it ran;
//   StartOrbel           once the new files are in place: starts the Orbel
//                        that CloseOrbelForUpdate closed, never elevated
//                        (shell_start.h).
// At uninstall of an installed product, but not when an upgrade removes the
// older version:
//   ReleaseOrbel         while the files are still there: quits a running
//                        Orbel, and gives back a lid-close setting that a
//                        crash left overridden, through one start and quit;
//   ForgetOrbel          once the files are gone: the Run value of this
//                        install, and Orbel's settings unless a Run value
//                        that starts another copy is left.
//
// Plain Win32 and fixed buffers: std::wstring alone would bring 120 KB of
// library code into a DLL whose own code is a few hundred bytes.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "names.h"
#include "orbel_process.h"
#include "shell_start.h"
#include "stored_state.h"

namespace orbel_setup {
namespace {

constexpr const wchar_t* INSTALL_DIR_PROPERTY = L"INSTALLDIR";
// Set by MajorUpgrade's FindRelatedProducts when an older version is
// installed, and by Windows Installer in that version's removal.
constexpr const wchar_t* OLDER_VERSION_PROPERTY = L"WIX_UPGRADE_DETECTED";
constexpr WCHAR PRODUCT_CODE_SEPARATOR = L';';
constexpr const wchar_t* UPGRADING_PROPERTY = L"UPGRADINGPRODUCTCODE";
// Exists while a newer package's installer removes the older version: Wine
// runs that removal as an installer process of its own, without
// UPGRADINGPRODUCTCODE, and the older version's uninstall actions must not
// take the user's settings with them. An event rather than a stored mark: it
// ends with the last process that holds it, however that ends, so it can
// never be left behind to stop a real uninstall. The newer installer's
// custom-action process makes it; the removal's first action that sees it
// (ReleaseOrbel) holds it too, so that it outlives a newer installer that is
// killed while the removal runs. It does not when the newer installer is
// killed after starting the removal but before that first action; the
// removal then runs as an uninstall. On Windows, Windows Installer itself
// sets UPGRADINGPRODUCTCODE in the removal, and this event plays no part.
constexpr const wchar_t* UPGRADE_EVENT = L"Local\\no.dremmholt.orbel.setup.upgrade";
// Private (not all upper case), so that a command line cannot set it.
constexpr const wchar_t* WAS_RUNNING_PROPERTY = L"OrbelWasRunning";
constexpr const wchar_t* WAS_RUNNING_VALUE = L"1";
constexpr const wchar_t* EXE_NAME = L"Orbel.exe";
// Shown by Windows Installer (and written to its log) when the folder is
// refused; [1] is the folder.
constexpr const wchar_t* PATH_TOO_LONG_MESSAGE =
    L"Orbel cannot be installed in [1]: the path of Orbel.exe there would be longer than the 259 characters "
    L"Windows starts a program from. Choose a shorter folder.";
// Written to Windows Installer's log: which way StartOrbel went.
constexpr const wchar_t* STARTED_DIRECTLY_NOTE = L"Orbel: started Orbel.exe";
constexpr const wchar_t* STARTED_THROUGH_DESKTOP_NOTE = L"Orbel: started Orbel.exe through the desktop shell";
constexpr const wchar_t* NOT_STARTED_NOTE =
    L"Orbel: elevated, and the desktop shell cannot start Orbel.exe; it starts at the next logon";

WCHAR exe_path[MAX_TEXT_UNITS];
WCHAR full_exe_path[MAX_TEXT_UNITS];
WCHAR property_text[MAX_TEXT_UNITS];

bool property_set(MSIHANDLE install, const wchar_t* name) {
  DWORD length = MAX_TEXT_UNITS;
  return MsiGetPropertyW(install, name, property_text, &length) == ERROR_SUCCESS && length > 0;
}

// The upgrade event, once this removal has found it; never closed, so the
// event lasts as long as this removal's custom-action process.
HANDLE held_upgrade_event = nullptr;

// Whether this uninstall is the removal of an older version by a newer one.
bool removed_by_upgrade(MSIHANDLE install) {
  if (property_set(install, UPGRADING_PROPERTY)) return true;
  if (held_upgrade_event == nullptr) held_upgrade_event = OpenEventW(SYNCHRONIZE, FALSE, UPGRADE_EVENT);
  return held_upgrade_event != nullptr;
}

// This install's Orbel.exe, or null when INSTALLDIR cannot be read. Costing
// has resolved INSTALLDIR by now, so it ends in a backslash.
const wchar_t* installed_exe(MSIHANDLE install) {
  const DWORD name_units = static_cast<DWORD>(lstrlenW(EXE_NAME));
  DWORD length = MAX_TEXT_UNITS - name_units;
  if (MsiGetPropertyW(install, INSTALL_DIR_PROPERTY, exe_path, &length) != ERROR_SUCCESS || length == 0)
    return nullptr;
  lstrcpyW(exe_path + length, EXE_NAME);
  return exe_path;
}

// Whether Windows can start `exe`: its path, as given and made full (".."
// resolved), leaves room for the terminating 0 within MAX_PATH.
bool startable_path(const wchar_t* exe) {
  const DWORD full = GetFullPathNameW(exe, MAX_TEXT_UNITS, full_exe_path, nullptr);
  return lstrlenW(exe) < MAX_PATH && full > 0 && full < MAX_PATH;
}

// One message through Windows Installer: `text` with [1] as `field`.
void report(MSIHANDLE install, INSTALLMESSAGE kind, const wchar_t* text, const wchar_t* field) {
  MSIHANDLE record = MsiCreateRecord(1);
  if (record == 0) return;
  MsiRecordSetStringW(record, 0, text);
  MsiRecordSetStringW(record, 1, field);
  MsiProcessMessage(install, kind, record);
  MsiCloseHandle(record);
}

}  // namespace
}  // namespace orbel_setup

extern "C" __declspec(dllexport) UINT __stdcall FollowOlderVersion(MSIHANDLE install) {
  using namespace orbel_setup;
  DWORD length = MAX_TEXT_UNITS;
  if (MsiGetPropertyW(install, OLDER_VERSION_PROPERTY, property_text, &length) != ERROR_SUCCESS) return ERROR_SUCCESS;
  // A list of product codes; there is one older Orbel at most.
  for (WCHAR* c = property_text; *c != L'\0'; ++c) {
    if (*c == PRODUCT_CODE_SEPARATOR) {
      *c = L'\0';
      break;
    }
  }
  length = MAX_TEXT_UNITS;
  if (MsiGetProductInfoW(property_text, INSTALLPROPERTY_INSTALLLOCATION, exe_path, &length) == ERROR_SUCCESS &&
      length > 0)
    MsiSetPropertyW(install, INSTALL_DIR_PROPERTY, exe_path);
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall CheckInstallDir(MSIHANDLE install) {
  using namespace orbel_setup;
  const wchar_t* exe = installed_exe(install);
  if (exe != nullptr && startable_path(exe)) return ERROR_SUCCESS;
  DWORD length = MAX_TEXT_UNITS;
  if (MsiGetPropertyW(install, INSTALL_DIR_PROPERTY, property_text, &length) != ERROR_SUCCESS) property_text[0] = 0;
  report(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR), PATH_TOO_LONG_MESSAGE,
         property_text);
  return ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall CloseOrbelForUpdate(MSIHANDLE install) {
  using namespace orbel_setup;
  // Never closed: the process ends it when the installer is done.
  if (property_set(install, OLDER_VERSION_PROPERTY)) CreateEventW(nullptr, TRUE, FALSE, UPGRADE_EVENT);
  if (close_running_orbel()) MsiSetPropertyW(install, WAS_RUNNING_PROPERTY, WAS_RUNNING_VALUE);
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall StartOrbel(MSIHANDLE install) {
  using namespace orbel_setup;
  const wchar_t* exe = installed_exe(install);
  if (exe == nullptr) return ERROR_SUCCESS;
  const StartRoute route = start_as_desktop_user(exe);
  report(install, INSTALLMESSAGE_INFO,
         route == StartRoute::DIRECT    ? STARTED_DIRECTLY_NOTE
         : route == StartRoute::DESKTOP ? STARTED_THROUGH_DESKTOP_NOTE
                                        : NOT_STARTED_NOTE,
         L"");
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall ReleaseOrbel(MSIHANDLE install) {
  using namespace orbel_setup;
  if (removed_by_upgrade(install)) return ERROR_SUCCESS;
  // Quitting gives the lid-close setting back when a session holds it.
  close_running_orbel();
  if (!lid_backup_left()) return ERROR_SUCCESS;
  // A backup without a running Orbel is what a crash leaves. Orbel's own
  // start-up gives it back when the stored session is off; an active one it
  // would resume, holding the lid again until the quit. The user is removing
  // Orbel, so off is what the session is, and the setting is back even if
  // the quit never comes. Unless another copy starts at logon: the session
  // is that copy's, and its next start gives the setting back or holds it
  // as the session says.
  const wchar_t* exe = installed_exe(install);
  if (exe == nullptr || other_copy_starts_at_logon(exe)) return ERROR_SUCCESS;
  if (store_session_off()) start_and_close(exe);
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall ForgetOrbel(MSIHANDLE install) {
  using namespace orbel_setup;
  if (removed_by_upgrade(install)) return ERROR_SUCCESS;
  if (const wchar_t* exe = installed_exe(install)) forget_run_value_of(exe);
  forget_settings();
  return ERROR_SUCCESS;
}
