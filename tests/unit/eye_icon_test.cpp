#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tray/eye_icon.h"

namespace {

using orbel::EYE_ICON_SIZE;
using orbel::render_eye_icon;

constexpr int LAST = EYE_ICON_SIZE - 1;

struct Look {
  const char* name;
  bool on;
  bool light;
};
constexpr Look LOOKS[] = {
    {"open, dark taskbar", true, false},
    {"open, light taskbar", true, true},
    {"struck, dark taskbar", false, false},
    {"struck, light taskbar", false, true},
};

std::size_t offset(int row, int col) { return static_cast<std::size_t>(row * 128 + col * 4); }

std::uint8_t alpha(const std::vector<std::uint8_t>& icon, int row, int col) { return icon[offset(row, col) + 3]; }

// Alpha is (n * 255) >> 4 for n covered samples out of 16; anything else
// means the coverage was scaled some other way.
int coverage_of(std::uint8_t a) {
  for (int n = 0; n <= 16; ++n) {
    if (((n * 255) >> 4) == a) return n;
  }
  return -1;
}

// An independent rendering in double precision. No sample lies close enough
// to an edge for float rounding to matter, so it must agree byte for byte.
std::vector<std::uint8_t> reference_icon(bool on, bool light) {
  const double c1 = 0.5089286, r1_sq = 1.1426084, c2 = 0.5305264, r2_sq = 0.8290583;
  const std::uint8_t ink = light ? 0x1A : 0xFF;
  std::vector<std::uint8_t> icon;
  for (int row = 0; row < 32; ++row) {
    for (int col = 0; col < 32; ++col) {
      int n = 0;
      for (int a = 0; a < 4; ++a) {
        for (int b = 0; b < 4; ++b) {
          const double y = (4 * row + a + 0.5) / 64.0 - 1.0;
          const double x = (4 * col + b + 0.5) / 64.0 - 1.0;
          const double r = std::hypot(x, y);
          const bool outer = std::hypot(x, y - c1) <= std::sqrt(r1_sq) && std::hypot(x, y + c1) <= std::sqrt(r1_sq);
          const bool inner = std::hypot(x, y - c2) <= std::sqrt(r2_sq) && std::hypot(x, y + c2) <= std::sqrt(r2_sq);
          const double d = std::fabs(x - y) / std::sqrt(2.0);
          bool covered;
          if (on) {
            covered = outer && (r <= 0.2 || r >= 0.34);
          } else if (std::fabs(x) < 0.8 && d < 0.07) {
            covered = true;
          } else if (d < 0.19) {
            covered = false;
          } else {
            covered = (outer && !inner) || r < 0.2;
          }
          n += covered ? 1 : 0;
        }
      }
      icon.insert(icon.end(), {ink, ink, ink, static_cast<std::uint8_t>(n * 255 / 16)});
    }
  }
  return icon;
}

TEST(EyeIcon, MatchesADoublePrecisionRendering) {
  for (const Look& look : LOOKS) {
    const std::vector<std::uint8_t> icon = render_eye_icon(look.on, look.light);
    ASSERT_EQ(icon.size(), 4096u) << look.name << ": 32 x 32 pixels of four bytes";
    EXPECT_EQ(icon, reference_icon(look.on, look.light)) << look.name;
  }
}

TEST(EyeIcon, PixelBytesAreBlueGreenRedAlphaInStraightInk) {
  struct Case {
    const char* name;
    bool on;
    bool light;
    std::size_t at;
    std::uint8_t bytes[4];
  };
  const Case cases[] = {
      {"centre (15,15), white", true, false, 1980, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"centre (15,15), light", true, true, 1980, {0x1A, 0x1A, 0x1A, 0xFF}},
      {"struck centre, white", false, false, 1980, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"struck centre, light", false, true, 1980, {0x1A, 0x1A, 0x1A, 0xFF}},
      {"corner keeps its ink, white", true, false, 0, {0xFF, 0xFF, 0xFF, 0x00}},
      {"corner keeps its ink, light", true, true, 0, {0x1A, 0x1A, 0x1A, 0x00}},
      {"partly covered keeps full ink", true, false, offset(11, 13), {0xFF, 0xFF, 0xFF, 47}},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> icon = render_eye_icon(c.on, c.light);
    const std::vector<std::uint8_t> got(icon.begin() + static_cast<std::ptrdiff_t>(c.at),
                                        icon.begin() + static_cast<std::ptrdiff_t>(c.at + 4));
    EXPECT_EQ(got, std::vector<std::uint8_t>(c.bytes, c.bytes + 4)) << c.name;
  }

  // Colour is never multiplied by alpha: every pixel carries the bare ink.
  for (const Look& look : LOOKS) {
    const std::uint8_t ink = look.light ? 0x1A : 0xFF;
    const std::vector<std::uint8_t> icon = render_eye_icon(look.on, look.light);
    for (std::size_t i = 0; i < icon.size(); i += 4) {
      ASSERT_TRUE(icon[i] == ink && icon[i + 1] == ink && icon[i + 2] == ink) << look.name << " at byte " << i;
      ASSERT_GE(coverage_of(icon[i + 3]), 0) << look.name << " alpha " << int{icon[i + 3]} << " at byte " << i;
    }
  }
}

TEST(EyeIcon, CoverageAtTellingPixels) {
  struct Case {
    const char* name;
    bool on;
    int row;
    int col;
    int alpha;
  };
  const Case cases[] = {
      {"open centre", true, 15, 15, 255},
      {"open centre, other quarter", true, 16, 16, 255},
      {"open left tip, outside", true, 15, 0, 0},
      {"open left tip (n12)", true, 15, 1, 191},
      {"open top edge sliver (n1)", true, 7, 10, 15},
      {"open top edge full", true, 7, 15, 255},
      {"open ring's outer edge (n3)", true, 11, 13, 47},
      {"open inside the ring", true, 11, 14, 0},
      {"open ring's outer edge, side (n13)", true, 14, 10, 207},
      {"open inside the ring, side", true, 14, 11, 0},
      {"open pupil above centre", true, 13, 15, 255},
      {"struck centre", false, 15, 15, 255},
      {"struck centre, other quarter", false, 16, 16, 255},
      {"struck stroke's top end (n1)", false, 1, 3, 15},
      {"struck stroke near its top (n11)", false, 2, 3, 175},
      {"struck stroke near its bottom (n11)", false, 29, 28, 175},
      {"struck stroke's bottom end (n1)", false, 30, 28, 15},
      {"struck past the stroke's top", false, 0, 3, 0},
      {"struck past the stroke's bottom", false, 31, 28, 0},
      {"struck row 15, clear band", false, 15, 12, 0},
      {"struck row 15, pupil edge (n3)", false, 15, 13, 47},
      {"struck row 15, pupil meets stroke (n15)", false, 15, 14, 239},
      {"struck pupil sliver above the band (n2)", false, 13, 18, 31},
      {"struck pupil sliver below the band (n2)", false, 18, 13, 31},
      {"struck between pupil and outline", false, 12, 15, 0},
      {"struck left tip (n12)", false, 15, 1, 191},
      {"struck outline cut by the band (n8)", false, 7, 12, 127},
  };
  for (const Case& c : cases) {
    for (bool light : {false, true}) {
      EXPECT_EQ(alpha(render_eye_icon(c.on, light), c.row, c.col), c.alpha) << c.name << (light ? ", light" : "");
    }
  }
}

TEST(EyeIcon, CoverageTotals) {
  struct Case {
    const char* name;
    bool on;
    int visible;
    int opaque;
    int coverage;
  };
  const Case cases[] = {
      {"open", true, 384, 260, 5188},
      {"struck", false, 324, 116, 3640},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> icon = render_eye_icon(c.on, false);
    int visible = 0, opaque = 0, coverage = 0;
    for (std::size_t i = 3; i < icon.size(); i += 4) {
      visible += icon[i] > 0 ? 1 : 0;
      opaque += icon[i] == 255 ? 1 : 0;
      coverage += coverage_of(icon[i]);
    }
    EXPECT_EQ(visible, c.visible) << c.name;
    EXPECT_EQ(opaque, c.opaque) << c.name;
    EXPECT_EQ(coverage, c.coverage) << c.name;
  }
}

TEST(EyeIcon, TransparentMargins) {
  struct Case {
    const char* name;
    bool on;
    int clear_rows;  // this many rows at the top and at the bottom
  };
  const Case cases[] = {
      {"open", true, 7},
      {"struck", false, 1},
  };
  for (const Case& c : cases) {
    const std::vector<std::uint8_t> icon = render_eye_icon(c.on, false);
    for (int row = 0; row < EYE_ICON_SIZE; ++row) {
      for (int col = 0; col < EYE_ICON_SIZE; ++col) {
        const bool margin = row < c.clear_rows || row > LAST - c.clear_rows || col == 0 || col == LAST;
        if (margin) {
          EXPECT_EQ(alpha(icon, row, col), 0) << c.name << " (" << row << "," << col << ")";
        }
      }
    }
    // The margins are exactly that wide: the next row in is inked.
    int inked = 0;
    for (int col = 0; col < EYE_ICON_SIZE; ++col) inked += alpha(icon, c.clear_rows, col);
    EXPECT_GT(inked, 0) << c.name;
  }
}

TEST(EyeIcon, Symmetry) {
  const std::vector<std::uint8_t> open = render_eye_icon(true, false);
  const std::vector<std::uint8_t> struck = render_eye_icon(false, false);
  bool struck_mirrors_left_right = true;
  bool struck_mirrors_top_bottom = true;
  for (int row = 0; row < EYE_ICON_SIZE; ++row) {
    for (int col = 0; col < EYE_ICON_SIZE; ++col) {
      const std::uint8_t a = alpha(open, row, col);
      EXPECT_EQ(a, alpha(open, LAST - row, col)) << "open top-bottom (" << row << "," << col << ")";
      EXPECT_EQ(a, alpha(open, row, LAST - col)) << "open left-right (" << row << "," << col << ")";
      const std::uint8_t s = alpha(struck, row, col);
      EXPECT_EQ(s, alpha(struck, LAST - row, LAST - col)) << "struck half turn (" << row << "," << col << ")";
      struck_mirrors_left_right = struck_mirrors_left_right && s == alpha(struck, row, LAST - col);
      struck_mirrors_top_bottom = struck_mirrors_top_bottom && s == alpha(struck, LAST - row, col);
    }
  }
  // The stroke runs one way only.
  EXPECT_FALSE(struck_mirrors_left_right);
  EXPECT_FALSE(struck_mirrors_top_bottom);
}

TEST(EyeIcon, ThemeOnlyChangesColourAndStateOnlyChangesAlpha) {
  for (bool on : {false, true}) {
    const std::vector<std::uint8_t> dark = render_eye_icon(on, false);
    const std::vector<std::uint8_t> light = render_eye_icon(on, true);
    for (std::size_t i = 3; i < dark.size(); i += 4) ASSERT_EQ(dark[i], light[i]) << "alpha byte " << i;
  }
  for (bool light : {false, true}) {
    const std::vector<std::uint8_t> open = render_eye_icon(true, light);
    const std::vector<std::uint8_t> struck = render_eye_icon(false, light);
    for (std::size_t i = 0; i < open.size(); ++i) {
      if (i % 4 != 3) {
        ASSERT_EQ(open[i], struck[i]) << "colour byte " << i;
      }
    }
  }
}

}  // namespace
