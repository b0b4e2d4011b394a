#include "tray/eye_icon.h"

namespace orbel {

std::vector<std::uint8_t> render_eye_icon(bool on, bool light) {
  // Placeholder raster until the eye is drawn: ink colour, no coverage.
  (void)on;
  const std::uint8_t ink = light ? INK_LIGHT_TASKBAR : INK_DARK_TASKBAR;
  std::vector<std::uint8_t> pixels(EYE_ICON_BYTES, ink);
  for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0;
  return pixels;
}

}  // namespace orbel
