// The recovery-upgrader's recovery mode: from the serial number the user
// types to the moment the TFTP listener takes over the run.
#pragma once

namespace qvr {

// Runs on the main thread after the welcome dialog's "Recover Firmware".
// Returns the entry's result (0) when the run ends here; once the device
// has been told to fetch the image it never returns: the listener thread
// ends the run.
int run_recovery_branch();

}  // namespace qvr
