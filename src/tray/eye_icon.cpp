#include "tray/eye_icon.h"

#include <cmath>

namespace orbel {

namespace {

// Each pixel is judged from a 4 x 4 grid of sub-samples over a square that
// spans -1..1 in both axes, Y growing downwards. Every constant is a float
// literal and every step is done in float: the sample coordinates are exact
// binary fractions, and no sample falls near enough to an edge for rounding
// to decide it, so the raster is the same on every compiler and FPU mode.
constexpr int SUBSAMPLES = 4;
constexpr float STEP = 0.0078125f;  // one sub-sample: 2 / (32 * 4)

// Both almonds are the overlap of two equal circles whose centres sit at
// (0, +c) and (0, -c): with half-width w and half-height h, R = (w² + h²) / 2h
// and c = R - h. Outer (0.94, 0.56), inner (0.74, 0.38).
constexpr float OUTER_OFFSET = 0.5089286f;
constexpr float OUTER_RADIUS_SQ = 1.1426084f;
constexpr float INNER_OFFSET = 0.5305264f;
constexpr float INNER_RADIUS_SQ = 0.8290583f;

constexpr float PUPIL_RADIUS = 0.2f;
constexpr float RING_RADIUS = 0.34f;

// The strike runs along the X = Y diagonal; the clear band either side of it
// keeps the stroke readable where it crosses the almond's outline at 16 px.
constexpr float DIAGONAL_DIVISOR = 1.4142135f;
constexpr float STROKE_HALF_WIDTH = 0.07f;
constexpr float STROKE_REACH = 0.8f;
constexpr float CLEAR_MARGIN = 0.19f;

float sample_coordinate(int sub_index) {
  return (static_cast<float>(sub_index) + 0.5f) * STEP * 2.0f - 1.0f;
}

// The parts of every test that depend on Y alone. The renderer takes
// 128 x 128 samples per call, so these are worked out once per sub-row
// rather than once per sample.
struct SubRow {
  float y;
  float y_sq;
  float outer_top_sq;  // (Y - c1)²
  float outer_bottom_sq;  // (Y + c1)²
  float inner_top_sq;
  float inner_bottom_sq;
};

SubRow sub_row(int sub_index) {
  const float y = sample_coordinate(sub_index);
  const float outer_top = y - OUTER_OFFSET;
  const float outer_bottom = y + OUTER_OFFSET;
  const float inner_top = y - INNER_OFFSET;
  const float inner_bottom = y + INNER_OFFSET;
  return SubRow{y,
                y * y,
                outer_top * outer_top,
                outer_bottom * outer_bottom,
                inner_top * inner_top,
                inner_bottom * inner_bottom};
}

bool inside_outer(const SubRow& s, float x_sq) {
  return s.outer_top_sq + x_sq <= OUTER_RADIUS_SQ && s.outer_bottom_sq + x_sq <= OUTER_RADIUS_SQ;
}

bool inside_inner(const SubRow& s, float x_sq) {
  return s.inner_top_sq + x_sq <= INNER_RADIUS_SQ && s.inner_bottom_sq + x_sq <= INNER_RADIUS_SQ;
}

// A filled almond with a transparent ring cut out around the pupil.
bool open_eye_covers(const SubRow& s, float x) {
  const float x_sq = x * x;
  if (!inside_outer(s, x_sq)) return false;
  const float r = std::sqrt(s.y_sq + x_sq);
  return !(r > PUPIL_RADIUS && r < RING_RADIUS);
}

// Only the almond's outline and the pupil, with a diagonal stroke through
// them. The rules are ordered: the stroke wins over the clear band around
// it, and the band wins over the outline and pupil it cuts.
bool struck_eye_covers(const SubRow& s, float x) {
  const float d = std::fabs(x - s.y) / DIAGONAL_DIVISOR;
  if (std::fabs(x) < STROKE_REACH && d < STROKE_HALF_WIDTH) return true;
  if (d < CLEAR_MARGIN) return false;
  const float x_sq = x * x;
  if (inside_outer(s, x_sq) && !inside_inner(s, x_sq)) return true;
  return std::sqrt(s.y_sq + x_sq) < PUPIL_RADIUS;
}

}  // namespace

std::vector<std::uint8_t> render_eye_icon(bool on, bool light) {
  const std::uint8_t ink = light ? INK_LIGHT_TASKBAR : INK_DARK_TASKBAR;
  std::vector<std::uint8_t> pixels(EYE_ICON_BYTES);
  std::uint8_t* out = pixels.data();
  for (int row = 0; row < EYE_ICON_SIZE; ++row) {
    SubRow rows[SUBSAMPLES];
    for (int a = 0; a < SUBSAMPLES; ++a) rows[a] = sub_row(SUBSAMPLES * row + a);
    for (int col = 0; col < EYE_ICON_SIZE; ++col) {
      unsigned covered = 0;
      for (int b = 0; b < SUBSAMPLES; ++b) {
        const float x = sample_coordinate(SUBSAMPLES * col + b);
        for (const SubRow& s : rows) covered += (on ? open_eye_covers(s, x) : struck_eye_covers(s, x)) ? 1u : 0u;
      }
      out[0] = ink;
      out[1] = ink;
      out[2] = ink;
      // 16 samples map onto 0..255 by (n * 255) >> 4, so a full pixel is
      // exactly opaque and a single sample still shows.
      out[3] = static_cast<std::uint8_t>((covered * 255u) >> 4);
      out += 4;
    }
  }
  return pixels;
}

}  // namespace orbel
