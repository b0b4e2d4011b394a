#include "prefix_snapshot.h"

#include <windows.h>

#include <cstdint>

#include "orbel_driver.h"

namespace orbel_installer {
namespace {

using orbel_wine::utf8;

constexpr DWORD MAX_NAME = 16384;
constexpr DWORD FIRST_DATA_SIZE = 4096;
constexpr const char* HEX = "0123456789abcdef";
// "KEY" for a key, "KEY = NAME: TYPE DATA" for a value, "PATH\" for a
// folder, "PATH (SIZE bytes)" for a file.
constexpr const char* VALUE_MARK = " = ";

// Changed by Wine for itself whatever a package does, or the test's own: a
// line under one of these is no change.
const char* const NOT_THE_PACKAGES[] = {
    // Wine's display driver rewrites its device records (driver dates,
    // monitor data) whenever a desktop starts.
    "HKLM\\System\\CurrentControlSet\\Enum\\",
    "HKLM\\System\\CurrentControlSet\\Control\\Class\\",
    "HKLM\\System\\CurrentControlSet\\Control\\Video\\",
    "HKCU\\Software\\Wine\\Temporary System Parameters",
    // The stand-in power plans (tests/wine/powrprof): the machine's, not
    // Orbel's; the tests check the lid-close values in them themselves.
    "HKCU\\Software\\OrbelTestPowerPlans",
};

// Windows Installer's own registry keys and folders, which it makes at the
// first install and keeps, empty, after the last uninstall. A Windows machine
// has them from the start; a fresh Wine prefix does not. Only an empty one
// is no change: anything in them is a product's registration.
const char* const INSTALLERS_OWN_KEYS[] = {
    "HKCU\\Software\\Microsoft\\Installer",
    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer",
};
// Its structure below those: lists of products and components, per user
// (SIDs start "S-1-"). A key named for a product or component is not.
const char* const INSTALLERS_OWN_SUBKEYS[] = {"Components", "Features", "Products", "UpgradeCodes", "UserData"};
constexpr const char* SID_START = "S-1-";
const char* const INSTALLERS_OWN_FOLDERS[] = {
    "C:\\windows\\Installer\\",
    "\\AppData\\Roaming\\Microsoft\\Installer\\",
};

bool starts_with(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

void add_value(std::set<std::string>& lines, const std::string& key, const wchar_t* name, DWORD type,
               const std::vector<std::uint8_t>& data) {
  std::string line = key + VALUE_MARK + utf8(name) + ": " + std::to_string(type) + " ";
  for (std::uint8_t byte : data) {
    line += HEX[byte >> 4];
    line += HEX[byte & 15];
  }
  lines.insert(line);
}

void walk_key(std::set<std::string>& lines, HKEY root, const std::string& root_name, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  const std::string name = root_name + (path.empty() ? "" : "\\" + utf8(path));
  lines.insert(name);
  std::vector<wchar_t> value_name(MAX_NAME);
  std::vector<std::uint8_t> data(FIRST_DATA_SIZE);
  for (DWORD i = 0;; ++i) {
    DWORD name_length = MAX_NAME;
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    LSTATUS status = RegEnumValueW(key, i, value_name.data(), &name_length, nullptr, &type, data.data(), &size);
    if (status == ERROR_MORE_DATA) {
      data.resize(size);
      name_length = MAX_NAME;
      status = RegEnumValueW(key, i, value_name.data(), &name_length, nullptr, &type, data.data(), &size);
    }
    if (status != ERROR_SUCCESS) break;
    add_value(lines, name, value_name.data(), type, std::vector<std::uint8_t>(data.begin(), data.begin() + size));
  }
  std::vector<std::wstring> subkeys;
  for (DWORD i = 0;; ++i) {
    DWORD length = MAX_NAME;
    if (RegEnumKeyExW(key, i, value_name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    subkeys.emplace_back(value_name.data(), length);
  }
  RegCloseKey(key);
  for (const std::wstring& subkey : subkeys) walk_key(lines, root, root_name, path.empty() ? subkey : path + L"\\" + subkey);
}

void walk_folder(std::set<std::string>& lines, const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((folder + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  std::vector<std::wstring> subfolders;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      // A symbolic link (Wine links the user's folders into the home
      // directory on some setups) is listed, not followed.
      if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        lines.insert(utf8(folder + name) + " (link)");
      } else {
        subfolders.push_back(folder + name + L"\\");
      }
      continue;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
    lines.insert(utf8(folder + name) + " (" + std::to_string(size) + " bytes)");
  } while (FindNextFileW(search, &found));
  FindClose(search);
  for (const std::wstring& subfolder : subfolders) {
    lines.insert(utf8(subfolder));
    walk_folder(lines, subfolder);
  }
}

bool not_the_packages(const std::string& line) {
  for (const char* prefix : NOT_THE_PACKAGES) {
    if (starts_with(line, prefix)) return true;
  }
  return false;
}

bool holds_line_starting(const std::set<std::string>& snapshot, const std::string& prefix) {
  const auto next = snapshot.upper_bound(prefix);
  return next != snapshot.end() && starts_with(*next, prefix);
}

bool ends_with(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool installers_own_key(const std::string& key) {
  for (const std::string root : INSTALLERS_OWN_KEYS) {
    if (key == root) return true;
    if (!starts_with(key, root + "\\")) continue;
    const std::string last = key.substr(key.rfind('\\') + 1);
    if (starts_with(last, SID_START)) return true;
    for (const char* name : INSTALLERS_OWN_SUBKEYS) {
      if (last == name) return true;
    }
  }
  return false;
}

// Whether `line` is a key or folder of Windows Installer's own that holds
// nothing in `snapshot` but more of its own, as empty.
bool installers_own_and_empty(const std::string& line, const std::set<std::string>& snapshot) {
  if (line.back() == '\\') {
    for (const char* folder : INSTALLERS_OWN_FOLDERS) {
      if (ends_with(line, folder)) return !holds_line_starting(snapshot, line);
    }
    return false;
  }
  if (line.find(VALUE_MARK) != std::string::npos || !installers_own_key(line)) return false;
  if (holds_line_starting(snapshot, line + VALUE_MARK)) return false;
  const std::string inside = line + "\\";
  for (auto it = snapshot.upper_bound(inside); it != snapshot.end() && starts_with(*it, inside); ++it) {
    if (it->find(VALUE_MARK) != std::string::npos || !installers_own_key(*it)) return false;
  }
  return true;
}

}  // namespace

PrefixSnapshot take_snapshot() {
  PrefixSnapshot snapshot;
  walk_key(snapshot.lines, HKEY_CURRENT_USER, "HKCU", L"");
  walk_key(snapshot.lines, HKEY_LOCAL_MACHINE, "HKLM", L"");
  walk_folder(snapshot.lines, L"C:\\");
  return snapshot;
}

std::vector<std::string> changes(const PrefixSnapshot& before, const PrefixSnapshot& after) {
  std::vector<std::string> found;
  for (const std::string& line : after.lines) {
    if (before.lines.count(line) || not_the_packages(line) || installers_own_and_empty(line, after.lines)) continue;
    found.push_back("+ " + line);
  }
  for (const std::string& line : before.lines) {
    if (after.lines.count(line) || not_the_packages(line)) continue;
    found.push_back("- " + line);
  }
  return found;
}

}  // namespace orbel_installer
