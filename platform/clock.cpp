#include "platform/clock.h"

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#else
#include <time.h>
#endif

namespace qvr {

std::uint32_t millisecond_clock() {
#ifdef _WIN32
    return ::timeGetTime();
#else
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
#endif
}

void sleep_ms(unsigned milliseconds) {
#ifdef _WIN32
    ::Sleep(milliseconds);
#else
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0) {
    }
#endif
}

void sleep_until_the_process_ends() {
    for (;;) sleep_ms(1000);
}

}  // namespace qvr
