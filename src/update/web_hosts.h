// The maker's addresses, in one place: the bare domain for the home page and
// the web host that serves both the download page and the update manifest.
#pragma once

namespace orbel {

constexpr const char* HOME_PAGE_URL = "https://dremmholt.no";
constexpr const char* MAKER_WEB_HOST = "www.dremmholt.no";
constexpr const char* DOWNLOAD_PAGE_URL = "https://www.dremmholt.no/verktoy";

}  // namespace orbel
