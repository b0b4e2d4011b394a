// Last-error codes per thread, named mutexes within the Windows session, the
// module handle and the wall clock.
#include "machine.h"

namespace {
thread_local DWORD last_error = 0;
const auto MODULE_HANDLE = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x140000000ull));
}  // namespace

namespace winsim::detail {

void set_last_error(DWORD code) { last_error = code; }

void end_kernel_objects_of(int process) {
  Machine& m = machine();
  for (auto it = m.mutex_handles.begin(); it != m.mutex_handles.end();) {
    if (it->second.first == process) {
      if (--m.mutexes[it->second.second] <= 0) m.mutexes.erase(it->second.second);
      it = m.mutex_handles.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace winsim::detail

using namespace winsim::detail;

DWORD GetLastError() { return last_error; }
void SetLastError(DWORD code) { last_error = code; }

HANDLE CreateMutexW(void* security, BOOL initial_owner, LPCWSTR name) {
  if (enter("CreateMutexW", std::string(security ? "attributes" : "NULL") + ", " + (initial_owner ? "TRUE" : "FALSE") +
                                ", " + utf8(name))) {
    last_error = ERROR_ACCESS_DENIED;
    return nullptr;
  }
  Machine& m = machine();
  const std::u16string key = name ? wide(name) : u"<unnamed " + from_utf8(std::to_string(m.next_handle)) + u">";
  const bool existed = m.mutexes.count(key) != 0;
  ++m.mutexes[key];
  const std::uintptr_t handle = new_handle();
  m.mutex_handles[handle] = {m.process, key};
  last_error = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
  return reinterpret_cast<HANDLE>(handle);
}

BOOL CloseHandle(HANDLE handle) {
  enter("CloseHandle");
  Machine& m = machine();
  auto it = m.mutex_handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == m.mutex_handles.end()) {
    last_error = 6;  // ERROR_INVALID_HANDLE
    return FALSE;
  }
  if (--m.mutexes[it->second.second] <= 0) m.mutexes.erase(it->second.second);
  m.mutex_handles.erase(it);
  return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR module_name) {
  if (enter("GetModuleHandleW", module_name ? utf8(module_name) : "NULL") || module_name) {
    last_error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  return MODULE_HANDLE;
}

void GetSystemTimePreciseAsFileTime(FILETIME* time) {
  enter("GetSystemTimePreciseAsFileTime");
  const auto t = static_cast<std::uint64_t>(machine().filetime.load());
  time->dwLowDateTime = static_cast<DWORD>(t & 0xffffffffu);
  time->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

namespace winsim {

namespace {
bool is_thread_handle(const std::u16string& name) { return name.rfind(u"<thread ", 0) == 0; }
}  // namespace

std::size_t open_kernel_handles() {
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  std::size_t n = 0;
  for (const auto& entry : m.mutex_handles)
    if (entry.second.first == m.process) ++n;
  return n;
}

std::size_t open_thread_handles() {
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  std::size_t n = 0;
  for (const auto& entry : m.mutex_handles)
    if (entry.second.first == m.process && is_thread_handle(entry.second.second)) ++n;
  return n;
}

}  // namespace winsim
