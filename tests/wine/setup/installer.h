// Orbel's MSI as the installer tests drive it: msiexec run silently from
// inside the run's Wine prefix, and what the package leaves where Windows
// puts it (the program's folder, the Start menu, the uninstall entry).
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace orbel_installer {

// A whole install or uninstall under Wine takes one to three seconds.
constexpr DWORD MSIEXEC_TIMEOUT_MS = 120000;
// What msiexec returns when it could not be run or did not finish in time.
constexpr DWORD MSIEXEC_FAILED = 0xffffffff;

// Starts "msiexec ARGUMENTS /qn" and returns its process (to close), or null.
HANDLE start_msiexec(const std::wstring& arguments);
// Runs "msiexec ARGUMENTS /qn" and returns its exit code (0: done).
DWORD run_msiexec(const std::wstring& arguments);
DWORD install(const std::wstring& msi, const std::wstring& properties = L"");
DWORD uninstall(const std::wstring& msi);

// A property of the package's Property table, e.g. "ProductCode"; empty when
// the package or the property cannot be read.
std::wstring package_property(const std::wstring& msi, const wchar_t* name);

// What Windows Installer knows of an installed product (MsiGetProductInfoW):
// e.g. INSTALLPROPERTY_VERSIONSTRING; empty when it knows nothing.
std::wstring product_info(const std::wstring& product_code, const wchar_t* property);

// A string value of the product's entry under ...\CurrentVersion\Uninstall,
// where Apps & features finds it: HKCU for a per-user package on Windows,
// HKLM under Wine 8, which puts every entry there. Empty when missing.
std::wstring uninstall_entry_value(const std::wstring& product_code, const wchar_t* name);

std::wstring known_folder(REFKNOWNFOLDERID folder);
// %LOCALAPPDATA%\Programs\Orbel\, where the package installs by default.
std::wstring default_install_dir();
// The package's shortcut in the user's Start menu.
std::wstring start_menu_shortcut();

struct Shortcut {
  HRESULT status = E_FAIL;  // of loading it
  std::wstring target;
  std::wstring working_dir;
};
Shortcut read_shortcut(const std::wstring& path);

// The file's bytes; empty when it cannot be read.
std::string file_bytes(const std::wstring& path);
bool file_exists(const std::wstring& path);

// The file names in `dir`, "." and ".." left out, in the order found.
std::wstring list_dir(const std::wstring& dir);

// The executable a process runs, or empty.
std::wstring process_image(HANDLE process);

// How many processes of the prefix run the program of that file name.
int processes_named(const wchar_t* name);

// The file name (no folder) of the program that process `pid`'s parent ran,
// as the process list has it; empty when either is not listed.
std::wstring parent_program(DWORD pid);

}  // namespace orbel_installer
