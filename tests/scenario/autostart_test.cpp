// Start at logon through the per-user Run key.
#include <gtest/gtest.h>

#include <cstring>

#include "autostart/autostart.h"
#include "harness.h"
#include "tray/menu_model.h"

namespace {

using namespace scenario;

constexpr const char* RUN_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char16_t* INSTALLED_PATH = u"C:\\Program Files\\Orbel\\Orbel.exe";

std::u16string run_value_text() {
  const auto v = winsim::reg_get(RUN_KEY, "Orbel");
  if (!v || v->type != REG_SZ) return u"<none>";
  std::u16string text(v->data.size() / 2, u'\0');
  std::memcpy(&text[0], v->data.data(), text.size() * 2);
  return text;
}

class Autostart : public Program {};

TEST_F(Autostart, ToggleWritesTheQuotedPathThenDeletesIt) {
  winsim::set_module_path(INSTALLED_PATH);
  EXPECT_FALSE(orbel::autostart_enabled());
  orbel::toggle_autostart();
  EXPECT_TRUE(orbel::autostart_enabled());
  // Spaces stay as they are between the quotes; the terminator is stored.
  EXPECT_EQ(run_value_text(), u"\"" + std::u16string(INSTALLED_PATH) + u"\"" + u'\0');
  orbel::toggle_autostart();
  EXPECT_FALSE(winsim::reg_get(RUN_KEY, "Orbel"));
  EXPECT_EQ(winsim::reg_value_names(ORBEL_KEY).size(), 0u) << "nothing under the program's own key";
}

TEST_F(Autostart, AnotherPathCountsAsOnAndIsReplacedOnlyAfterAnOff) {
  winsim::set_module_path(INSTALLED_PATH);
  winsim::reg_set_sz(RUN_KEY, "Orbel", "\"D:\\old\\Orbel.exe\"");
  EXPECT_TRUE(orbel::autostart_enabled());
  orbel::toggle_autostart();
  EXPECT_FALSE(winsim::reg_get(RUN_KEY, "Orbel"));
  orbel::toggle_autostart();
  EXPECT_EQ(run_value_text(), u"\"" + std::u16string(INSTALLED_PATH) + u"\"" + u'\0');
}

TEST_F(Autostart, NumericValueCountsAsOffAndIsOverwritten) {
  winsim::reg_set_dword(RUN_KEY, "Orbel", 1);
  EXPECT_FALSE(orbel::autostart_enabled());
  orbel::toggle_autostart();
  EXPECT_EQ(winsim::reg_get(RUN_KEY, "Orbel")->type, REG_SZ);
}

TEST_F(Autostart, PathLengthsAndBufferGrowth) {
  struct Case {
    const char* name;
    std::size_t units;
    std::vector<std::string> queries;  // GetModuleFileNameW calls
    bool written;
  };
  const Case cases[] = {
      {"14 units", 14, {"GetModuleFileNameW(NULL, 512)"}, true},
      {"511 units fit the first buffer", 511, {"GetModuleFileNameW(NULL, 512)"}, true},
      {"512 units fill it", 512, {"GetModuleFileNameW(NULL, 512)", "GetModuleFileNameW(NULL, 1024)"}, true},
      {"32767 units, the longest Windows path", 32767,
       {"GetModuleFileNameW(NULL, 512)", "GetModuleFileNameW(NULL, 1024)", "GetModuleFileNameW(NULL, 2048)",
        "GetModuleFileNameW(NULL, 4096)", "GetModuleFileNameW(NULL, 8192)", "GetModuleFileNameW(NULL, 16384)",
        "GetModuleFileNameW(NULL, 32768)"},
       true},
      {"a path that is always cut is given up", 40000,
       {"GetModuleFileNameW(NULL, 512)", "GetModuleFileNameW(NULL, 1024)", "GetModuleFileNameW(NULL, 2048)",
        "GetModuleFileNameW(NULL, 4096)", "GetModuleFileNameW(NULL, 8192)", "GetModuleFileNameW(NULL, 16384)",
        "GetModuleFileNameW(NULL, 32768)"},
       false},
  };
  for (const Case& c : cases) {
    fresh_machine();
    std::u16string path = u"C:\\";
    path.resize(c.units - 4, u'a');
    path += u"\u00E6.exe";  // a non-ASCII unit survives the round trip
    path.resize(c.units, u'e');
    winsim::set_module_path(path);
    orbel::toggle_autostart();
    EXPECT_EQ(winsim::trace_of({"GetModuleFileNameW"}), c.queries) << c.name;
    if (c.written) {
      EXPECT_EQ(run_value_text(), u"\"" + path + u"\"" + u'\0') << c.name;
      // The size passed counts the two quotes and the terminator.
      EXPECT_EQ(winsim::trace_of({"RegSetKeyValueW"}),
                std::vector<std::string>{std::string("RegSetKeyValueW(") + RUN_KEY + ", Orbel, 1, " +
                                         std::to_string(2 * (c.units + 3)) + ")"})
          << c.name;
    } else {
      EXPECT_FALSE(winsim::reg_get(RUN_KEY, "Orbel")) << c.name;
    }
  }
}

TEST_F(Autostart, FailedPathQueryWritesNothing) {
  winsim::fail_call("GetModuleFileNameW");
  orbel::toggle_autostart();
  EXPECT_FALSE(winsim::reg_get(RUN_KEY, "Orbel"));
}

TEST_F(Autostart, MenuShowsTheRegistryAndTheCommandChangesNothingElse) {
  winsim::after_s(1, [] {
    SendMessageW(orbel_window(), WM_COMMAND, orbel::ID_AUTOSTART, 0);
    winsim::clear_trace();
    SendMessageW(orbel_window(), WM_COMMAND, orbel::ID_AUTOSTART, 0);
    EXPECT_EQ(winsim::count_calls("Shell_NotifyIconW"), 0u);
    EXPECT_EQ(count_lines("RegSetKeyValueW(Software\\Orbel"), 0u);
    SendMessageW(orbel_window(), WM_COMMAND, orbel::ID_AUTOSTART, 0);
    click_icon();
  });
  EXPECT_EQ(run_for(5), 0);
  ASSERT_EQ(winsim::tracked_menus().size(), 1u);
  const auto entries = winsim::tracked_menus()[0].entries;
  EXPECT_EQ(entries[7].text, u"Start ved p\u00E5logging");
  EXPECT_EQ(entries[7].flags, MF_STRING | MF_CHECKED);
}

}  // namespace
