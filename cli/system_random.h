// Numbers from the operating system's random source, for what a stranger on
// the LAN must not guess (the TFTP file names of a run).
#pragma once

#include <sys/random.h>

#include <cstdint>

namespace qvr::cli {

// False when the source could not give four bytes (then nothing is drawn
// from anywhere weaker: the caller fails the device).
inline bool draw_system_random(std::uint32_t& number) {
    std::uint32_t value = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (::getrandom(&value, sizeof value, 0) == static_cast<ssize_t>(sizeof value)) {
            number = value;
            return true;
        }
    }
    return false;
}

}  // namespace qvr::cli
