// The decisions of a run over many devices, apart from any I/O: what is
// done with each device once it has been identified, whether another
// device may start, and the run's exit code.
#pragma once

#include <string_view>
#include <vector>

#include "cli/results.h"

namespace qvr::cli {

// What the table says will happen to a device.
enum class PlanStep {
    upgrade,     // runs another version (or --reinstall)
    up_to_date,  // already runs the image's version: left alone
    refused,     // the product check refused the image for it
    failed,      // it could not be identified
};

// `version_now` is what the device reports; `image_version` the version it
// must end with (the target image's, in a two-stage run).  A device that
// already runs it is left alone unless `reinstall`.
PlanStep plan_device(bool identified, bool product_accepted, std::string_view version_now,
                     std::string_view image_version, bool reinstall);

// The words of the table's last column.
const char* plan_words(PlanStep step, bool transition, bool check);

// Whether a new device may start: not once `max_fail` devices have failed
// (0: no limit).
inline constexpr bool may_start_another(unsigned failed, unsigned max_fail) {
    return max_fail == 0 || failed < max_fail;
}

// 0 when every device passed or was up to date (with --check: could be
// identified and would be upgraded or was up to date), 1 otherwise; an
// empty run is a success of nothing.
int fleet_exit_code(const std::vector<DeviceResult>& results);

}  // namespace qvr::cli
