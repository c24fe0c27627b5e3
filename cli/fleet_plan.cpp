#include "cli/fleet_plan.h"

#include "cli/options.h"

namespace qvr::cli {

PlanStep plan_device(bool identified, bool product_accepted, std::string_view version_now,
                     std::string_view image_version, bool reinstall) {
    if (!identified) return PlanStep::failed;
    if (!product_accepted) return PlanStep::refused;
    // Byte for byte, as the check after an install compares them: a device
    // whose version text differs in any way is upgraded.
    if (!reinstall && !version_now.empty() && version_now == image_version) return PlanStep::up_to_date;
    return PlanStep::upgrade;
}

const char* plan_words(PlanStep step, bool transition, bool check) {
    switch (step) {
        case PlanStep::upgrade:
            if (check) return transition ? "would upgrade (transition image first)" : "would upgrade";
            return transition ? "upgrade (transition image first)" : "upgrade";
        case PlanStep::up_to_date:
            return "up to date: left alone";
        case PlanStep::refused:
            return "refused: wrong product";
        case PlanStep::failed:
            return "failed: not identified";
    }
    return "";
}

int fleet_exit_code(const std::vector<DeviceResult>& results) {
    for (const DeviceResult& r : results) {
        Outcome o = outcome_of(r);
        if (o != Outcome::passed && o != Outcome::up_to_date && o != Outcome::would_upgrade)
            return EXIT_SOME_FAILED;
    }
    return EXIT_ALL_PASSED;
}

}  // namespace qvr::cli
