// `upgrade` over any number of devices: every device identified first (in
// parallel), one table, one confirmation, then at most --parallel upgrades
// at once from one TFTP server, each device ending with exactly one result.
#pragma once

#include "cli/options.h"

namespace qvr::cli {

int run_upgrade(const CliConfig& config);

}  // namespace qvr::cli
