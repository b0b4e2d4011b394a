#include "shell_start.h"

#include <windows.h>
#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shobjidl.h>

#include "orbel_process.h"

namespace orbel_setup {
namespace {

// The desktop's shell view: the desktop's window among the shell windows,
// and the active view of its browser.
IShellView* desktop_view() {
  IShellWindows* windows = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(&windows))))
    return nullptr;
  VARIANT location{};
  VariantInit(&location);
  VARIANT root{};
  VariantInit(&root);
  LONG window = 0;
  IDispatch* desktop = nullptr;
  const bool found =
      windows->FindWindowSW(&location, &root, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &desktop) == S_OK &&
      desktop != nullptr;
  windows->Release();
  if (!found) return nullptr;
  IServiceProvider* services = nullptr;
  IShellBrowser* browser = nullptr;
  if (SUCCEEDED(desktop->QueryInterface(IID_PPV_ARGS(&services)))) {
    services->QueryService(SID_STopLevelBrowser, IID_PPV_ARGS(&browser));
    services->Release();
  }
  desktop->Release();
  if (browser == nullptr) return nullptr;
  IShellView* view = nullptr;
  if (FAILED(browser->QueryActiveShellView(&view))) view = nullptr;
  browser->Release();
  return view;
}

// The shell's automation object behind a view's background.
IShellDispatch2* shell_behind(IShellView* view) {
  IDispatch* view_object = nullptr;
  IShellFolderViewDual* background = nullptr;
  if (SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, IID_PPV_ARGS(&view_object)))) {
    view_object->QueryInterface(IID_PPV_ARGS(&background));
    view_object->Release();
  }
  if (background == nullptr) return nullptr;
  IDispatch* application = nullptr;
  IShellDispatch2* shell = nullptr;
  if (SUCCEEDED(background->get_Application(&application))) {
    application->QueryInterface(IID_PPV_ARGS(&shell));
    application->Release();
  }
  background->Release();
  return shell;
}

// Windows' way to run a program with the desktop's rights: the desktop's
// shell window, found among the shell windows, carries a shell browser whose
// view's background object leads to the shell's automation object; its
// ShellExecute runs inside Explorer, so the program gets Explorer's token.
// Every step is documented COM; any step failing means no start.
bool start_through_desktop(const wchar_t* exe) {
  IShellView* view = desktop_view();
  if (view == nullptr) return false;
  IShellDispatch2* shell = shell_behind(view);
  bool started = false;
  if (shell != nullptr) {
    BSTR file = SysAllocString(exe);
    VARIANT none{};
    VariantInit(&none);
    started = file != nullptr && shell->ShellExecute(file, none, none, none, none) == S_OK;
    SysFreeString(file);
    shell->Release();
  }
  view->Release();
  return started;
}

bool start_directly(const wchar_t* exe) {
  PROCESS_INFORMATION info{};
  if (!start_orbel(exe, &info)) return false;
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

// Whether this process runs with an elevated token. When that cannot be
// read, it counts as elevated: then Orbel is at worst not started now.
bool elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool read = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  return !read || elevation.TokenIsElevated != 0;
}

}  // namespace

StartRoute start_as_desktop_user(const wchar_t* exe) {
  if (!elevated()) return start_directly(exe) ? StartRoute::DIRECT : StartRoute::NOT_STARTED;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const bool started = start_through_desktop(exe);
  if (SUCCEEDED(com)) CoUninitialize();
  return started ? StartRoute::DESKTOP : StartRoute::NOT_STARTED;
}

}  // namespace orbel_setup
