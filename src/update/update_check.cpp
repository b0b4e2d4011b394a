#include "update/update_check.h"

#include <array>
#include <optional>
#include <string>

#include "platform.h"
#include "state/clock.h"
#include "state/session_state.h"
#include "state/text.h"
#include "update/version.h"
#include "update/web_hosts.h"

namespace orbel {
namespace {

constexpr DWORD MANIFEST_REQUEST_FLAGS = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE;

// Brings the next attempt forward to an hour from now.
void record_failed_check() {
  const std::uint64_t now = unix_now();
  session.last_update_check.store(now >= UPDATE_RETRY_BACKDATE ? now - UPDATE_RETRY_BACKDATE : 0,
                                  std::memory_order_relaxed);
}

// The first MANIFEST_READ_LIMIT bytes of the manifest, or nothing when the
// server could not be asked or did not answer 200. A read that fails midway
// keeps what arrived before it.
std::optional<std::string> fetch_manifest() {
  HINTERNET root = nullptr;
  {
    const std::vector<WCHAR> agent = to_wide(UPDATE_USER_AGENT);
    root = InternetOpenW(agent.data(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  }
  if (root == nullptr) return std::nullopt;

  HINTERNET request = nullptr;
  {
    const std::vector<WCHAR> url = to_wide(std::string("https://") + MAKER_WEB_HOST + MANIFEST_PATH);
    request = InternetOpenUrlW(root, url.data(), nullptr, 0, MANIFEST_REQUEST_FLAGS, 0);
  }
  if (request == nullptr) {
    InternetCloseHandle(root);
    return std::nullopt;
  }

  // The call's own result is not needed: a status that cannot be read stays 0.
  DWORD status = 0;
  DWORD status_size = sizeof status;
  HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &status_size, nullptr);

  std::optional<std::string> body;
  if (status == REQUIRED_HTTP_STATUS) {
    std::array<char, MANIFEST_READ_LIMIT> buffer{};
    std::size_t received = 0;
    while (received < buffer.size()) {
      const auto wanted = static_cast<DWORD>(buffer.size() - received);
      DWORD got = 0;
      if (!InternetReadFile(request, buffer.data() + received, wanted, &got) || got == 0) break;
      received += got > wanted ? wanted : got;  // never believe more than was asked for
    }
    body = std::string(buffer.data(), received);
  }
  InternetCloseHandle(request);
  InternetCloseHandle(root);
  return body;
}

DWORD WINAPI update_worker(LPVOID) {
  run_update_check();
  return 0;
}

}  // namespace

void run_update_check() {
  const std::optional<std::string> manifest = fetch_manifest();
  const std::optional<std::string> version = manifest ? extract_manifest_version(*manifest) : std::nullopt;
  if (!version) {
    record_failed_check();
    return;
  }
  session.update_available.store(is_newer_version(*version, OWN_VERSION), std::memory_order_relaxed);
}

void start_update_check() {
  HANDLE worker = CreateThread(nullptr, 0, update_worker, nullptr, 0, nullptr);
  if (worker == nullptr) {
    // No worker, no check: retry in an hour as after any failed check.
    record_failed_check();
    return;
  }
  CloseHandle(worker);  // detached: nothing waits for it
}

}  // namespace orbel
