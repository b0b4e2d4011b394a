// What the run's X display really shows: screenshots of the whole Xvfb
// screen, taken with xwd, and the notification-area icon read out of them.
//
// With the prefix's virtual desktop ("shell", 800 x 600, placed at the X
// screen's origin), Wine's taskbar is the strip 800 x 20 at y = 580 and the
// first notification icon sits in the right-most slot, 20 x 20 at x = 780,
// drawn at 16 x 16 in the cell at (782, 582). Wine scales Orbel's 32 x 32 icon
// down by taking every second pixel, without smoothing: the cell's pixel
// (x, y) is the icon's pixel (2x + 1, 2y), blended over the taskbar by its
// alpha.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orbel_tray {

constexpr int TASKBAR_TOP = 580;
constexpr int TASKBAR_BOTTOM = 600;  // exclusive
constexpr int DESKTOP_RIGHT = 800;   // exclusive
constexpr int ICON_CELL_X = 782;
constexpr int ICON_CELL_Y = 582;
constexpr int ICON_CELL_SIZE = 16;
constexpr int ICON_SLOT_WIDTH = 20;
// A plain stretch of the taskbar, far from the start button and the tray.
constexpr int TASKBAR_SAMPLE_X = 700;
constexpr int TASKBAR_SAMPLE_Y = 590;

// Wine blends the icon with its own integer arithmetic; under Wine 8 every
// channel comes out exactly as (ink * a + background * (255 - a) + 127) / 255.
// Other rounding (a premultiplied source, a shift by 8 instead of a division
// by 255) can move a channel by one or two, so that much is let through; a
// wrong shape, ink, scale or position is off by tens to hundreds.
constexpr int ICON_TOLERANCE = 2;

struct Rgb {
  std::uint8_t r;
  std::uint8_t g;
  std::uint8_t b;
  bool operator==(const Rgb& other) const { return r == other.r && g == other.g && b == other.b; }
};

std::string describe(Rgb colour);

class Screenshot {
 public:
  int width() const { return width_; }
  int height() const { return height_; }
  Rgb at(int x, int y) const {
    return pixels_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(x)];
  }
  // Where the people-readable copy goes (or went): ARTIFACTS/NAME.png.
  const std::string& png_path() const { return png_path_; }

 private:
  friend bool take_screenshot(const std::string& name, Screenshot* shot, std::string* error);
  friend bool keep_screenshot(Screenshot* shot, std::string* error);
  int width_ = 0;
  int height_ = 0;
  std::vector<Rgb> pixels_;
  std::string xwd_path_;
  std::string png_path_;
};

// The directory in the build tree where the screenshots are kept.
std::string artifact_dir();

// Captures the run's display into ARTIFACTS/NAME.xwd and reads it.
bool take_screenshot(const std::string& name, Screenshot* shot, std::string* error);
// Converts the capture to ARTIFACTS/NAME.png (metadata stripped) and drops
// the raw file.
bool keep_screenshot(Screenshot* shot, std::string* error);

// Empty when the icon cell shows Orbel's eye (open or struck through, for a
// light or a dark taskbar) blended over `background`; otherwise what differs.
std::string icon_mismatch(const Screenshot& shot, bool on, bool light, Rgb background);

// Empty when the tray's end of the taskbar, from `left` to the desktop's
// right edge, is plain `background` everywhere but the icon cell: one icon,
// in its place, and nothing next to it.
std::string tray_clutter(const Screenshot& shot, int left, Rgb background);

// Takes screenshots until the tray shows the eye exactly once (or the
// timeout passes) and keeps the last one as NAME.png. Empty on success,
// otherwise what the last screenshot showed instead.
std::string await_icon(const std::string& name, bool on, bool light, DWORD timeout_ms = 15000);

}  // namespace orbel_tray
