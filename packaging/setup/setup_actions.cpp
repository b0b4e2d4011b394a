// The installer's custom actions: a DLL in the package's Binary table, so it
// is there before the files are and after they are gone. Every action returns
// success: a step that cannot be done is skipped silently, and none of them
// deletes what it cannot be sure is safe to delete.
//
// At install, upgrade and repair:
//   CloseOrbelForUpdate  before any file changes: quits a running Orbel and
//                        notes that it ran, so that the package's StartOrbel
//                        (a plain start of the installed Orbel.exe) starts it
//                        again from the new files once they are in place.
// At uninstall, but not when an upgrade removes the older version:
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
#include "stored_state.h"

namespace orbel_setup {
namespace {

constexpr const wchar_t* INSTALL_DIR_PROPERTY = L"INSTALLDIR";
// Set by MajorUpgrade's FindRelatedProducts when an older version is
// installed, and by Windows Installer in that version's removal.
constexpr const wchar_t* OLDER_VERSION_PROPERTY = L"WIX_UPGRADE_DETECTED";
constexpr const wchar_t* UPGRADING_PROPERTY = L"UPGRADINGPRODUCTCODE";
// Exists while a newer package's installer removes the older version: Wine
// runs that removal without UPGRADINGPRODUCTCODE, and the older version's
// uninstall actions must not take the user's settings with them. An event
// rather than a stored mark: it ends with the installer's process, however
// that ends, so it can never be left behind to stop a real uninstall.
constexpr const wchar_t* UPGRADE_EVENT = L"Local\\no.dremmholt.orbel.setup.upgrade";
// Private (not all upper case), so that a command line cannot set it.
constexpr const wchar_t* WAS_RUNNING_PROPERTY = L"OrbelWasRunning";
constexpr const wchar_t* WAS_RUNNING_VALUE = L"1";
constexpr const wchar_t* EXE_NAME = L"Orbel.exe";

WCHAR exe_path[MAX_TEXT_UNITS];
WCHAR property_text[MAX_TEXT_UNITS];

bool property_set(MSIHANDLE install, const wchar_t* name) {
  DWORD length = MAX_TEXT_UNITS;
  return MsiGetPropertyW(install, name, property_text, &length) == ERROR_SUCCESS && length > 0;
}

// Whether this uninstall is the removal of an older version by a newer one.
bool removed_by_upgrade(MSIHANDLE install) {
  if (property_set(install, UPGRADING_PROPERTY)) return true;
  HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, UPGRADE_EVENT);
  if (event == nullptr) return false;
  CloseHandle(event);
  return true;
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

}  // namespace
}  // namespace orbel_setup

extern "C" __declspec(dllexport) UINT __stdcall CloseOrbelForUpdate(MSIHANDLE install) {
  using namespace orbel_setup;
  // Never closed: the process ends it when the installer is done.
  if (property_set(install, OLDER_VERSION_PROPERTY)) CreateEventW(nullptr, TRUE, FALSE, UPGRADE_EVENT);
  if (close_running_orbel()) MsiSetPropertyW(install, WAS_RUNNING_PROPERTY, WAS_RUNNING_VALUE);
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
