#include "autostart/autostart.h"
#include "main/app.h"
#include "state/clock.h"
#include "state/session_state.h"
#include "state/text.h"
#include "tray/menu_model.h"
#include "update/web_hosts.h"

namespace orbel {
namespace {

constexpr std::uint64_t SECONDS_PER_HOUR = 3600;

void open_page(const char* url) {
  const std::vector<WCHAR> operation = to_wide("open");
  const std::vector<WCHAR> address = to_wide(url);
  ShellExecuteW(nullptr, operation.data(), address.data(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace

void handle_command(std::uint16_t id) {
  if (id == ID_TOGGLE) {
    // Turning off ends any session; turning on this way has no end time.
    session.on = !session.on;
    session.until = 0;
    session.hours = 0;
    apply_state();
  } else if (id == ID_AUTOSTART) {
    toggle_autostart();
  } else if (id == ID_ABOUT) {
    open_page(HOME_PAGE_URL);
  } else if (id == ID_NEW_VERSION) {
    open_page(DOWNLOAD_PAGE_URL);
  } else if (id == ID_QUIT) {
    // WM_DESTROY runs inside this call; nothing may touch the window after it.
    DestroyWindow(session.window);
  } else if (static_cast<std::uint16_t>(id - ID_DURATION_BASE) <= MAX_DURATION_HOURS) {
    // A new duration replaces the session; the end counts from now.
    session.on = true;
    session.hours = static_cast<std::uint32_t>(id - ID_DURATION_BASE);
    session.until = session.hours == 0 ? 0 : unix_now() + session.hours * SECONDS_PER_HOUR;
    apply_state();
  }
}

}  // namespace orbel
