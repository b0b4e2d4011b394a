// The fault campaign's scenarios: whole runs of the program, each a named
// function that starts its processes through the Driver and says what a
// fault-free run must show.
#pragma once

#include <vector>

#include "campaign_runner.h"

namespace campaign {

const std::vector<Scenario>& campaign_scenarios();

// The newest manifest the campaign serves: it names a newer version.
extern const char* const NEWER_MANIFEST;

}  // namespace campaign
