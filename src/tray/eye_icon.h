// The notification-area eye, drawn as a 32 x 32 BGRA raster: open while a
// session is active, struck through while it is not; white ink on a dark
// taskbar, near-black on a light one. Pure: no operating-system call.
#pragma once

#include <cstdint>
#include <vector>

namespace orbel {

constexpr int EYE_ICON_SIZE = 32;
constexpr std::size_t EYE_ICON_BYTES = EYE_ICON_SIZE * EYE_ICON_SIZE * 4;
constexpr std::uint8_t INK_DARK_TASKBAR = 0xFF;
constexpr std::uint8_t INK_LIGHT_TASKBAR = 0x1A;

// 4096 bytes: rows top to bottom, pixels left to right, each blue, green,
// red, alpha (not premultiplied).
std::vector<std::uint8_t> render_eye_icon(bool on, bool light);

}  // namespace orbel
