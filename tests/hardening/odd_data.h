// Odd data for the fault campaign: what the registry, the power status, the
// module path and the web host can hand the program at worst.
#pragma once

#include <vector>

#include "campaign_runner.h"

namespace campaign {

std::vector<OddData> odd_data();

}  // namespace campaign
