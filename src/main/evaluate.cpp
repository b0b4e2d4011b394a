#include "main/app.h"

namespace orbel {

void evaluate_tick() {
  // The periodic evaluation arrives with the menu and its commands.
}

}  // namespace orbel
