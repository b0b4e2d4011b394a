#include "installer.h"

#include <msi.h>
#include <msiquery.h>
#include <shobjidl.h>
#include <tlhelp32.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace orbel_installer {
namespace {

constexpr const wchar_t* MSIEXEC = L"C:\\windows\\system32\\msiexec.exe";
constexpr const wchar_t* UNINSTALL_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr DWORD MAX_TEXT = 32768;

}  // namespace

HANDLE start_msiexec(const std::wstring& arguments) {
  std::wstring command_line = L"msiexec " + arguments + L" /qn";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // No standard handles: under Wine a child (and the Orbel it starts) would
  // otherwise hold the test's output pipe, and ctest waits for it to close.
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(MSIEXEC, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    return nullptr;
  CloseHandle(info.hThread);
  return info.hProcess;
}

DWORD run_msiexec(const std::wstring& arguments) {
  HANDLE process = start_msiexec(arguments);
  if (process == nullptr) return MSIEXEC_FAILED;
  DWORD code = MSIEXEC_FAILED;
  if (WaitForSingleObject(process, MSIEXEC_TIMEOUT_MS) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return code;
}

DWORD install(const std::wstring& msi, const std::wstring& properties) {
  return run_msiexec(L"/i \"" + msi + L"\"" + (properties.empty() ? L"" : L" " + properties));
}

DWORD uninstall(const std::wstring& msi) { return run_msiexec(L"/x \"" + msi + L"\""); }

std::wstring package_property(const std::wstring& msi, const wchar_t* name) {
  MSIHANDLE database = 0;
  if (MsiOpenDatabaseW(msi.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS) return L"";
  std::wstring value;
  MSIHANDLE view = 0;
  const std::wstring query = std::wstring(L"SELECT `Value` FROM `Property` WHERE `Property` = '") + name + L"'";
  if (MsiDatabaseOpenViewW(database, query.c_str(), &view) == ERROR_SUCCESS) {
    MSIHANDLE record = 0;
    if (MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS) {
      std::vector<wchar_t> text(MAX_TEXT);
      DWORD length = MAX_TEXT;
      if (MsiRecordGetStringW(record, 1, text.data(), &length) == ERROR_SUCCESS) value.assign(text.data(), length);
      MsiCloseHandle(record);
    }
    MsiCloseHandle(view);
  }
  MsiCloseHandle(database);
  return value;
}

std::wstring product_info(const std::wstring& product_code, const wchar_t* property) {
  std::vector<wchar_t> text(MAX_TEXT);
  DWORD length = MAX_TEXT;
  if (MsiGetProductInfoW(product_code.c_str(), property, text.data(), &length) != ERROR_SUCCESS) return L"";
  return std::wstring(text.data(), length);
}

std::wstring uninstall_entry_value(const std::wstring& product_code, const wchar_t* name) {
  const std::wstring key = UNINSTALL_KEY + product_code;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    std::vector<wchar_t> text(MAX_TEXT);
    DWORD size = MAX_TEXT * sizeof(wchar_t);
    if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, text.data(), &size) == ERROR_SUCCESS)
      return text.data();
  }
  return L"";
}

std::wstring known_folder(REFKNOWNFOLDERID folder) {
  PWSTR path = nullptr;
  std::wstring result;
  if (SHGetKnownFolderPath(folder, 0, nullptr, &path) == S_OK) result = path;
  CoTaskMemFree(path);
  return result;
}

std::wstring default_install_dir() { return known_folder(FOLDERID_LocalAppData) + L"\\Programs\\Orbel\\"; }

std::wstring start_menu_shortcut() { return known_folder(FOLDERID_Programs) + L"\\Orbel.lnk"; }

Shortcut read_shortcut(const std::wstring& path) {
  Shortcut shortcut;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  shortcut.status = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link));
  if (SUCCEEDED(shortcut.status)) {
    IPersistFile* file = nullptr;
    shortcut.status = link->QueryInterface(IID_PPV_ARGS(&file));
    if (SUCCEEDED(shortcut.status)) {
      shortcut.status = file->Load(path.c_str(), STGM_READ);
      std::vector<wchar_t> text(MAX_TEXT);
      if (SUCCEEDED(shortcut.status) && SUCCEEDED(link->GetPath(text.data(), MAX_TEXT, nullptr, SLGP_RAWPATH)))
        shortcut.target = text.data();
      if (SUCCEEDED(shortcut.status) && SUCCEEDED(link->GetWorkingDirectory(text.data(), MAX_TEXT)))
        shortcut.working_dir = text.data();
      file->Release();
    }
    link->Release();
  }
  if (SUCCEEDED(com)) CoUninitialize();
  return shortcut;
}

std::string file_bytes(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring list_dir(const std::wstring& dir) {
  std::wstring names;
  WIN32_FIND_DATAW found{};
  HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    names += (names.empty() ? L"" : L" ") + name;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

std::wstring process_image(HANDLE process) {
  std::vector<wchar_t> text(MAX_TEXT);
  DWORD length = MAX_TEXT;
  if (!QueryFullProcessImageNameW(process, 0, text.data(), &length)) return L"";
  return std::wstring(text.data(), length);
}

namespace {

std::vector<PROCESSENTRY32W> process_list() {
  std::vector<PROCESSENTRY32W> processes;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return processes;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    processes.push_back(entry);
  CloseHandle(snapshot);
  return processes;
}

}  // namespace

int processes_named(const wchar_t* name) {
  int count = 0;
  for (const PROCESSENTRY32W& entry : process_list())
    if (lstrcmpiW(entry.szExeFile, name) == 0) ++count;
  return count;
}

std::wstring parent_program(DWORD pid) {
  const std::vector<PROCESSENTRY32W> processes = process_list();
  for (const PROCESSENTRY32W& child : processes) {
    if (child.th32ProcessID != pid) continue;
    for (const PROCESSENTRY32W& parent : processes)
      if (parent.th32ProcessID == child.th32ParentProcessID) return parent.szExeFile;
  }
  return L"";
}

}  // namespace orbel_installer
