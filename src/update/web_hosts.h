// The maker's addresses: the bare domain for the home page, the web host for
// the download page and the update manifest.
#pragma once

namespace orbel {

constexpr const char* HOME_PAGE_URL = "https://dremmholt.no";
constexpr const char* MAKER_WEB_HOST = "www.dremmholt.no";
constexpr const char* DOWNLOAD_PAGE_URL = "https://www.dremmholt.no/verktoy";
constexpr const char* MANIFEST_URL = "https://www.dremmholt.no/verktoy/orbel.json";

}  // namespace orbel
