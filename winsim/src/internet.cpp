// A scripted WinINet. Its calls come from the product's worker thread, so
// each takes the machine's lock.
#include <algorithm>
#include <cstring>

#include "machine.h"

namespace winsim::detail {
namespace {

struct InternetHandle {
  bool is_request;
  std::uintptr_t root;  // for a request: its root handle
  bool closed;
  std::size_t record;   // for a request: index into the request log
  std::size_t delivered;
};

struct Internet {
  std::deque<winsim::HttpScript> scripts;
  std::map<std::uintptr_t, InternetHandle> handles;
  std::map<std::uintptr_t, winsim::HttpScript> request_scripts;
  std::vector<winsim::HttpRequestRecord> requests;
  std::vector<std::string> problems;
  std::map<std::uintptr_t, std::u16string> root_agents;
  std::map<std::uintptr_t, std::pair<DWORD, bool>> root_settings;
};

Internet& internet() {
  static Internet instance;
  return instance;
}

}  // namespace

void reset_internet() { internet() = Internet{}; }

void end_internet_handles() {
  for (auto& h : internet().handles) h.second.closed = true;
}

}  // namespace winsim::detail

using namespace winsim::detail;

HINTERNET InternetOpenW(LPCWSTR agent, DWORD access_type, LPCWSTR proxy, LPCWSTR proxy_bypass, DWORD flags) {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  if (enter("InternetOpenW", utf8(agent) + ", " + std::to_string(access_type) + ", " + (proxy ? "proxy" : "NULL") +
                                 ", " + (proxy_bypass ? "bypass" : "NULL") + ", " + hex(flags))) {
    set_last_error(12004);  // ERROR_INTERNET_INTERNAL_ERROR
    return nullptr;
  }
  Internet& net = internet();
  if (!net.scripts.empty() && net.scripts.front().open_fails) {
    net.scripts.pop_front();
    set_last_error(12004);
    return nullptr;
  }
  const std::uintptr_t handle = new_handle();
  net.handles[handle] = InternetHandle{false, 0, false, 0, 0};
  net.root_agents[handle] = wide(agent);
  net.root_settings[handle] = {access_type, proxy != nullptr};
  return reinterpret_cast<HINTERNET>(handle);
}

HINTERNET InternetOpenUrlW(HINTERNET root, LPCWSTR url, LPCWSTR headers, DWORD headers_length, DWORD flags,
                           DWORD_PTR context) {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  if (enter("InternetOpenUrlW", utf8(url) + ", " + (headers ? "headers" : "NULL") + ", " +
                                    std::to_string(headers_length) + ", " + hex(flags) + ", " + std::to_string(context))) {
    set_last_error(12029);  // ERROR_INTERNET_CANNOT_CONNECT
    return nullptr;
  }
  Internet& net = internet();
  auto r = net.handles.find(reinterpret_cast<std::uintptr_t>(root));
  if (r == net.handles.end() || r->second.closed || r->second.is_request) {
    set_last_error(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  winsim::HttpScript script;
  script.connect_fails = true;
  if (!net.scripts.empty()) {
    script = net.scripts.front();
    net.scripts.pop_front();
  }
  const auto settings = net.root_settings[r->first];
  net.requests.push_back(
      winsim::HttpRequestRecord{net.root_agents[r->first], settings.first, settings.second, wide(url), flags, 0});
  if (script.connect_fails) {
    set_last_error(12007);  // ERROR_INTERNET_NAME_NOT_RESOLVED
    return nullptr;
  }
  const std::uintptr_t handle = new_handle();
  net.handles[handle] = InternetHandle{true, r->first, false, net.requests.size() - 1, 0};
  net.request_scripts[handle] = script;
  return reinterpret_cast<HINTERNET>(handle);
}

BOOL HttpQueryInfoW(HINTERNET request, DWORD info_level, LPVOID buffer, LPDWORD buffer_length, LPDWORD index) {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  if (enter("HttpQueryInfoW", hex(info_level) + ", " + (buffer_length ? std::to_string(*buffer_length) : "NULL") +
                                  ", " + (index ? "index" : "NULL")))
    return FALSE;
  Internet& net = internet();
  auto it = net.request_scripts.find(reinterpret_cast<std::uintptr_t>(request));
  if (it == net.request_scripts.end() || net.handles[it->first].closed) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (info_level != (HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER) || !buffer || !buffer_length) {
    set_last_error(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (it->second.status_query_fails) {
    set_last_error(12150);  // ERROR_HTTP_HEADER_NOT_FOUND
    return FALSE;
  }
  if (*buffer_length < sizeof(DWORD)) {
    *buffer_length = sizeof(DWORD);
    set_last_error(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  *static_cast<DWORD*>(buffer) = it->second.status;
  *buffer_length = sizeof(DWORD);
  return TRUE;
}

BOOL InternetReadFile(HINTERNET request, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read) {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  if (enter("InternetReadFile", std::to_string(bytes_to_read))) {
    if (bytes_read) *bytes_read = 0;
    set_last_error(12030);  // ERROR_INTERNET_CONNECTION_ABORTED
    return FALSE;
  }
  Internet& net = internet();
  auto it = net.request_scripts.find(reinterpret_cast<std::uintptr_t>(request));
  if (it == net.request_scripts.end() || net.handles[it->first].closed || !buffer || !bytes_read) {
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  InternetHandle& h = net.handles[it->first];
  const winsim::HttpScript& script = it->second;
  const std::size_t left = script.body.size() - h.delivered;
  const std::size_t n = std::min<std::size_t>({left, script.chunk, bytes_to_read});
  if (script.fail_read_after && h.delivered >= *script.fail_read_after) {
    // A failed read may still have scribbled into the buffer and the count;
    // neither may be believed.
    std::memset(buffer, '"', std::min<std::size_t>(bytes_to_read, 16));
    *bytes_read = std::min<DWORD>(bytes_to_read, 16);
    set_last_error(12030);  // ERROR_INTERNET_CONNECTION_ABORTED
    return FALSE;
  }
  std::memcpy(buffer, script.body.data() + h.delivered, n);
  h.delivered += n;
  net.requests[h.record].bytes_delivered = h.delivered;
  *bytes_read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL InternetCloseHandle(HINTERNET handle) {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  enter_cannot_fail("InternetCloseHandle");
  Internet& net = internet();
  auto it = net.handles.find(reinterpret_cast<std::uintptr_t>(handle));
  if (it == net.handles.end()) {
    net.problems.push_back("closed a handle that was never opened");
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (it->second.closed) {
    net.problems.push_back("closed a handle twice");
    set_last_error(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!it->second.is_request) {
    for (const auto& other : net.handles)
      if (other.second.is_request && other.second.root == it->first && !other.second.closed)
        net.problems.push_back("closed the root handle before its request");
  }
  it->second.closed = true;
  return TRUE;
}

namespace winsim {

void script_http(HttpScript script) {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  internet().scripts.push_back(std::move(script));
}

std::vector<HttpRequestRecord> http_requests() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  return internet().requests;
}

std::vector<std::string> internet_handle_problems() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  return internet().problems;
}

std::size_t open_internet_handles() {
  std::lock_guard<std::recursive_mutex> guard(machine().lock);
  std::size_t n = 0;
  for (const auto& h : internet().handles)
    if (!h.second.closed) ++n;
  return n;
}

}  // namespace winsim
