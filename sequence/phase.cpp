#include "sequence/phase.h"

namespace qvr {

const char* run_phase_name(RunPhase phase) {
    switch (phase) {
        case RunPhase::identify: return "identify";
        case RunPhase::check: return "check";
        case RunPhase::command: return "command";
        case RunPhase::request: return "request";
        case RunPhase::transfer: return "transfer";
        case RunPhase::install: return "install";
        case RunPhase::verify: return "verify";
    }
    return "identify";
}

}  // namespace qvr
