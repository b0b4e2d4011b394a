// The popup menu as data: its entries, labels, flags and command ids, built
// from the state it shows. Pure: the Windows calls live in tray_menu.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orbel {

constexpr std::uint16_t ID_TOGGLE = 1;
constexpr std::uint16_t ID_DURATION_BASE = 10;  // + hours, 0 to 8
constexpr std::uint16_t ID_AUTOSTART = 30;
constexpr std::uint16_t ID_ABOUT = 40;
constexpr std::uint16_t ID_NEW_VERSION = 41;
constexpr std::uint16_t ID_QUIT = 99;
constexpr std::uint32_t MAX_DURATION_HOURS = 8;
constexpr std::uint32_t MENU_DURATIONS[] = {1, 2, 4, 8};

constexpr std::uint32_t MENU_STRING = 0x0000;
constexpr std::uint32_t MENU_GRAYED = 0x0001;
constexpr std::uint32_t MENU_CHECKED = 0x0008;
constexpr std::uint32_t MENU_SEPARATOR = 0x0800;

constexpr const char* LABEL_TOGGLE = "Hold orbel";
constexpr const char* LABEL_AUTOSTART = "Start ved p\xC3\xA5logging";
constexpr const char* LABEL_NEW_VERSION = "Ny versjon tilgjengelig";
constexpr const char* LABEL_ABOUT = "Laget av Dremmholt";
constexpr const char* LABEL_QUIT = "Avslutt Orbel";
constexpr const char* LABEL_ENDS_AT = "Sl\xC3\xA5r seg av ";

struct MenuEntry {
  std::uint32_t flags;  // MENU_* as AppendMenuW takes them
  std::uint16_t id;     // 0 for the end-time label and separators
  std::string label;    // UTF-8; empty for separators
};

struct MenuInput {
  bool on;
  std::uint64_t until;
  std::uint32_t hours;
  bool autostart;
  bool update_available;
  std::uint64_t now;  // Unix seconds; read only for a timed session
  std::uint32_t local_seconds_of_day;  // local clock, hour*3600 + minute*60 + second
};

// "1 time", else the count and " timer".
std::string duration_label(std::uint32_t hours);

// "Slår seg av HH:MM": the local clock plus the time left, wrapped at
// midnight; seconds are dropped. An end already passed shows the local time.
std::string end_time_label(std::uint64_t until, std::uint64_t now, std::uint32_t local_seconds_of_day);

std::vector<MenuEntry> menu_entries(const MenuInput& input);

}  // namespace orbel
