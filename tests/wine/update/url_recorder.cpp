// Stands in for the browser in the update test's Wine prefix, where it is the
// "open" command of https: URLs. It appends the address it was asked to open
// to a file, one line per call, so the test can see what Orbel opened without
// anything leaving the machine.
//
//   url_recorder.exe OUTPUT_FILE URL
#include <windows.h>
#include <shellapi.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  if (args == nullptr || count != 3) return 2;

  const int size = WideCharToMultiByte(CP_UTF8, 0, args[2], -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return 3;
  std::string line(static_cast<std::size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, args[2], -1, line.data(), size, nullptr, nullptr);
  line += '\n';

  HANDLE file = CreateFileW(args[1], FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 4;
  DWORD written = 0;
  // One write per line: a reader never sees half an address.
  const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
  LocalFree(args);
  return ok && written == line.size() ? 0 : 5;
}
