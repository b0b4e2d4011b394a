#include "screen.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "orbel_driver.h"
#include "tray/eye_icon.h"

namespace orbel_tray {

using namespace orbel_wine;

namespace {

constexpr DWORD UNIX_TIMEOUT_MS = 30000;

// The value of an environment variable of this process; empty if unset.
std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool read_file(const std::string& unix_path, std::vector<std::uint8_t>* bytes) {
  const File file(_wfopen(windows_path(unix_path).c_str(), L"rb"));
  if (!file) return false;
  bytes->clear();
  std::uint8_t buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;)
    bytes->insert(bytes->end(), buffer, buffer + n);
  return true;
}

std::string read_text(const std::string& unix_path) {
  std::vector<std::uint8_t> bytes;
  if (!read_file(unix_path, &bytes)) return std::string();
  std::string text(bytes.begin(), bytes.end());
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Runs a shell script as a Unix process. Wine starts a file that is not a
// Windows program by forking and executing it, but hands back no process to
// wait for, so the script ends by writing its exit status to a file, and
// that file is what this waits for. The script and its arguments go through
// a Windows command line, so none has a double quote, and the script uses
// its arguments unquoted, so none has a space either.
bool run_unix(const std::string& script, const std::vector<std::string>& args, std::string* error) {
  const auto quote = [](const std::string& text) { return text.find('"') != std::string::npos; };
  const auto space = [](const std::string& text) { return text.find_first_of(" \t") != std::string::npos; };
  if (quote(script) || std::any_of(args.begin(), args.end(), quote) || std::any_of(args.begin(), args.end(), space)) {
    *error = "a double quote or a space in the Unix command " + script + " or its arguments (the build tree's path?)";
    return false;
  }
  static unsigned counter = 0;
  const std::string status =
      artifact_dir() + "/.status-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
  std::string command =
      "sh -c \"" + script + "; echo $? >" + status + ".part; mv " + status + ".part " + status + "\" sh";
  for (const std::string& arg : args) command += " \"" + arg + "\"";
  std::wstring line(command.begin(), command.end());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    *error = "Wine did not start /bin/sh: error " + std::to_string(GetLastError());
    return false;
  }
  if (info.hThread) CloseHandle(info.hThread);
  if (info.hProcess) CloseHandle(info.hProcess);
  std::string code;
  if (!poll_until(UNIX_TIMEOUT_MS, [&] { return !(code = read_text(status)).empty(); })) {
    *error = "no exit status from the Unix command within " + std::to_string(UNIX_TIMEOUT_MS) + " ms: " + command;
    return false;
  }
  DeleteFileW(windows_path(status).c_str());
  if (code != "0") {
    *error = "the Unix command exited with " + code + ": " + command;
    return false;
  }
  return true;
}

std::uint32_t big_endian(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) << 24 | static_cast<std::uint32_t>(bytes[offset + 1]) << 16 |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 8 | bytes[offset + 3];
}

int shift_of(std::uint32_t mask) {
  int shift = 0;
  while (mask != 0 && (mask & 1u) == 0) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}

// An X window dump as xwd writes it: a header of big-endian 32-bit fields,
// the window name, the colour map (12 bytes an entry) and the pixels, line
// after line. Xvfb at depth 24 gives a ZPixmap of 24-bit pixels in lines of
// 4096 bytes, and a DirectColor visual whose colour map is the identity (it
// is applied all the same). Pixels of 24 or 32 bits, TrueColor or
// DirectColor, is all this reads.
bool parse_xwd(const std::vector<std::uint8_t>& bytes, int* width, int* height, std::vector<Rgb>* pixels,
               std::string* error) {
  constexpr std::size_t HEADER_FIELDS = 25;
  if (bytes.size() < HEADER_FIELDS * 4) {
    *error = "the xwd file is too short";
    return false;
  }
  std::uint32_t field[HEADER_FIELDS];
  for (std::size_t i = 0; i < HEADER_FIELDS; ++i) field[i] = big_endian(bytes, 4 * i);
  const std::uint32_t header_size = field[0], version = field[1], format = field[2], w = field[4], h = field[5],
                      byte_order = field[7], bits_per_pixel = field[11], bytes_per_line = field[12],
                      visual_class = field[13], colours = field[19];
  const std::uint32_t mask[3] = {field[14], field[15], field[16]};
  constexpr std::uint32_t ZPIXMAP = 2;
  constexpr std::uint32_t TRUE_COLOR = 4;
  constexpr std::uint32_t DIRECT_COLOR = 5;
  if (version != 7 || format != ZPIXMAP || (bits_per_pixel != 24 && bits_per_pixel != 32) ||
      bytes_per_line < bits_per_pixel / 8 * w || (visual_class != TRUE_COLOR && visual_class != DIRECT_COLOR) ||
      (visual_class == DIRECT_COLOR && colours < 256)) {
    *error = "an xwd file this test cannot read: version " + std::to_string(version) + ", format " +
             std::to_string(format) + ", " + std::to_string(bits_per_pixel) + " bits per pixel, " +
             std::to_string(bytes_per_line) + " bytes per line, visual class " + std::to_string(visual_class) + ", " +
             std::to_string(colours) + " colours";
    return false;
  }
  const std::size_t map = header_size;
  const std::size_t data = map + static_cast<std::size_t>(colours) * 12;
  if (bytes.size() < data + static_cast<std::size_t>(bytes_per_line) * h) {
    *error = "the xwd file ends before its pixels do";
    return false;
  }
  // Channel c of colour-map entry i: the high byte of its 16-bit red, green
  // or blue.
  const auto mapped = [&](std::uint32_t index, int c) {
    return bytes[map + 12 * static_cast<std::size_t>(index) + 4 + 2 * static_cast<std::size_t>(c)];
  };
  const std::uint32_t pixel_bytes = bits_per_pixel / 8;
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  pixels->resize(static_cast<std::size_t>(w) * h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      const std::uint8_t* p =
          &bytes[data + static_cast<std::size_t>(y) * bytes_per_line + static_cast<std::size_t>(pixel_bytes) * x];
      std::uint32_t value = 0;
      for (std::uint32_t i = 0; i < pixel_bytes; ++i) {
        const std::uint32_t byte = p[byte_order == 0 ? i : pixel_bytes - 1 - i];
        value |= byte << (8 * i);
      }
      std::uint8_t channel[3];
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t index = (value & mask[c]) >> shift_of(mask[c]);
        channel[c] = visual_class == DIRECT_COLOR ? mapped(index & 0xff, c) : static_cast<std::uint8_t>(index);
      }
      (*pixels)[static_cast<std::size_t>(y) * w + x] = Rgb{channel[0], channel[1], channel[2]};
    }
  }
  return true;
}

int channel_difference(Rgb a, Rgb b) {
  const int dr = std::abs(a.r - b.r), dg = std::abs(a.g - b.g), db = std::abs(a.b - b.b);
  return dr > dg ? (dr > db ? dr : db) : (dg > db ? dg : db);
}

std::uint8_t blend(std::uint8_t ink, std::uint8_t alpha, std::uint8_t background) {
  return static_cast<std::uint8_t>((ink * alpha + background * (255 - alpha) + 127) / 255);
}

}  // namespace

std::string describe(Rgb colour) {
  return "(" + std::to_string(colour.r) + "," + std::to_string(colour.g) + "," + std::to_string(colour.b) + ")";
}

std::string artifact_dir() { return ORBEL_TRAY_ARTIFACT_DIR; }

bool take_screenshot(const std::string& name, Screenshot* shot, std::string* error) {
  const std::string run_dir = environment("ORBEL_WINE_RUN_DIR");
  const std::string display = read_text(run_dir + "/display");
  if (display.empty()) {
    *error = "no display recorded in " + run_dir + "/display";
    return false;
  }
  CreateDirectoryW(windows_path(artifact_dir()).c_str(), nullptr);
  shot->xwd_path_ = artifact_dir() + "/" + name + ".xwd";
  shot->png_path_ = artifact_dir() + "/" + name + ".png";
  if (!run_unix("xwd -silent -root -display :$1 -out $2", {display, shot->xwd_path_}, error)) return false;
  std::vector<std::uint8_t> bytes;
  if (!read_file(shot->xwd_path_, &bytes)) {
    *error = "cannot read " + shot->xwd_path_;
    return false;
  }
  return parse_xwd(bytes, &shot->width_, &shot->height_, &shot->pixels_, error);
}

bool keep_screenshot(Screenshot* shot, std::string* error) {
  if (!run_unix("convert xwd:$1 -strip png:$2 && rm -f $1", {shot->xwd_path_, shot->png_path_}, error)) return false;
  return true;
}

std::string icon_mismatch(const Screenshot& shot, bool on, bool light, Rgb background) {
  if (shot.width() < DESKTOP_RIGHT || shot.height() < TASKBAR_BOTTOM) return "the screen is smaller than the desktop";
  const std::vector<std::uint8_t> icon = orbel::render_eye_icon(on, light);
  int worst = 0;
  int differing = 0;
  std::string first;
  std::string map;
  for (int y = 0; y < ICON_CELL_SIZE; ++y) {
    for (int x = 0; x < ICON_CELL_SIZE; ++x) {
      const std::uint8_t* p =
          &icon[(static_cast<std::size_t>(2 * y) * orbel::EYE_ICON_SIZE + static_cast<std::size_t>(2 * x + 1)) * 4];
      const Rgb expected{blend(p[2], p[3], background.r), blend(p[1], p[3], background.g),
                         blend(p[0], p[3], background.b)};
      const Rgb seen = shot.at(ICON_CELL_X + x, ICON_CELL_Y + y);
      const int difference = channel_difference(seen, expected);
      if (difference > worst) worst = difference;
      if (difference > ICON_TOLERANCE) {
        if (differing++ == 0)
          first = "cell pixel (" + std::to_string(x) + "," + std::to_string(y) + ") is " + describe(seen) +
                  ", expected " + describe(expected);
        map += 'X';
      } else {
        map += p[3] == 0 ? '.' : p[3] == 255 ? '#' : '+';
      }
    }
    map += '\n';
  }
  if (differing == 0) return std::string();
  std::ostringstream out;
  out << differing << " of 256 pixels of the icon cell differ by more than " << ICON_TOLERANCE
      << " (largest difference " << worst << "); " << first << "; taskbar " << describe(background)
      << ". Expected (. clear, + partly covered, # covered, X differs):\n"
      << map;
  return out.str();
}

std::string tray_clutter(const Screenshot& shot, int left, Rgb background) {
  if (shot.width() < DESKTOP_RIGHT || shot.height() < TASKBAR_BOTTOM) return "the screen is smaller than the desktop";
  int differing = 0;
  std::string first;
  for (int y = TASKBAR_TOP; y < TASKBAR_BOTTOM; ++y) {
    for (int x = left; x < DESKTOP_RIGHT; ++x) {
      const bool in_cell =
          x >= ICON_CELL_X && x < ICON_CELL_X + ICON_CELL_SIZE && y >= ICON_CELL_Y && y < ICON_CELL_Y + ICON_CELL_SIZE;
      if (in_cell || shot.at(x, y) == background) continue;
      if (differing++ == 0)
        first = "(" + std::to_string(x) + "," + std::to_string(y) + ") is " + describe(shot.at(x, y));
    }
  }
  if (differing == 0) return std::string();
  return std::to_string(differing) + " pixels of the taskbar from x = " + std::to_string(left) +
         " outside the icon cell are not the plain taskbar " + describe(background) + "; the first: " + first;
}

std::string await_icon(const std::string& name, bool on, bool light, DWORD timeout_ms) {
  Screenshot shot;
  std::string problem;
  // The slot to the left of the icon's, where a second icon would go.
  const int left = ICON_CELL_X - 2 - ICON_SLOT_WIDTH;
  poll_until(timeout_ms, [&] {
    if (!take_screenshot(name, &shot, &problem)) return true;  // no screenshot: nothing to wait for
    const Rgb background = shot.at(TASKBAR_SAMPLE_X, TASKBAR_SAMPLE_Y);
    problem = icon_mismatch(shot, on, light, background);
    if (problem.empty()) problem = tray_clutter(shot, left, background);
    return problem.empty();
  });
  if (shot.width() == 0) return problem;
  std::string error;
  if (!keep_screenshot(&shot, &error)) return problem.empty() ? error : problem + "\n" + error;
  return problem.empty() ? problem : problem + "\nscreenshot: " + shot.png_path();
}

}  // namespace orbel_tray
