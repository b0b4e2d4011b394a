// winsim: the subset of the Win32 API that Orbel calls, with the types,
// constants and signatures of the Windows SDK, implemented over an
// in-memory model (see control.h for what tests can inspect and script).
// Only host builds include this; Windows builds include the SDK headers.
#pragma once

#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using BOOL = int;
using UINT = unsigned int;
using LONG = std::int32_t;
using LSTATUS = LONG;
using ATOM = WORD;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using EXECUTION_STATE = DWORD;
using WCHAR = char16_t;  // UTF-16 code unit, as on Windows
using LPCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using PVOID = void*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;

struct HWND__;
struct HKEY__;
struct HINSTANCE__;
struct HICON__;
struct HBITMAP__;
struct HMENU__;
using HWND = HWND__*;
using HKEY = HKEY__*;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
using HICON = HICON__*;
using HCURSOR = HICON;
using HBITMAP = HBITMAP__*;
using HBRUSH = void*;
using HGDIOBJ = void*;
using HMENU = HMENU__*;
using HANDLE = void*;
using HLOCAL = void*;

#define WINAPI
#define CALLBACK

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define LOWORD(l) (static_cast<WORD>(static_cast<std::uintptr_t>(l) & 0xffff))
#define MAKEWPARAM(l, h) (static_cast<WPARAM>(static_cast<DWORD>(static_cast<WORD>(l) | (static_cast<DWORD>(static_cast<WORD>(h)) << 16))))

// ---- error codes ----
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_DATATYPE_MISMATCH = 1629;
constexpr DWORD ERROR_UNSUPPORTED_TYPE = 1630;

// ---- registry ----
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u)))
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;
constexpr DWORD RRF_RT_REG_NONE = 0x00000001;
constexpr DWORD RRF_RT_REG_SZ = 0x00000002;
constexpr DWORD RRF_RT_REG_EXPAND_SZ = 0x00000004;
constexpr DWORD RRF_RT_REG_BINARY = 0x00000008;
constexpr DWORD RRF_RT_REG_DWORD = 0x00000010;
constexpr DWORD RRF_RT_REG_MULTI_SZ = 0x00000020;
constexpr DWORD RRF_RT_REG_QWORD = 0x00000040;
constexpr DWORD RRF_RT_DWORD = RRF_RT_REG_BINARY | RRF_RT_REG_DWORD;
constexpr DWORD RRF_RT_QWORD = RRF_RT_REG_BINARY | RRF_RT_REG_QWORD;
constexpr DWORD RRF_RT_ANY = 0x0000ffff;

LSTATUS RegGetValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD flags, LPDWORD type, PVOID data,
                     LPDWORD data_size);
LSTATUS RegSetKeyValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD type, LPCVOID data, DWORD data_size);
LSTATUS RegDeleteKeyValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value);
LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR sub_key);

// ---- power plans and execution state ----
struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
constexpr EXECUTION_STATE ES_SYSTEM_REQUIRED = 0x00000001;
constexpr EXECUTION_STATE ES_DISPLAY_REQUIRED = 0x00000002;
constexpr EXECUTION_STATE ES_CONTINUOUS = 0x80000000;

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags);
DWORD PowerGetActiveScheme(HKEY root, GUID** active_scheme);
DWORD PowerSetActiveScheme(HKEY root, const GUID* scheme);
DWORD PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting, LPDWORD index);
DWORD PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting, LPDWORD index);
DWORD PowerWriteACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting, DWORD index);
DWORD PowerWriteDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting, DWORD index);
using POWER_DATA_ACCESSOR = int;
constexpr POWER_DATA_ACCESSOR ACCESS_SCHEME = 16;
using UCHAR = unsigned char;
using ULONG = std::uint32_t;
DWORD PowerEnumerate(HKEY root, const GUID* scheme, const GUID* subgroup, POWER_DATA_ACCESSOR access, ULONG index,
                     UCHAR* buffer, DWORD* buffer_size);
HLOCAL LocalFree(HLOCAL memory);

// ---- kernel ----
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
DWORD GetLastError();
HANDLE CreateMutexW(void* security, BOOL initial_owner, LPCWSTR name);
BOOL CloseHandle(HANDLE handle);
HANDLE CreateThread(void* security, std::size_t stack_size, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD thread_id);
HMODULE GetModuleHandleW(LPCWSTR module_name);
void GetSystemTimePreciseAsFileTime(FILETIME* time);

// ---- windows, messages, timers ----
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUERYENDSESSION = 0x0011;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ENDSESSION = 0x0016;
constexpr UINT WM_SETTINGCHANGE = 0x001A;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_LBUTTONDBLCLK = 0x0203;
constexpr UINT WM_RBUTTONDOWN = 0x0204;
constexpr UINT WM_RBUTTONUP = 0x0205;
constexpr UINT WM_POWERBROADCAST = 0x0218;
constexpr UINT WM_APP = 0x8000;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

struct POINT {
  LONG x;
  LONG y;
};
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
  DWORD lPrivate;
};
struct WNDCLASSW {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
};

ATOM RegisterClassW(const WNDCLASSW* window_class);
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR window_name, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND window);
LRESULT DefWindowProcW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
BOOL PostMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
LRESULT SendMessageW(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exit_code);
BOOL GetMessageW(MSG* msg, HWND window, UINT filter_min, UINT filter_max);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
UINT RegisterWindowMessageW(LPCWSTR name);

// User Interface Privilege Isolation: which messages a window of an elevated
// process takes from processes at a lower integrity level.
constexpr UINT WM_CANCELMODE = 0x001F;
constexpr DWORD MSGFLT_RESET = 0;
constexpr DWORD MSGFLT_ALLOW = 1;
constexpr DWORD MSGFLT_DISALLOW = 2;
constexpr DWORD MSGFLTINFO_NONE = 0;
constexpr DWORD MSGFLTINFO_ALREADYALLOWED_FORWND = 1;
constexpr DWORD MSGFLTINFO_ALREADYDISALLOWED_FORWND = 2;
constexpr DWORD MSGFLTINFO_ALLOWED_HIGHER = 3;
struct CHANGEFILTERSTRUCT {
  DWORD cbSize;
  DWORD ExtStatus;
};
using PCHANGEFILTERSTRUCT = CHANGEFILTERSTRUCT*;
BOOL ChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT change_filter);

UINT_PTR SetTimer(HWND window, UINT_PTR id, UINT elapse_ms, TIMERPROC timer_proc);

// ---- notification area and GDI ----
constexpr DWORD NIM_ADD = 0x00000000;
constexpr DWORD NIM_MODIFY = 0x00000001;
constexpr DWORD NIM_DELETE = 0x00000002;
constexpr UINT NIF_MESSAGE = 0x00000001;
constexpr UINT NIF_ICON = 0x00000002;
constexpr UINT NIF_TIP = 0x00000004;

struct NOTIFYICONDATAW {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  WCHAR szTip[128];
  DWORD dwState;
  DWORD dwStateMask;
  WCHAR szInfo[256];
  union {
    UINT uTimeout;
    UINT uVersion;
  };
  WCHAR szInfoTitle[64];
  DWORD dwInfoFlags;
  GUID guidItem;
  HICON hBalloonIcon;
};
static_assert(sizeof(NOTIFYICONDATAW) == 976, "NOTIFYICONDATAW must match the x64 SDK layout");

struct ICONINFO {
  BOOL fIcon;
  DWORD xHotspot;
  DWORD yHotspot;
  HBITMAP hbmMask;
  HBITMAP hbmColor;
};

BOOL Shell_NotifyIconW(DWORD message, NOTIFYICONDATAW* data);
HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bits_per_pixel, const void* bits);
BOOL DeleteObject(HGDIOBJ object);
HICON CreateIconIndirect(ICONINFO* info);
BOOL DestroyIcon(HICON icon);

// ---- battery, local time, executable path ----
struct SYSTEM_POWER_STATUS {
  BYTE ACLineStatus;
  BYTE BatteryFlag;
  BYTE BatteryLifePercent;
  BYTE SystemStatusFlag;
  DWORD BatteryLifeTime;
  DWORD BatteryFullLifeTime;
};
static_assert(sizeof(SYSTEM_POWER_STATUS) == 12, "SYSTEM_POWER_STATUS is 12 bytes");
constexpr WPARAM PBT_APMPOWERSTATUSCHANGE = 0x000A;

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

BOOL GetSystemPowerStatus(SYSTEM_POWER_STATUS* status);
void GetLocalTime(SYSTEMTIME* time);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size);

// ---- popup menus ----
constexpr UINT MF_STRING = 0x00000000;
constexpr UINT MF_GRAYED = 0x00000001;
constexpr UINT MF_CHECKED = 0x00000008;
constexpr UINT MF_SEPARATOR = 0x00000800;
constexpr UINT TPM_RIGHTBUTTON = 0x0002;
constexpr UINT TPM_BOTTOMALIGN = 0x0020;
struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};

HMENU CreatePopupMenu();
BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, LPCWSTR text);
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND window, const RECT* rect);
BOOL DestroyMenu(HMENU menu);
BOOL GetCursorPos(POINT* point);
BOOL SetForegroundWindow(HWND window);

// ---- shell ----
constexpr int SW_SHOWNORMAL = 1;
HINSTANCE ShellExecuteW(HWND window, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                        int show);

// ---- WinINet ----
using HINTERNET = void*;
using DWORD_PTR = std::uintptr_t;
constexpr DWORD INTERNET_OPEN_TYPE_PRECONFIG = 0;
constexpr DWORD INTERNET_FLAG_RELOAD = 0x80000000;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000;
constexpr DWORD INTERNET_FLAG_SECURE = 0x00800000;
constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000;

HINTERNET InternetOpenW(LPCWSTR agent, DWORD access_type, LPCWSTR proxy, LPCWSTR proxy_bypass, DWORD flags);
HINTERNET InternetOpenUrlW(HINTERNET internet, LPCWSTR url, LPCWSTR headers, DWORD headers_length, DWORD flags,
                           DWORD_PTR context);
BOOL HttpQueryInfoW(HINTERNET request, DWORD info_level, LPVOID buffer, LPDWORD buffer_length, LPDWORD index);
BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read);
BOOL InternetCloseHandle(HINTERNET handle);
