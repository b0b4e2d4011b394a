// The daily check for a newer version, run on a short-lived worker thread.
// The worker reports only through session.update_available (after a check
// that read a version) and session.last_update_check (back-dated after a
// failure, so the next attempt comes an hour later instead of a day).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orbel {

constexpr const char* UPDATE_USER_AGENT = "Orbel";
constexpr const char* MANIFEST_PATH = "/verktoy/orbel.json";
constexpr std::size_t MANIFEST_READ_LIMIT = 4096;
constexpr std::uint64_t UPDATE_RETRY_BACKDATE = 82800;  // a day less the hour to wait
constexpr std::uint32_t REQUIRED_HTTP_STATUS = 200;

// Starts the worker and returns at once. Called by the evaluation when a
// check is due, after it has stamped last_update_check.
void start_update_check();

// The worker's body: fetch the manifest, compare, record the verdict.
void run_update_check();

}  // namespace orbel
