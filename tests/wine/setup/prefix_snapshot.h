// Everything of a Wine prefix that an installer could leave behind: every key
// and value of the registry under HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE,
// and every folder and file on drive C:, one line each. Two snapshots, one
// before an install and one after the uninstall, must hold the same lines.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace orbel_installer {

struct PrefixSnapshot {
  std::set<std::string> lines;
};

PrefixSnapshot take_snapshot();

// The lines only `after` has ("+ ...") and those only `before` has
// ("- ..."), without what Wine and Windows Installer change for themselves
// and the test's stand-in power plans (prefix_snapshot.cpp names each, with
// the reason).
std::vector<std::string> changes(const PrefixSnapshot& before, const PrefixSnapshot& after);

}  // namespace orbel_installer
