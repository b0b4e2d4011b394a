#include "main/app.h"

namespace orbel {

void handle_command(std::uint16_t id) {
  // The menu commands arrive with the menu.
  (void)id;
}

}  // namespace orbel
