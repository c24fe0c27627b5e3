// The millisecond clock and sleeping.
#pragma once

#include <cstdint>

namespace qvr {

// A 32-bit millisecond counter that wraps after about 49.7 days
// (timeGetTime on Windows).
std::uint32_t millisecond_clock();

void sleep_ms(unsigned milliseconds);

// The main thread's last state, once another thread owns the run and will
// end the process: it sleeps in steps of a second.  Shorter steps would
// change nothing anyone sees, and under Wine every wake-up is a round trip
// to the Wine server, a share of the waiting dialog's idle cost.
[[noreturn]] void sleep_until_the_process_ends();

}  // namespace qvr
