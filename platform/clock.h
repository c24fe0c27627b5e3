// The millisecond clock and sleeping.
#pragma once

#include <cstdint>

namespace qvr {

// A 32-bit millisecond counter that wraps after about 49.7 days
// (timeGetTime on Windows).
std::uint32_t millisecond_clock();

void sleep_ms(unsigned milliseconds);

}  // namespace qvr
