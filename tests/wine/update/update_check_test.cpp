// The daily update check of the real Orbel.exe through Wine's own network
// stack: WinINet, its TLS with a certificate chain check, and name resolution
// through the host. run-update-test.sh starts this program inside private
// namespaces where www.dremmholt.no is 127.0.0.1 and an HTTPS server of ours
// answers there; see that script.
//
// Another process cannot read Orbel's menu under Wine, so the verdict is
// observed through what choosing a menu entry does. The menu ends with
//   ... "Start ved pålogging", separator, ["Ny versjon tilgjengelig"],
//   "Laget av Dremmholt", "Avslutt Orbel"
// and three presses of Up from the bottom, then Enter, choose the new-version
// entry when it is there (the download page is opened: our URL recorder, the
// prefix's https handler, writes it down) and "Start ved pålogging" when it
// is not (the Run value appears). Each outcome leaves its own positive trace,
// so a keystroke that went astray fails the test instead of passing it.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>
#include <wincrypt.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "orbel_driver.h"

namespace {

using namespace orbel_wine;

constexpr const char* DOWNLOAD_PAGE = "https://www.dremmholt.no/verktoy";
constexpr const wchar_t* ROOT_CERTIFICATES = L"Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\";

constexpr DWORD CHECK_TIMEOUT_MS = 30000;
constexpr DWORD MENU_TIMEOUT_MS = 10000;
constexpr DWORD EFFECT_TIMEOUT_MS = 15000;

// The directory run-update-test.sh made for this run, as Wine shows it.
std::wstring run_dir() {
  const wchar_t* dir = _wgetenv(L"ORBEL_UPDATE_DIR");
  return dir != nullptr ? std::wstring(dir) : std::wstring();
}

std::wstring run_file(const wchar_t* name) { return run_dir() + L"\\" + name; }

std::string read_file(const std::wstring& path) {
  std::ifstream in(path.c_str(), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file(const std::wstring& path, const std::string& content) {
  std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << "cannot write " << utf8(path);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The web host's log from line `from` on: what it saw of this case.
std::vector<std::string> server_events(std::size_t from) {
  std::vector<std::string> lines = lines_of(read_file(run_file(L"server.log")));
  if (from >= lines.size()) return {};
  return std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end());
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text.empty() ? " (nothing)" : text;
}

// Trust in the test CA, in this prefix only: the root store's registry entry,
// keyed by the certificate's SHA-1, whose "Blob" holds serialized properties
// (id, 1, length, data): 3 the SHA-1 hash, 32 the DER certificate.
class TestCa {
 public:
  TestCa() {
    const std::string der = read_file(run_file(L"ca.der"));
    PCCERT_CONTEXT cert = CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                       static_cast<DWORD>(der.size()));
    if (cert == nullptr) return;
    BYTE hash[20] = {};
    DWORD hash_size = sizeof hash;
    const bool hashed = CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &hash_size) != 0;
    CertFreeCertificateContext(cert);
    if (!hashed || hash_size != sizeof hash) return;

    static const wchar_t digits[] = L"0123456789ABCDEF";
    key_ = ROOT_CERTIFICATES;
    for (BYTE b : hash) {
      key_ += digits[b >> 4];
      key_ += digits[b & 15];
    }
    append_property(3, std::string(reinterpret_cast<const char*>(hash), sizeof hash));
    append_property(32, der);
  }

  bool usable() const { return !blob_.empty(); }

  void set_trusted(bool trusted) const {
    if (trusted) {
      ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, key_.c_str(), L"Blob", REG_BINARY, blob_.data(),
                                static_cast<DWORD>(blob_.size())),
                ERROR_SUCCESS);
    } else {
      const LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, key_.c_str());
      ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
      HKEY left = nullptr;
      ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_.c_str(), 0, KEY_READ, &left), ERROR_FILE_NOT_FOUND);
    }
  }

 private:
  void append_property(std::uint32_t id, const std::string& data) {
    const std::uint32_t header[3] = {id, 1, static_cast<std::uint32_t>(data.size())};
    blob_.append(reinterpret_cast<const char*>(header), sizeof header);
    blob_ += data;
  }

  std::wstring key_;
  std::string blob_;
};

// Thread ids of a process, to tell when the threads the click started are
// done: the check runs on a worker that reports only by setting a flag.
std::set<DWORD> threads_of(DWORD pid) {
  std::set<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == pid) ids.insert(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return ids;
}

struct UpdateCase {
  const char* name;
  const char* manifest;  // the served file; nullptr: none (404)
  bool ca_trusted;       // whether the prefix trusts the test CA
  const char* request;   // the request line the host must log; nullptr: none
  bool offered;          // whether the menu must offer the new version
};

std::ostream& operator<<(std::ostream& out, const UpdateCase& c) { return out << c.name; }

class UpdateCheck : public ::testing::TestWithParam<UpdateCase> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(run_dir().empty()) << "ORBEL_UPDATE_DIR is not set: run this program through run-update-test.sh";
    ASSERT_TRUE(ca_.usable()) << "cannot read the test CA " << utf8(run_file(L"ca.der"));
    expect_clean_desktop();
    if (HasFatalFailure()) return;

    // The prefix's https handler: our recorder instead of winebrowser, which
    // would hand the address to a browser of the machine.
    const std::wstring command =
        L"\"" + windows_path(URL_RECORDER_PATH) + L"\" \"" + run_file(L"opened.txt") + L"\" \"%1\"";
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\https\\shell\\open\\command", nullptr, REG_SZ,
                              command.c_str(), static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
    ASSERT_NO_FATAL_FAILURE(write_file(run_file(L"opened.txt"), ""));

    forget_session();
    if (HasFatalFailure()) return;
    forget_run_value();
  }

  TestCa ca_;
};

TEST_P(UpdateCheck, FirstClickFetchesTheManifestAndOnlyANewerVersionIsOffered) {
  const UpdateCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(ca_.set_trusted(c.ca_trusted));
  const std::wstring manifest = run_file(L"www\\verktoy\\orbel.json");
  if (c.manifest != nullptr) {
    ASSERT_NO_FATAL_FAILURE(write_file(manifest, c.manifest));
  } else {
    DeleteFileW(manifest.c_str());
  }
  const std::size_t log_start = lines_of(read_file(run_file(L"server.log"))).size();

  OrbelProcess orbel;
  ASSERT_TRUE(orbel.start());
  const std::set<DWORD> threads_before = threads_of(orbel.pid());
  EXPECT_TRUE(server_events(log_start).empty())
      << "a request before the first evaluation:" << joined(server_events(log_start));

  // The first click runs the first evaluation, which starts the check. The
  // menu it opens is only closed again: it may have been built before the
  // answer came.
  ASSERT_TRUE(orbel.post_click(WM_LBUTTONUP));
  HWND menu = nullptr;
  ASSERT_TRUE(poll_until(MENU_TIMEOUT_MS, [&] { return (menu = orbel.open_menu()) != nullptr; }))
      << "the first click opened no menu";

  // The host sees the connection, and the request unless TLS stopped it.
  const auto host_done = [&] {
    const std::vector<std::string> events = server_events(log_start);
    for (const std::string& e : events) {
      if (e.rfind("GET ", 0) == 0 || e.rfind("TLS-FAILED", 0) == 0 || e == "NO-REQUEST") return true;
    }
    return false;
  };
  const bool answered = poll_until(CHECK_TIMEOUT_MS, host_done);

  // The threads the click started (the check's worker and whatever WinINet
  // started for it) must all end: only then is the verdict recorded.
  std::vector<HANDLE> started;
  for (DWORD id : threads_of(orbel.pid())) {
    if (threads_before.count(id) != 0) continue;
    HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, id);
    if (thread != nullptr) started.push_back(thread);
  }
  bool workers_done = true;
  for (HANDLE thread : started) {
    workers_done = WaitForSingleObject(thread, CHECK_TIMEOUT_MS) == WAIT_OBJECT_0 && workers_done;
    CloseHandle(thread);
  }

  PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
  ASSERT_TRUE(poll_until(MENU_TIMEOUT_MS, [&] { return orbel.open_menu() == nullptr; })) << "Escape left the menu open";
  ASSERT_TRUE(orbel.answers(MENU_TIMEOUT_MS));

  const std::vector<std::string> events = server_events(log_start);
  ASSERT_TRUE(answered) << "the host saw no request and no failed handshake within " << CHECK_TIMEOUT_MS / 1000
                        << " s:" << joined(events);
  ASSERT_TRUE(workers_done) << started.size() << " threads the click started are still running";
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.front(), "CONNECT") << joined(events);
  std::vector<std::string> requests;
  for (const std::string& e : events) {
    if (e.rfind("GET ", 0) == 0) requests.push_back(e);
  }
  if (c.request != nullptr) {
    EXPECT_EQ(requests, std::vector<std::string>{c.request}) << "everything the host saw:" << joined(events);
  } else {
    EXPECT_TRUE(requests.empty()) << "a request over a connection the prefix must not trust:" << joined(events);
  }

  // Up three times from the bottom, then Enter.
  ASSERT_TRUE(orbel.post_click(WM_LBUTTONUP));
  ASSERT_TRUE(poll_until(MENU_TIMEOUT_MS, [&] { return (menu = orbel.open_menu()) != nullptr; }))
      << "the second click opened no menu";
  for (WPARAM key : {WPARAM{VK_UP}, WPARAM{VK_UP}, WPARAM{VK_UP}, WPARAM{VK_RETURN}}) {
    PostMessageW(menu, WM_KEYDOWN, key, 1);
    PostMessageW(menu, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
  }
  const std::wstring opened_file = run_file(L"opened.txt");
  const auto effect_seen = [&] {
    const std::string opened = read_file(opened_file);
    return (!opened.empty() && opened.back() == '\n') || value_exists(RUN_KEY, RUN_VALUE);
  };
  const bool effect = poll_until(EFFECT_TIMEOUT_MS, effect_seen);
  ASSERT_TRUE(poll_until(MENU_TIMEOUT_MS, [&] { return orbel.open_menu() == nullptr; }))
      << "the keys left the menu open";
  ASSERT_TRUE(orbel.answers(MENU_TIMEOUT_MS));
  ASSERT_TRUE(effect) << "choosing the entry above \"Laget av Dremmholt\" neither opened a page nor switched "
                         "autostart on";

  ASSERT_TRUE(orbel.post_close());
  DWORD code = 0xdeadbeef;
  ASSERT_TRUE(orbel.wait_for_exit(EXIT_TIMEOUT_MS, &code)) << "Orbel did not exit after WM_CLOSE";
  EXPECT_EQ(code, 0u);

  const std::vector<std::string> opened = lines_of(read_file(opened_file));
  if (c.offered) {
    EXPECT_EQ(opened, std::vector<std::string>{DOWNLOAD_PAGE}) << "the new version was not offered";
    EXPECT_FALSE(value_exists(RUN_KEY, RUN_VALUE)) << "the entry chosen was \"Start ved pålogging\"";
  } else {
    EXPECT_TRUE(opened.empty()) << "pages opened: " << joined(opened);
    EXPECT_TRUE(value_exists(RUN_KEY, RUN_VALUE)) << "the entry chosen was not \"Start ved pålogging\"";
  }
  RegDeleteKeyValueW(HKEY_CURRENT_USER, RUN_KEY, RUN_VALUE);
}

std::string update_case_name(const ::testing::TestParamInfo<UpdateCase>& param) { return param.param.name; }

#define MANIFEST_REQUEST "GET /verktoy/orbel.json"
#define BY_ORBEL " host=www.dremmholt.no agent=Orbel"
#define NEWER_MANIFEST "{\"windows\": \"" ORBEL_NEWER_VERSION "\"}\n"
#define SAME_MANIFEST "{\"windows\": \"" ORBEL_PROJECT_VERSION "\"}\n"

// Orbel's own version and the next one come from the project's version
// (CMake). The 404 answer carries a body that names the next one too (see
// manifest_server.py), and so does the untrusted host: neither may be believed.
INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateCheck,
    ::testing::Values(
        UpdateCase{"NewerVersion", NEWER_MANIFEST, true, MANIFEST_REQUEST " 200" BY_ORBEL, true},
        UpdateCase{"SameVersion", SAME_MANIFEST, true, MANIFEST_REQUEST " 200" BY_ORBEL, false},
        UpdateCase{"NoManifest", nullptr, true, MANIFEST_REQUEST " 404" BY_ORBEL, false},
        UpdateCase{"UntrustedCertificate", NEWER_MANIFEST, false, nullptr, false}),
    update_case_name);

}  // namespace
