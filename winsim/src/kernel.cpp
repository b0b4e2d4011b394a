// Last-error codes per thread, named mutexes within the Windows session,
// threads, the module handle and the wall clock. Threads are real, so a test
// runs the product's worker beside the UI thread; they take no virtual time
// (see wait_for_threads).
#include <algorithm>
#include <thread>

#include "machine.h"

namespace {
thread_local DWORD last_error = 0;
const auto MODULE_HANDLE = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x140000000ull));
}  // namespace

namespace winsim::detail {
namespace {

struct Threads {
  std::mutex lock;
  std::vector<std::thread> running;
  std::size_t started = 0;
  // A test program may end while a worker still runs (as a real process
  // would); its thread must still be joined before the machine goes away.
  ~Threads() {
    for (auto& t : running)
      if (t.joinable()) t.join();
  }
};

Threads& threads() {
  // The machine must outlive the threads' destructor, which joins workers
  // that still use it: statics are destroyed in reverse order of creation.
  machine();
  static Threads instance;
  return instance;
}

}  // namespace

void set_last_error(DWORD code) { last_error = code; }

void join_threads() {
  for (;;) {
    std::vector<std::thread> batch;
    {
      std::lock_guard<std::mutex> guard(threads().lock);
      batch.swap(threads().running);
    }
    if (batch.empty()) return;
    for (auto& t : batch) t.join();
  }
}

void reset_kernel() {
  Machine& m = machine();
  m.mutexes.clear();
  m.mutex_handles.clear();
  m.thread_handles.clear();
  std::lock_guard<std::mutex> guard(threads().lock);
  threads().started = 0;
}

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
  for (auto it = m.thread_handles.begin(); it != m.thread_handles.end();)
    it = it->second == process ? m.thread_handles.erase(it) : std::next(it);
}

}  // namespace winsim::detail

using namespace winsim::detail;

DWORD GetLastError() { return last_error; }

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
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  enter_cannot_fail("CloseHandle");
  const auto key = reinterpret_cast<std::uintptr_t>(handle);
  if (m.thread_handles.erase(key)) return TRUE;
  auto it = m.mutex_handles.find(key);
  if (it == m.mutex_handles.end()) {
    last_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (--m.mutexes[it->second.second] <= 0) m.mutexes.erase(it->second.second);
  m.mutex_handles.erase(it);
  return TRUE;
}

HANDLE CreateThread(void* security, std::size_t stack_size, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD flags, LPDWORD thread_id) {
  if (enter("CreateThread", std::string(security ? "attributes" : "NULL") + ", " + std::to_string(stack_size) + ", " +
                                hex(flags))) {
    set_last_error(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!start) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // The handle exists before the thread runs; the caller must close it.
  Machine& m = machine();
  std::uintptr_t handle;
  {
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    handle = new_handle();
    m.thread_handles[handle] = m.process;
  }
  std::lock_guard<std::mutex> guard(threads().lock);
  // A cut ends the thread with the rest of the process.
  threads().running.emplace_back([start, parameter] {
    try {
      start(parameter);
    } catch (const winsim::ProcessCut&) {
    }
  });
  ++threads().started;
  if (thread_id) *thread_id = static_cast<DWORD>(threads().started);
  return reinterpret_cast<HANDLE>(handle);
}

HMODULE GetModuleHandleW(LPCWSTR module_name) {
  if (enter("GetModuleHandleW", module_name ? utf8(module_name) : "NULL") || module_name) {
    last_error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  return MODULE_HANDLE;
}

void GetSystemTimePreciseAsFileTime(FILETIME* time) {
  enter_cannot_fail("GetSystemTimePreciseAsFileTime");
  const auto t = static_cast<std::uint64_t>(machine().filetime.load());
  time->dwLowDateTime = static_cast<DWORD>(t & 0xffffffffu);
  time->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

namespace winsim {

void wait_for_threads() { join_threads(); }

std::size_t open_thread_handles() {
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  return static_cast<std::size_t>(std::count_if(m.thread_handles.begin(), m.thread_handles.end(),
                                                [&m](const auto& entry) { return entry.second == m.process; }));
}

std::size_t open_kernel_handles() {
  Machine& m = machine();
  std::lock_guard<std::recursive_mutex> guard(m.lock);
  const auto mutexes = std::count_if(m.mutex_handles.begin(), m.mutex_handles.end(),
                                     [&m](const auto& entry) { return entry.second.first == m.process; });
  return static_cast<std::size_t>(mutexes) + open_thread_handles();
}

}  // namespace winsim
