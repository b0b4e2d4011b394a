// Power plans with per-plan AC and DC value indexes, the active plan, the
// allocation that PowerGetActiveScheme hands out, and per-thread execution
// state requests.
#include <cstring>

#include "machine.h"

namespace winsim::detail {
namespace {

constexpr GUID BALANCED = {0x381b4222, 0xf694, 0x41f0, {0x96, 0x85, 0xff, 0x5b, 0xb2, 0x60, 0xdf, 0x2e}};
constexpr GUID HIGH_PERFORMANCE = {0x8c5e7fda, 0xe8bf, 0x4a96, {0x9a, 0x85, 0xa6, 0xe2, 0x3a, 0x8c, 0x63, 0x5c}};
constexpr GUID POWER_SAVER = {0xa1841308, 0x3541, 0x4fab, {0xbc, 0x81, 0xf7, 0x15, 0x56, 0xf2, 0x0b, 0x4a}};
constexpr GUID BUTTON_SUBGROUP = {0x4f971e89, 0xeebd, 0x4455, {0xa8, 0xde, 0x9e, 0x59, 0x04, 0x0e, 0x73, 0x47}};
constexpr GUID LID_ACTION = {0x5ca83367, 0x6e45, 0x459f, {0xa2, 0x7b, 0x47, 0x6b, 0x1d, 0x01, 0xc9, 0x36}};

bool same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::string setting_key(const GUID& subgroup, const GUID& setting) {
  std::string key(2 * sizeof(GUID), '\0');
  std::memcpy(&key[0], &subgroup, sizeof(GUID));
  std::memcpy(&key[sizeof(GUID)], &setting, sizeof(GUID));
  return key;
}

PowerPlan* find_plan(const GUID* guid) {
  if (!guid) return nullptr;
  for (auto& plan : machine().plans)
    if (same(plan.guid, *guid)) return &plan;
  return nullptr;
}

std::string setting_args(const GUID* scheme, const GUID* subgroup, const GUID* setting) {
  auto text = [](const GUID* g) { return g ? guid_text(*g) : std::string("NULL"); };
  return text(scheme) + ", " + text(subgroup) + ", " + text(setting);
}

DWORD read_index(const char* name, bool ac, HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                 LPDWORD index) {
  if (enter(name, setting_args(scheme, subgroup, setting))) return ERROR_ACCESS_DENIED;
  if (root || !subgroup || !setting || !index) return ERROR_INVALID_PARAMETER;
  PowerPlan* plan = find_plan(scheme);
  if (!plan) return ERROR_FILE_NOT_FOUND;
  auto it = plan->settings.find(setting_key(*subgroup, *setting));
  if (it == plan->settings.end()) return ERROR_FILE_NOT_FOUND;
  *index = ac ? it->second.ac : it->second.dc;
  return ERROR_SUCCESS;
}

DWORD write_index(const char* name, bool ac, HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting,
                  DWORD index) {
  if (enter(name, setting_args(scheme, subgroup, setting) + ", " + std::to_string(index))) return ERROR_ACCESS_DENIED;
  if (root || !subgroup || !setting) return ERROR_INVALID_PARAMETER;
  PowerPlan* plan = find_plan(scheme);
  if (!plan) return ERROR_FILE_NOT_FOUND;
  ValueIndexes& v = plan->settings[setting_key(*subgroup, *setting)];
  (ac ? v.ac : v.dc) = index;
  return ERROR_SUCCESS;
}

}  // namespace

void reset_power() {
  Machine& m = machine();
  m.plans.clear();
  for (auto [name, guid] : {std::pair<const char*, GUID>{"Balanced", BALANCED},
                            {"High performance", HIGH_PERFORMANCE},
                            {"Power saver", POWER_SAVER}}) {
    PowerPlan plan{name, guid, {}};
    plan.settings[setting_key(BUTTON_SUBGROUP, LID_ACTION)] = ValueIndexes{1, 1};
    m.plans.push_back(plan);
  }
  m.active_plan = 0;
  m.plans_created = 0;
  free_local_allocations();
}

void free_local_allocations() {
  Machine& m = machine();
  for (const void* p : m.local_allocations) delete static_cast<const GUID*>(p);
  m.local_allocations.clear();
}

}  // namespace winsim::detail

using namespace winsim::detail;

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) {
  if (enter("SetThreadExecutionState", hex(flags))) return 0;
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  auto it = m.execution_state.find(std::this_thread::get_id());
  const EXECUTION_STATE previous = it == m.execution_state.end() ? ES_CONTINUOUS : it->second;
  if (flags & ES_CONTINUOUS) m.execution_state[std::this_thread::get_id()] = flags;
  return previous;
}

DWORD PowerGetActiveScheme(HKEY root, GUID** active_scheme) {
  if (enter("PowerGetActiveScheme")) return ERROR_ACCESS_DENIED;
  if (root || !active_scheme) return ERROR_INVALID_PARAMETER;
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  auto* copy = new GUID(m.plans[m.active_plan].guid);
  m.local_allocations.insert(copy);
  *active_scheme = copy;
  return ERROR_SUCCESS;
}

DWORD PowerSetActiveScheme(HKEY root, const GUID* scheme) {
  if (enter("PowerSetActiveScheme", scheme ? guid_text(*scheme) : "NULL")) return ERROR_ACCESS_DENIED;
  if (root) return ERROR_INVALID_PARAMETER;
  PowerPlan* plan = find_plan(scheme);
  if (!plan) return ERROR_FILE_NOT_FOUND;
  machine().active_plan = static_cast<std::size_t>(plan - machine().plans.data());
  return ERROR_SUCCESS;
}

DWORD PowerReadACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting, LPDWORD index) {
  return read_index("PowerReadACValueIndex", true, root, scheme, subgroup, setting, index);
}
DWORD PowerReadDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting, LPDWORD index) {
  return read_index("PowerReadDCValueIndex", false, root, scheme, subgroup, setting, index);
}
DWORD PowerWriteACValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting, DWORD index) {
  return write_index("PowerWriteACValueIndex", true, root, scheme, subgroup, setting, index);
}
DWORD PowerWriteDCValueIndex(HKEY root, const GUID* scheme, const GUID* subgroup, const GUID* setting, DWORD index) {
  return write_index("PowerWriteDCValueIndex", false, root, scheme, subgroup, setting, index);
}

// Lists the plans, one GUID per index, in the order they were installed or
// created. A NULL buffer, or one too small for a GUID, gets ERROR_MORE_DATA
// and the size it needs; an index past the last plan ERROR_NO_MORE_ITEMS.
// Only the plan list is simulated: a scheme or subgroup to look inside, or
// another accessor, is refused as an invalid parameter.
DWORD PowerEnumerate(HKEY root, const GUID* scheme, const GUID* subgroup, POWER_DATA_ACCESSOR access, ULONG index,
                     UCHAR* buffer, DWORD* buffer_size) {
  if (enter("PowerEnumerate", std::to_string(access) + ", " + std::to_string(index) + ", " +
                                  (buffer ? "buffer" : "NULL") + ", " +
                                  (buffer_size ? std::to_string(*buffer_size) : std::string("NULL"))))
    return ERROR_ACCESS_DENIED;
  if (root || scheme || subgroup || access != ACCESS_SCHEME || !buffer_size) return ERROR_INVALID_PARAMETER;
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  if (index >= m.plans.size()) return ERROR_NO_MORE_ITEMS;
  if (!buffer || *buffer_size < sizeof(GUID)) {
    *buffer_size = sizeof(GUID);
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, &m.plans[index].guid, sizeof(GUID));
  *buffer_size = sizeof(GUID);
  return ERROR_SUCCESS;
}

HLOCAL LocalFree(HLOCAL memory) {
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  const bool known = m.local_allocations.count(memory) != 0;
  enter_cannot_fail("LocalFree", known ? "allocation" : memory ? "unknown pointer" : "NULL");
  if (!memory) return nullptr;
  if (!known) return memory;  // Windows hands back the pointer it could not free
  m.local_allocations.erase(memory);
  delete static_cast<GUID*>(memory);
  return nullptr;
}

namespace winsim {

GUID plan_guid(const std::string& name) {
  for (const auto& plan : machine().plans)
    if (plan.name == name) return plan.guid;
  return GUID{};
}
std::vector<GUID> plan_guids() {
  std::vector<GUID> out;
  for (const auto& plan : machine().plans) out.push_back(plan.guid);
  return out;
}
GUID create_plan(const std::string& name, ValueIndexes lid) {
  Machine& m = machine();
  // Data1 counts up from a base no built-in plan uses.
  GUID guid = {0x0e7b1000u + ++m.plans_created, 0x5eed, 0x4a11, {0x80, 0, 0, 0, 0, 0, 0, 1}};
  PowerPlan plan{name, guid, {}};
  plan.settings[setting_key(BUTTON_SUBGROUP, LID_ACTION)] = lid;
  m.plans.push_back(plan);
  return guid;
}
bool delete_plan(const GUID& plan) {
  Machine& m = machine();
  PowerPlan* p = find_plan(&plan);
  // Windows refuses to delete the active plan.
  if (!p || same(p->guid, m.plans[m.active_plan].guid)) return false;
  const GUID active = m.plans[m.active_plan].guid;
  m.plans.erase(m.plans.begin() + (p - m.plans.data()));
  m.active_plan = static_cast<std::size_t>(find_plan(&active) - m.plans.data());
  return true;
}
void set_active_plan(const GUID& plan) {
  PowerPlan* p = find_plan(&plan);
  if (p) machine().active_plan = static_cast<std::size_t>(p - machine().plans.data());
}
GUID active_plan() { return machine().plans[machine().active_plan].guid; }
ValueIndexes setting_indexes(const GUID& plan, const GUID& subgroup, const GUID& setting) {
  PowerPlan* p = find_plan(&plan);
  if (!p) return {0, 0};
  auto it = p->settings.find(setting_key(subgroup, setting));
  return it == p->settings.end() ? ValueIndexes{0, 0} : it->second;
}
void set_setting_indexes(const GUID& plan, const GUID& subgroup, const GUID& setting, ValueIndexes indexes) {
  PowerPlan* p = find_plan(&plan);
  if (p) p->settings[setting_key(subgroup, setting)] = indexes;
}
EXECUTION_STATE main_thread_execution_state() {
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  auto it = m.execution_state.find(m.main_thread);
  return it == m.execution_state.end() ? 0 : it->second;
}
std::size_t outstanding_local_allocations() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  return machine().local_allocations.size();
}

}  // namespace winsim
