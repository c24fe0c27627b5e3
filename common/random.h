// The process's pseudo-random generator: numbers 0 to 32767 for TFTP file
// names and Digest client nonces, seeded once at start-up from the
// millisecond clock.
//
// It is the classic runtime-library linear congruential generator, kept here
// rather than taken from rand(): the Windows runtime keeps rand()'s state per
// thread, so a nonce drawn on a request worker thread would ignore the
// start-up seed and repeat from run to run.  One process-wide state keeps
// every draw seeded, and lets tests replay a sequence.
#pragma once

#include <atomic>
#include <cstdint>

namespace qvr {

inline std::atomic<std::uint32_t> random_state{1};

inline void seed_random(std::uint32_t seed) { random_state.store(seed); }

inline unsigned next_random() {
    std::uint32_t old = random_state.load();
    std::uint32_t next;
    do {
        next = old * 214013u + 2531011u;
    } while (!random_state.compare_exchange_weak(old, next));
    return (next >> 16) & 0x7FFFu;
}

}  // namespace qvr
