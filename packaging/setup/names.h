// Orbel's own names for its window and what it stores, as the wide strings
// the installer's calls take. Each is checked against the product's constant
// when this compiles, so the two cannot drift apart.
#pragma once

#include <windows.h>

#include "autostart/autostart.h"
#include "main/app.h"
#include "state/settings.h"

namespace orbel_setup {

constexpr const wchar_t* WINDOW_CLASS = L"OrbelWindow";
constexpr const wchar_t* ORBEL_KEY = L"Software\\Orbel";
constexpr const wchar_t* VALUE_ON = L"On";
constexpr const wchar_t* VALUE_LID_AC = L"LidAC";
constexpr const wchar_t* VALUE_LID_DC = L"LidDC";
constexpr const wchar_t* VALUE_LID_PLAN = L"LidPlan";
constexpr const wchar_t* RUN_KEY = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* RUN_VALUE = L"Orbel";

constexpr bool same_ascii(const char* narrow, const wchar_t* wide) {
  for (; *narrow != '\0' || *wide != L'\0'; ++narrow, ++wide) {
    if (static_cast<wchar_t>(*narrow) != *wide) return false;
  }
  return true;
}

static_assert(same_ascii(orbel::WINDOW_CLASS_NAME, WINDOW_CLASS));
static_assert(same_ascii(orbel::ORBEL_KEY, ORBEL_KEY));
static_assert(same_ascii(orbel::VALUE_ON, VALUE_ON));
static_assert(same_ascii(orbel::VALUE_LID_AC, VALUE_LID_AC));
static_assert(same_ascii(orbel::VALUE_LID_DC, VALUE_LID_DC));
static_assert(same_ascii(orbel::VALUE_LID_PLAN, VALUE_LID_PLAN));
static_assert(same_ascii(orbel::RUN_KEY, RUN_KEY));
static_assert(same_ascii(orbel::RUN_VALUE, RUN_VALUE));

// Longest path or command line Windows takes, with its terminating 0.
constexpr DWORD MAX_TEXT_UNITS = 32768;

}  // namespace orbel_setup
