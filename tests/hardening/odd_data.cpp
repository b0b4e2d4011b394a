#include "odd_data.h"

#include <cstring>
#include <random>

#include "campaign_scenarios.h"

namespace campaign {
namespace {

std::vector<std::uint8_t> utf16(const std::u16string& text) {
  std::vector<std::uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c & 0xff));
    bytes.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return bytes;
}

}  // namespace

std::vector<OddData> odd_data() {
  struct Value {
    const char* key;
    const char* name;
  };
  const Value values[] = {{hardening::ORBEL_KEY, "On"},
                          {hardening::ORBEL_KEY, "Until"},
                          {hardening::ORBEL_KEY, "Hours"},
                          {hardening::ORBEL_KEY, "LidAC"},
                          {hardening::ORBEL_KEY, "LidDC"},
                          {hardening::ORBEL_KEY, "LidPlan"},
                          {hardening::THEME_KEY, hardening::THEME_VALUE},
                          {hardening::RUN_KEY, "Orbel"}};
  struct Shape {
    std::string label;
    DWORD type;
    std::vector<std::uint8_t> data;
    bool only_for_strings;  // a well-formed number is no odd data for a numeric value
  };
  std::vector<Shape> shapes = {
      {"REG_SZ \"1\"", REG_SZ, utf16(std::u16string(u"1") + u'\0'), false},
      {"REG_DWORD 1", REG_DWORD, {1, 0, 0, 0}, true},
      {"empty REG_QWORD", REG_QWORD, {}, false},
      {"empty REG_DWORD", REG_DWORD, {}, false},
      {"empty REG_SZ", REG_SZ, {}, false},
  };
  // A short number is read as what its bytes say, so both extremes; data
  // too long or of a string type is refused whatever it holds.
  for (std::uint8_t fill : {std::uint8_t{0x00}, std::uint8_t{0xFF}}) {
    const std::string f = fill ? " of FF" : " of 00";
    shapes.push_back({"REG_DWORD of 2 bytes" + f, REG_DWORD, std::vector<std::uint8_t>(2, fill), false});
    shapes.push_back({"REG_QWORD of 4 bytes" + f, REG_QWORD, std::vector<std::uint8_t>(4, fill), false});
  }
  shapes.push_back({"REG_QWORD of 16 bytes of FF", REG_QWORD, std::vector<std::uint8_t>(16, 0xFF), false});
  shapes.push_back({"REG_SZ of 3 bytes", REG_SZ, {0x41, 0x00, 0x42}, false});
  shapes.push_back({"REG_SZ of 70000 bytes", REG_SZ, std::vector<std::uint8_t>(70000, 0x41), false});

  std::vector<OddData> out;
  for (bool while_running : {false, true}) {
    const std::string when = while_running ? " (while running)" : " (before start)";
    for (const Value& v : values)
      for (const Shape& s : shapes) {
        const std::string name = v.name;
        if (s.only_for_strings && v.key != std::string(hardening::RUN_KEY)) continue;
        OddData d;
        d.label = name + " = " + s.label + when;
        d.apply = [key = std::string(v.key), name, s] { winsim::reg_set(key, name, s.type, s.data); };
        if (name == "On" || name == "Until" || name == "Hours") d.session_value = name;
        d.while_running = while_running;
        d.clobbers_lid_backup = while_running && (name == "LidAC" || name == "LidDC");
        d.read_by = "RegGetValueW(" + std::string(v.key) + ", " + name + ",";
        out.push_back(d);
      }
    for (BYTE b : {BYTE{255}, BYTE{0}}) {
      OddData d;
      d.label = std::string("power status all ") + std::to_string(b) + when;
      SYSTEM_POWER_STATUS status;
      std::memset(&status, b, sizeof status);
      d.apply = [status] { winsim::set_system_power_status(status); };
      d.while_running = while_running;
      d.read_by = "GetSystemPowerStatus(";
      out.push_back(d);
    }
  }
  {
    OddData d;
    d.label = "lid-close indexes 0xFFFFFFFF";
    d.lid = winsim::ValueIndexes{0xFFFFFFFF, 0xFFFFFFFF};
    d.read_by = "PowerReadACValueIndex(";
    out.push_back(d);
  }
  for (std::size_t units : {std::size_t{0}, std::size_t{40000}}) {
    OddData d;
    d.label = "module path of " + std::to_string(units) + " units";
    d.apply = [units] { winsim::set_module_path(std::u16string(units, u'a')); };
    d.read_by = "GetModuleFileNameW(";
    out.push_back(d);
  }
  std::mt19937 random(4096);
  auto random_bytes = [&random](std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(random() & 0xff);
    return s;
  };
  const std::pair<std::string, winsim::HttpScript> answers[] = {
      {"random bytes", scenario::serving(random_bytes(600))},
      {"invalid UTF-8 around a version", scenario::serving("\xC0\xAF" + std::string(NEWER_MANIFEST) + "\xFF\xFE")},
      {"status 0", scenario::serving(NEWER_MANIFEST, 0)},
      {"status 999", scenario::serving(NEWER_MANIFEST, 999)},
      {"5000 random bytes", scenario::serving(random_bytes(5000))},
      {"version after 4096 bytes",
       scenario::serving("{" + std::string(4200, ' ') + "\"windows\":\"" ORBEL_NEWER_VERSION "\"}")},
  };
  for (const auto& answer : answers) {
    OddData d;
    d.label = "HTTP answer: " + answer.first;
    d.http = answer.second;
    d.read_by = "InternetOpenUrlW(";
    out.push_back(d);
  }
  return out;
}

}  // namespace campaign
