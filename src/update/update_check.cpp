#include "update/update_check.h"

namespace orbel {

void start_update_check() {
  // The version check arrives with its own worker.
}

}  // namespace orbel
