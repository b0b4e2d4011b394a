// icongen OUTDIR: draws Orbel's application icon and writes orbel-16.png,
// orbel-32.png, orbel-48.png, orbel-256.png and orbel.ico (the four PNGs in
// one icon container) into OUTDIR.
//
// The icon is the tray's open eye in white on a near-black rounded square.
// It is drawn at build time rather than checked in as binary art, so a change
// to the eye is a reviewable change to numbers in source.
// Every run writes the same bytes: no time or text chunks, fixed zlib
// settings, and only IEEE-exact arithmetic (+, -, *, /, sqrt) in the shape
// tests.

#include <png.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace orbel::icongen {

namespace {

constexpr int SIZES[] = {16, 32, 48, 256};

// 16 x 16 samples per pixel: enough that the pupil and ring, barely two
// pixels across at 16 px, still come out with smooth edges.
constexpr int SUPERSAMPLE = 16;

// Same almonds, pupil and ring as the tray's open eye (src/tray/eye_icon.cpp),
// in a frame where the eye spans -0.94..0.94 across and Y grows downwards.
constexpr double OUTER_OFFSET = 0.5089286;
constexpr double OUTER_RADIUS_SQ = 1.1426084;
constexpr double PUPIL_RADIUS = 0.2;
constexpr double RING_RADIUS = 0.34;

// Tile colour: close enough to black to read as the eye's background on any
// wallpaper, light enough that the ring (which shows the tile) stays
// distinct from a pure black taskbar.
constexpr int TILE_RGB = 23;
constexpr int EYE_RGB = 255;

// Proportions of the tile and of the eye on it.
constexpr double MARGIN_SHARE = 0.1;          // transparent margin, of the image side
constexpr double CORNER_SHARE = 0.22;         // corner radius, of the tile side
constexpr double EYE_UNIT_SHARE = 0.42;       // one eye-frame unit, of the tile side

struct Raster {
  int size = 0;
  std::vector<std::uint8_t> rgba;  // rows top to bottom, R G B A, straight alpha
};

struct Layout {
  double centre;
  double half_side;
  double corner;
  double unit;
};

Layout layout_for(int size) {
  // A whole-pixel margin keeps the tile's straight edges crisp at 16 and 32 px.
  const double margin = std::floor(size * MARGIN_SHARE + 0.5);
  const double side = size - 2.0 * margin;
  return Layout{size / 2.0, side / 2.0, side * CORNER_SHARE, side * EYE_UNIT_SHARE};
}

bool inside_tile(const Layout& l, double x, double y) {
  const double dx = std::fabs(x - l.centre);
  const double dy = std::fabs(y - l.centre);
  if (dx > l.half_side || dy > l.half_side) return false;
  const double cx = dx - (l.half_side - l.corner);
  const double cy = dy - (l.half_side - l.corner);
  if (cx <= 0.0 || cy <= 0.0) return true;
  return cx * cx + cy * cy <= l.corner * l.corner;
}

bool inside_eye(const Layout& l, double x, double y) {
  const double ex = (x - l.centre) / l.unit;
  const double ey = (y - l.centre) / l.unit;
  const double top = ey - OUTER_OFFSET;
  const double bottom = ey + OUTER_OFFSET;
  const double ex_sq = ex * ex;
  if (top * top + ex_sq > OUTER_RADIUS_SQ || bottom * bottom + ex_sq > OUTER_RADIUS_SQ) return false;
  const double r = std::sqrt(ey * ey + ex_sq);
  return !(r > PUPIL_RADIUS && r < RING_RADIUS);
}

std::uint8_t rounded_ratio(long numerator, long denominator) {
  return static_cast<std::uint8_t>((numerator + denominator / 2) / denominator);
}

Raster draw_icon(int size) {
  const Layout l = layout_for(size);
  Raster raster{size, std::vector<std::uint8_t>(static_cast<std::size_t>(size) * static_cast<std::size_t>(size) * 4)};
  constexpr long SAMPLES = static_cast<long>(SUPERSAMPLE) * SUPERSAMPLE;
  std::uint8_t* out = raster.rgba.data();
  for (int row = 0; row < size; ++row) {
    for (int col = 0; col < size; ++col) {
      long on_tile = 0;
      long on_eye = 0;
      for (int a = 0; a < SUPERSAMPLE; ++a) {
        const double y = row + (a + 0.5) / SUPERSAMPLE;
        for (int b = 0; b < SUPERSAMPLE; ++b) {
          const double x = col + (b + 0.5) / SUPERSAMPLE;
          if (!inside_tile(l, x, y)) continue;
          ++on_tile;
          if (inside_eye(l, x, y)) ++on_eye;
        }
      }
      // Colour averages only the samples that land on the icon, so the
      // tile's anti-aliased rim keeps the tile colour instead of fading
      // towards whatever an empty sample would contribute.
      std::uint8_t rgb = TILE_RGB;
      if (on_tile > 0) rgb = rounded_ratio(on_eye * EYE_RGB + (on_tile - on_eye) * TILE_RGB, on_tile);
      out[0] = rgb;
      out[1] = rgb;
      out[2] = rgb;
      out[3] = rounded_ratio(on_tile * 255, SAMPLES);
      out += 4;
    }
  }
  return raster;
}

void append_to_vector(png_structp png, png_bytep data, png_size_t length) {
  auto* sink = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  sink->insert(sink->end(), data, data + length);
}

void flush_nothing(png_structp) {}

// libpng reports errors by longjmp, so nothing with a destructor may live in
// this frame: the caller owns the output and the row pointers.
bool encode_png(const Raster& raster, png_bytep* rows, std::vector<std::uint8_t>* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, append_to_vector, flush_nothing);
  const auto side = static_cast<png_uint_32>(raster.size);
  png_set_IHDR(png, info, side, side, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  // Pinned rather than left to libpng's defaults, so an upgrade that changes
  // a default does not quietly change the bytes.
  png_set_compression_level(png, 9);
  png_set_compression_mem_level(png, 8);
  png_set_compression_window_bits(png, 15);
  png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_ALL_FILTERS);
  png_set_rows(png, info, rows);
  png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

std::vector<std::uint8_t> png_bytes(const Raster& raster) {
  std::vector<png_bytep> rows(static_cast<std::size_t>(raster.size));
  for (std::size_t r = 0; r < rows.size(); ++r) {
    rows[r] = const_cast<png_bytep>(raster.rgba.data() + r * static_cast<std::size_t>(raster.size) * 4);
  }
  std::vector<std::uint8_t> out;
  if (!encode_png(raster, rows.data(), &out)) out.clear();
  return out;
}

void put_u8(std::vector<std::uint8_t>& out, unsigned value) { out.push_back(static_cast<std::uint8_t>(value)); }

void put_u16(std::vector<std::uint8_t>& out, unsigned value) {
  put_u8(out, value & 0xFFu);
  put_u8(out, (value >> 8) & 0xFFu);
}

void put_u32(std::vector<std::uint8_t>& out, std::size_t value) {
  put_u16(out, static_cast<unsigned>(value & 0xFFFFu));
  put_u16(out, static_cast<unsigned>((value >> 16) & 0xFFFFu));
}

struct Image {
  int size;
  std::vector<std::uint8_t> png;
};

// An .ico is a 6-byte header, one 16-byte entry per image, then the images.
// PNG images are stored whole; a side of 256 does not fit the entry's byte
// and is written as 0.
std::vector<std::uint8_t> ico_bytes(const std::vector<Image>& images) {
  constexpr std::size_t HEADER = 6;
  constexpr std::size_t ENTRY = 16;
  std::vector<std::uint8_t> out;
  put_u16(out, 0);  // reserved
  put_u16(out, 1);  // icon, not cursor
  put_u16(out, static_cast<unsigned>(images.size()));
  std::size_t offset = HEADER + ENTRY * images.size();
  for (const Image& image : images) {
    const unsigned side = image.size >= 256 ? 0u : static_cast<unsigned>(image.size);
    put_u8(out, side);
    put_u8(out, side);
    put_u8(out, 0);    // no palette
    put_u8(out, 0);    // reserved
    put_u16(out, 1);   // planes
    put_u16(out, 32);  // bits per pixel
    put_u32(out, image.png.size());
    put_u32(out, offset);
    offset += image.png.size();
  }
  for (const Image& image : images) out.insert(out.end(), image.png.begin(), image.png.end());
  return out;
}

bool write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  file.close();
  if (!file) {
    std::fprintf(stderr, "icongen: cannot write %s\n", path.string().c_str());
    return false;
  }
  return true;
}

}  // namespace

int run(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: icongen OUTDIR\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    std::fprintf(stderr, "icongen: cannot create %s: %s\n", dir.string().c_str(), error.message().c_str());
    return 1;
  }
  std::vector<Image> images;
  for (int size : SIZES) {
    Image image{size, png_bytes(draw_icon(size))};
    if (image.png.empty()) {
      std::fprintf(stderr, "icongen: PNG encoding failed at %d px\n", size);
      return 1;
    }
    if (!write_file(dir / ("orbel-" + std::to_string(size) + ".png"), image.png)) return 1;
    images.push_back(std::move(image));
  }
  return write_file(dir / "orbel.ico", ico_bytes(images)) ? 0 : 1;
}

}  // namespace orbel::icongen

int main(int argc, char** argv) { return orbel::icongen::run(argc, argv); }
