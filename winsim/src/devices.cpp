// Battery, local time, the executable's path and the shell's "open".
#include <algorithm>
#include <cstring>

#include "machine.h"

namespace winsim::detail {
namespace {
// Any program's path; tests that need the product's own set it.
constexpr const char16_t* DEFAULT_MODULE_PATH = u"C:\\Program Files\\App\\app.exe";
}  // namespace

void reset_devices() {
  Machine& m = machine();
  m.power_status = SYSTEM_POWER_STATUS{1, 128, 255, 0, 0xFFFFFFFF, 0xFFFFFFFF};  // mains, no battery
  m.local_offset_s = 0;
  m.module_path = DEFAULT_MODULE_PATH;
  m.cursor = POINT{0, 0};
  m.menus.clear();
  m.menu_scripts.clear();
  m.tracked.clear();
  m.executions.clear();
}

}  // namespace winsim::detail

using namespace winsim::detail;

BOOL GetSystemPowerStatus(SYSTEM_POWER_STATUS* status) {
  if (enter("GetSystemPowerStatus") || !status) return FALSE;
  *status = machine().power_status;
  return TRUE;
}

void GetLocalTime(SYSTEMTIME* time) {
  enter_cannot_fail("GetLocalTime");
  const std::int64_t local_ms =
      (machine().filetime.load() - FILETIME_UNIX_EPOCH) / FILETIME_TICKS_PER_MS + machine().local_offset_s * 1000;
  std::int64_t days = local_ms / 86400000;
  std::int64_t ms_of_day = local_ms % 86400000;
  if (ms_of_day < 0) {
    ms_of_day += 86400000;
    --days;
  }
  // Civil date from days since 1970-01-01 (proleptic Gregorian).
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  time->wYear = static_cast<WORD>(year);
  time->wMonth = static_cast<WORD>(month);
  time->wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  time->wDay = static_cast<WORD>(day);
  time->wHour = static_cast<WORD>(ms_of_day / 3600000);
  time->wMinute = static_cast<WORD>(ms_of_day / 60000 % 60);
  time->wSecond = static_cast<WORD>(ms_of_day / 1000 % 60);
  time->wMilliseconds = static_cast<WORD>(ms_of_day % 1000);
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR file_name, DWORD size) {
  if (enter("GetModuleFileNameW", std::string(module ? "module" : "NULL") + ", " + std::to_string(size))) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  if (module || !file_name || size == 0) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::u16string& path = machine().module_path;
  if (path.size() < size) {
    std::memcpy(file_name, path.data(), path.size() * sizeof(WCHAR));
    file_name[path.size()] = 0;
    return static_cast<DWORD>(path.size());
  }
  // Cut: as many units as fit with the terminator, the capacity returned and
  // ERROR_INSUFFICIENT_BUFFER set.
  std::memcpy(file_name, path.data(), (size - 1) * sizeof(WCHAR));
  file_name[size - 1] = 0;
  set_last_error(ERROR_INSUFFICIENT_BUFFER);
  return size;
}

HINSTANCE ShellExecuteW(HWND window, LPCWSTR operation, LPCWSTR file, LPCWSTR parameters, LPCWSTR directory,
                        int show) {
  constexpr std::uintptr_t SE_ERR_NOASSOC = 31;
  constexpr std::uintptr_t SUCCESS = 42;
  if (enter("ShellExecuteW", utf8(operation) + ", " + utf8(file) + ", " + std::to_string(show)))
    return reinterpret_cast<HINSTANCE>(SE_ERR_NOASSOC);
  machine().executions.push_back(
      winsim::ShellExecution{wide(operation), wide(file), parameters != nullptr, directory != nullptr, show, window != nullptr});
  return reinterpret_cast<HINSTANCE>(SUCCESS);
}

namespace winsim {

void set_system_power_status(const SYSTEM_POWER_STATUS& status) {
  machine().power_status = status;
  std::vector<HWND> windows;
  for (const auto& entry : machine().windows)
    if (entry.second.alive) windows.push_back(reinterpret_cast<HWND>(entry.first));
  for (HWND w : windows) SendMessageW(w, WM_POWERBROADCAST, PBT_APMPOWERSTATUSCHANGE, 0);
}

void set_power_status(BYTE ac_line_status, BYTE battery_percent) {
  SYSTEM_POWER_STATUS status = machine().power_status;
  status.ACLineStatus = ac_line_status;
  status.BatteryLifePercent = battery_percent;
  status.BatteryFlag = battery_percent == 255 ? 128 : battery_percent <= 5 ? 4 : battery_percent <= 33 ? 2 : 1;
  set_system_power_status(status);
}

void set_local_offset_s(std::int64_t offset) { machine().local_offset_s = offset; }
void set_module_path(const std::u16string& path) { machine().module_path = path; }
std::vector<ShellExecution> shell_executions() { return machine().executions; }

}  // namespace winsim
