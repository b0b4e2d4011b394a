// The daily check for a newer version, run on a short-lived worker thread.
#pragma once

namespace orbel {

// Starts the worker and returns at once. Called by the evaluation when a
// check is due, after it has stamped last_update_check.
void start_update_check();

}  // namespace orbel
