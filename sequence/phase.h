// Where one device's run is.  The front ends are told the phase by the code
// that moves the run on (the sequence, the TFTP side); they never infer it
// from the order of other calls.
#pragma once

namespace qvr {

enum class RunPhase {
    identify,  // the status page (recovery: the discovery exchange)
    check,     // the product check and the confirmation
    command,   // serving starts and the device is told where to fetch
    request,   // waiting for the device's read request
    transfer,  // the image is being served
    install,   // the update wait after the last block
    verify,    // the status page read back, its version compared
};

// The phase's name as a terminal user and --json read it: "identify",
// "check", ... "verify".
const char* run_phase_name(RunPhase phase);

}  // namespace qvr
