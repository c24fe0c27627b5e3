// info and recover (upgrade is cli/fleet.h, scan cli/scan.h).  Each returns the process's exit code.
#pragma once

#include "cli/options.h"

namespace qvr::cli {

int run_info(const CliConfig& config);
int run_recover(const CliConfig& config);

}  // namespace qvr::cli
