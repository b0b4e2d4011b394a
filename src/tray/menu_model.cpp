#include "tray/menu_model.h"

namespace orbel {
namespace {

// Decimal digits of `value`, at least `width` of them. Written out by hand:
// the C library's formatting would be the largest part of the executable.
std::string decimal(std::uint64_t value, std::size_t width = 1) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  if (digits.size() < width) digits.insert(0, width - digits.size(), '0');
  return digits;
}

}  // namespace

std::string duration_label(std::uint32_t hours) {
  return hours == 1 ? std::string("1 time") : decimal(hours) + " timer";
}

std::string end_time_label(std::uint64_t until, std::uint64_t now, std::uint32_t local_seconds_of_day) {
  const std::uint64_t remaining = until >= now ? until - now : 0;
  const std::uint64_t s = (remaining + local_seconds_of_day) % 86400;
  return LABEL_ENDS_AT + decimal(s / 3600, 2) + ":" + decimal(s % 3600 / 60, 2);
}

std::vector<MenuEntry> menu_entries(const MenuInput& in) {
  const bool timed = in.on && in.until != 0;
  auto checked = [](bool yes) { return MENU_STRING | (yes ? MENU_CHECKED : 0u); };
  const MenuEntry separator{MENU_SEPARATOR, 0, std::string()};

  std::vector<MenuEntry> entries;
  entries.push_back({checked(in.on), ID_TOGGLE, LABEL_TOGGLE});
  if (timed) entries.push_back({MENU_STRING | MENU_GRAYED, 0, end_time_label(in.until, in.now, in.local_seconds_of_day)});
  entries.push_back(separator);
  for (std::uint32_t hours : MENU_DURATIONS)
    entries.push_back({checked(timed && in.hours == hours), static_cast<std::uint16_t>(ID_DURATION_BASE + hours),
                       duration_label(hours)});
  entries.push_back(separator);
  entries.push_back({checked(in.autostart), ID_AUTOSTART, LABEL_AUTOSTART});
  entries.push_back(separator);
  if (in.update_available) entries.push_back({MENU_STRING, ID_NEW_VERSION, LABEL_NEW_VERSION});
  entries.push_back({MENU_STRING, ID_ABOUT, LABEL_ABOUT});
  entries.push_back({MENU_STRING, ID_QUIT, LABEL_QUIT});
  return entries;
}

}  // namespace orbel
