// Start-up of both deliverables, in its fixed order, and the entry's hand-over
// to the main sequence.
#pragma once

namespace qvr {

// Runs the start-up steps.  False when the entry must return at once (the
// staged-upgrader's window class could not be registered); the other
// failures are reported and end the run inside.
bool run_startup(void* instance);

// The main sequence of dialogs; returns the entry's result (always 0).
int run_main_sequence();

}  // namespace qvr
