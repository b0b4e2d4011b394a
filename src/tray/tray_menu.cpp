#include "tray/tray_menu.h"

#include "main/app.h"

namespace orbel {

void show_tray_menu() { evaluate_tick(); }

}  // namespace orbel
