#include "tray/menu_model.h"

#include <cstdio>

namespace orbel {

std::string duration_label(std::uint32_t hours) {
  return hours == 1 ? std::string("1 time") : std::to_string(hours) + " timer";
}

std::string end_time_label(std::uint64_t until, std::uint64_t now, std::uint32_t local_seconds_of_day) {
  const std::uint64_t remaining = until >= now ? until - now : 0;
  const std::uint64_t s = (remaining + local_seconds_of_day) % 86400;
  char clock[8];
  std::snprintf(clock, sizeof clock, "%02u:%02u", static_cast<unsigned>(s / 3600), static_cast<unsigned>(s % 3600 / 60));
  return LABEL_ENDS_AT + std::string(clock);
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
