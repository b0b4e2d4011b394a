// HKEY_CURRENT_USER as a flat map of key paths. Paths and value names compare
// case-insensitively; RegGetValueW applies its RRF_RT_* restriction after
// the data has been fetched, as Windows and Wine do.
#include <cstring>

#include "machine.h"

namespace winsim::detail {

void reset_registry() { machine().registry.clear(); }

namespace {

RegistryKey* find_key(const std::u16string& path) {
  auto& registry = machine().registry;
  auto it = registry.find(path);
  return it == registry.end() ? nullptr : &it->second;
}

RegistryKey& create_key(const std::u16string& path) {
  auto& registry = machine().registry;
  for (std::size_t i = path.find(u'\\'); i != std::u16string::npos; i = path.find(u'\\', i + 1))
    registry[path.substr(0, i)];
  return registry[path];
}

DWORD type_mask(DWORD type) {
  switch (type) {
    case REG_NONE: return RRF_RT_REG_NONE;
    case REG_SZ: return RRF_RT_REG_SZ;
    case REG_EXPAND_SZ: return RRF_RT_REG_EXPAND_SZ;
    case REG_BINARY: return RRF_RT_REG_BINARY;
    case REG_DWORD: return RRF_RT_REG_DWORD;
    case REG_MULTI_SZ: return RRF_RT_REG_MULTI_SZ;
    case REG_QWORD: return RRF_RT_REG_QWORD;
    default: return 0;
  }
}

bool is_string_type(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

}  // namespace
}  // namespace winsim::detail

using namespace winsim::detail;

LSTATUS RegGetValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD flags, LPDWORD type, PVOID data,
                     LPDWORD data_size) {
  if (enter("RegGetValueW", utf8(sub_key) + ", " + utf8(value) + ", " + hex(flags))) return ERROR_ACCESS_DENIED;
  if (key != HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  if ((flags & RRF_RT_ANY) == 0 || (data && !data_size)) return ERROR_INVALID_PARAMETER;
  RegistryKey* k = find_key(normalise_key_path(sub_key));
  if (!k) return ERROR_FILE_NOT_FOUND;
  auto it = k->values.find(fold(wide(value)));
  if (it == k->values.end()) return ERROR_FILE_NOT_FOUND;
  const RegistryValue& v = it->second;

  // String data comes back NUL-terminated even when it was stored without one.
  std::vector<std::uint8_t> bytes = v.data;
  if (is_string_type(v.type) && (bytes.size() < 2 || bytes[bytes.size() - 1] != 0 || bytes[bytes.size() - 2] != 0)) {
    if (bytes.size() % 2) bytes.push_back(0);
    bytes.push_back(0);
    bytes.push_back(0);
  }
  const auto needed = static_cast<DWORD>(bytes.size());
  LSTATUS result = ERROR_SUCCESS;
  if (data) {
    if (*data_size < needed)
      result = ERROR_MORE_DATA;
    else if (needed)
      std::memcpy(data, bytes.data(), needed);
  }
  if (data_size) *data_size = needed;

  if (!(flags & type_mask(v.type))) {
    result = ERROR_UNSUPPORTED_TYPE;
  } else if (v.type == REG_BINARY) {
    const DWORD restriction = flags & RRF_RT_ANY;
    const DWORD expected = restriction == RRF_RT_DWORD ? 4 : restriction == RRF_RT_QWORD ? 8 : 0;
    if (expected && needed != expected) result = ERROR_DATATYPE_MISMATCH;
  }
  if (type) *type = v.type;
  return result;
}

LSTATUS RegSetKeyValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value, DWORD type, LPCVOID data, DWORD data_size) {
  if (enter("RegSetKeyValueW", utf8(sub_key) + ", " + utf8(value) + ", " + std::to_string(type) + ", " +
                                   std::to_string(data_size)))
    return ERROR_ACCESS_DENIED;
  if (key != HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  if (!data && data_size) return ERROR_INVALID_PARAMETER;
  RegistryKey& k = create_key(normalise_key_path(sub_key));
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  RegistryValue v{wide(value), type, std::vector<std::uint8_t>(bytes, bytes + data_size)};
  auto existing = k.values.find(fold(v.name));
  if (existing != k.values.end()) v.name = existing->second.name;
  machine().registry_writes.push_back(winsim::RegWrite{utf8(sub_key), utf8(value), type, v.data});
  k.values[fold(v.name)] = std::move(v);
  return ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyValueW(HKEY key, LPCWSTR sub_key, LPCWSTR value) {
  if (enter("RegDeleteKeyValueW", utf8(sub_key) + ", " + utf8(value))) return ERROR_ACCESS_DENIED;
  if (key != HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  RegistryKey* k = find_key(normalise_key_path(sub_key));
  if (!k) return ERROR_FILE_NOT_FOUND;
  return k->values.erase(fold(wide(value))) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

LSTATUS RegDeleteTreeW(HKEY key, LPCWSTR sub_key) {
  if (enter("RegDeleteTreeW", utf8(sub_key))) return ERROR_ACCESS_DENIED;
  if (key != HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  const std::u16string path = normalise_key_path(sub_key);
  auto& registry = machine().registry;
  if (!registry.count(path)) return ERROR_FILE_NOT_FOUND;
  for (auto it = registry.begin(); it != registry.end();) {
    const bool inside = it->first == path || it->first.rfind(path + u"\\", 0) == 0;
    it = inside ? registry.erase(it) : std::next(it);
  }
  return ERROR_SUCCESS;
}

namespace winsim {

std::optional<RegValue> reg_get(const std::string& key, const std::string& name) {
  RegistryKey* k = find_key(normalise_key_path(from_utf8(key).c_str()));
  if (!k) return std::nullopt;
  auto it = k->values.find(fold(from_utf8(name)));
  if (it == k->values.end()) return std::nullopt;
  return RegValue{it->second.type, it->second.data};
}

std::optional<std::uint64_t> reg_get_qword(const std::string& key, const std::string& name) {
  auto v = reg_get(key, name);
  if (!v || v->type != REG_QWORD || v->data.size() != 8) return std::nullopt;
  std::uint64_t out;
  std::memcpy(&out, v->data.data(), 8);
  return out;
}

bool reg_key_exists(const std::string& key) { return find_key(normalise_key_path(from_utf8(key).c_str())) != nullptr; }

void reg_set(const std::string& key, const std::string& name, DWORD type, std::vector<std::uint8_t> data) {
  RegistryKey& k = create_key(normalise_key_path(from_utf8(key).c_str()));
  const std::u16string wide_name = from_utf8(name);
  k.values[fold(wide_name)] = RegistryValue{wide_name, type, std::move(data)};
}

void reg_set_qword(const std::string& key, const std::string& name, std::uint64_t value) {
  std::vector<std::uint8_t> bytes(8);
  std::memcpy(bytes.data(), &value, 8);
  reg_set(key, name, REG_QWORD, bytes);
}

void reg_set_dword(const std::string& key, const std::string& name, std::uint32_t value) {
  std::vector<std::uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  reg_set(key, name, REG_DWORD, bytes);
}

void reg_set_sz(const std::string& key, const std::string& name, const std::string& text) {
  std::u16string w = from_utf8(text);
  std::vector<std::uint8_t> bytes((w.size() + 1) * 2, 0);
  for (std::size_t i = 0; i < w.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(w[i] & 0xff);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(w[i] >> 8);
  }
  reg_set(key, name, REG_SZ, bytes);
}

void reg_delete(const std::string& key, const std::string& name) {
  RegistryKey* k = find_key(normalise_key_path(from_utf8(key).c_str()));
  if (k) k->values.erase(fold(from_utf8(name)));
}

std::vector<RegWrite> registry_writes() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  return machine().registry_writes;
}

std::vector<std::string> reg_value_names(const std::string& key) {
  std::vector<std::string> names;
  RegistryKey* k = find_key(normalise_key_path(from_utf8(key).c_str()));
  if (k)
    for (const auto& entry : k->values) names.push_back(utf8(entry.second.name));
  return names;
}

}  // namespace winsim
