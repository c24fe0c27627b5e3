#include "common/random.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace qvr {
namespace {

// The generator must produce the runtime library's classic sequence so that
// seeded runs are reproducible: seed 1 starts 41, 18467, 6334.
TEST(Random, ClassicSequenceFromSeed) {
    seed_random(1);
    EXPECT_EQ(next_random(), 41u);
    EXPECT_EQ(next_random(), 18467u);
    EXPECT_EQ(next_random(), 6334u);
}

TEST(Random, DifferentSeedsDifferentNamesAndAlwaysInRange) {
    seed_random(1000);
    unsigned a = next_random();
    seed_random(1001);
    unsigned b = next_random();
    EXPECT_NE(a, b);
    for (int i = 0; i < 10000; ++i) EXPECT_LE(next_random(), 32767u);
}

// Draws on another thread continue the seeded sequence instead of starting
// a private one (the Windows runtime's rand() would restart per thread).
TEST(Random, WorkerThreadSharesTheSeededState) {
    seed_random(77);
    unsigned expected_first = next_random();
    unsigned expected_second = next_random();
    seed_random(77);
    unsigned first = next_random();
    unsigned second = 0;
    std::thread([&] { second = next_random(); }).join();
    EXPECT_EQ(first, expected_first);
    EXPECT_EQ(second, expected_second);
}

}  // namespace
}  // namespace qvr
