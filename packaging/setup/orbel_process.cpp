#include "orbel_process.h"

#include "names.h"

namespace orbel_setup {
namespace {

constexpr DWORD POLL_MS = 50;
constexpr UINT TERMINATED_EXIT_CODE = 1;

WCHAR command_line[MAX_TEXT_UNITS];

// The window of process `pid`, or null once it has not shown one in time or
// has ended.
HWND wait_for_window(DWORD pid, HANDLE process) {
  const ULONGLONG deadline = GetTickCount64() + START_TIMEOUT_MS;
  for (;;) {
    for (HWND w = FindWindowExW(nullptr, nullptr, WINDOW_CLASS, nullptr); w != nullptr;
         w = FindWindowExW(nullptr, w, WINDOW_CLASS, nullptr)) {
      DWORD owner = 0;
      GetWindowThreadProcessId(w, &owner);
      if (owner == pid) return w;
    }
    if (WaitForSingleObject(process, POLL_MS) != WAIT_TIMEOUT || GetTickCount64() >= deadline) return nullptr;
  }
}

// Posts the quit to `window` and waits for `process` to end; ends it when it
// does not. WM_CANCELMODE first: an open popup menu would hold WM_CLOSE until
// the user closed it.
void close_window(HWND window, HANDLE process) {
  PostMessageW(window, WM_CANCELMODE, 0, 0);
  PostMessageW(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(process, CLOSE_TIMEOUT_MS) == WAIT_TIMEOUT) {
    TerminateProcess(process, TERMINATED_EXIT_CODE);
    WaitForSingleObject(process, CLOSE_TIMEOUT_MS);
  }
}

}  // namespace

bool close_running_orbel() {
  bool closed_one = false;
  for (int i = 0; i < MAX_WINDOWS_CLOSED; ++i) {
    HWND window = FindWindowW(WINDOW_CLASS, nullptr);
    if (window == nullptr) break;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr) break;
    close_window(window, process);
    CloseHandle(process);
    closed_one = true;
  }
  return closed_one;
}

bool start_orbel(const wchar_t* exe, PROCESS_INFORMATION* info) {
  // Quoted, so that a path with spaces names one program.
  const int length = lstrlenW(exe);
  if (length + 3 > static_cast<int>(MAX_TEXT_UNITS)) return false;
  command_line[0] = L'"';
  lstrcpyW(command_line + 1, exe);
  lstrcpyW(command_line + 1 + length, L"\"");

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // No standard handles: Orbel has no use for them, and under Wine a child
  // would otherwise keep the installer's output pipe open.
  startup.dwFlags = STARTF_USESTDHANDLES;
  return CreateProcessW(exe, command_line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, info) != FALSE;
}

bool start_and_close(const wchar_t* exe) {
  PROCESS_INFORMATION info{};
  if (!start_orbel(exe, &info)) return false;
  CloseHandle(info.hThread);
  HWND window = wait_for_window(info.dwProcessId, info.hProcess);
  if (window != nullptr) {
    // Posted, so the quit waits in the queue for the message loop, which
    // runs only once start-up has committed the session: with it stored off,
    // start-up gives the lid-close setting back, and the quit does again.
    close_window(window, info.hProcess);
  } else if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
    TerminateProcess(info.hProcess, TERMINATED_EXIT_CODE);
  }
  CloseHandle(info.hProcess);
  return window != nullptr;
}

}  // namespace orbel_setup
