#include "harness.h"

#include <new>

namespace scenario {
namespace {

void reset_state_record() {
  orbel::session.~SessionState();
  new (&orbel::session) orbel::SessionState();
}

}  // namespace

void fresh_machine() {
  winsim::reset();
  reset_state_record();
}

void next_process() {
  winsim::end_process();
  reset_state_record();
}

int run_orbel() { return orbel::main(); }

HWND orbel_window() { return winsim::find_window("OrbelWindow"); }

void click_icon(UINT mouse_message) { PostMessageW(orbel_window(), 0x8001, 1, static_cast<LPARAM>(mouse_message)); }

void close_orbel() { PostMessageW(orbel_window(), WM_CLOSE, 0, 0); }

winsim::ValueIndexes lid(const GUID& plan) {
  return winsim::setting_indexes(plan, orbel::GUID_SYSTEM_BUTTON_SUBGROUP, orbel::GUID_LIDCLOSE_ACTION);
}

void set_lid(const GUID& plan, DWORD ac, DWORD dc) {
  winsim::set_setting_indexes(plan, orbel::GUID_SYSTEM_BUTTON_SUBGROUP, orbel::GUID_LIDCLOSE_ACTION, {ac, dc});
}

GUID balanced() { return winsim::plan_guid("Balanced"); }

std::optional<std::uint64_t> stored(const char* name) { return winsim::reg_get_qword(ORBEL_KEY, name); }

winsim::HttpScript serving(std::string body, DWORD status) {
  winsim::HttpScript s;
  s.status = status;
  s.body = std::move(body);
  return s;
}

winsim::HttpScript no_network() {
  winsim::HttpScript s;
  s.connect_fails = true;
  return s;
}

std::size_t count_lines(const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& line : winsim::trace())
    if (line.rfind(prefix, 0) == 0) ++n;
  return n;
}

bool in_order(const std::vector<std::string>& haystack, const std::vector<std::string>& needles) {
  std::size_t next = 0;
  for (const auto& line : haystack)
    if (next < needles.size() && line.rfind(needles[next], 0) == 0) ++next;
  return next == needles.size();
}

}  // namespace scenario
