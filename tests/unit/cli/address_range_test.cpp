#include "cli/address_range.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qvr::cli {
namespace {

using Addresses = std::vector<std::uint32_t>;

constexpr std::uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

Addresses expanded(std::vector<std::string> words) {
    Addresses out;
    std::string error;
    EXPECT_TRUE(expand_ranges(words, out, error)) << ::testing::PrintToString(words) << " -> " << error;
    return out;
}

// Each form's first and last address and its size, at the edges of what
// is allowed: the network and broadcast addresses are left out up to /30.
TEST(AddressRange, FormsAndTheirEdges) {
    const struct {
        const char* word;
        std::uint32_t first, last;
        std::size_t count;
    } cases[] = {
        {"10.1.2.0/24", ip(10, 1, 2, 1), ip(10, 1, 2, 254), 254},
        {"10.1.2.77/24", ip(10, 1, 2, 1), ip(10, 1, 2, 254), 254},  // host bits ignored
        {"10.1.0.0/16", ip(10, 1, 0, 1), ip(10, 1, 255, 254), 65534},
        {"10.1.2.4/30", ip(10, 1, 2, 5), ip(10, 1, 2, 6), 2},
        {"10.1.2.5/31", ip(10, 1, 2, 4), ip(10, 1, 2, 5), 2},
        {"10.1.2.5/32", ip(10, 1, 2, 5), ip(10, 1, 2, 5), 1},
        {"10.1.2.10-12", ip(10, 1, 2, 10), ip(10, 1, 2, 12), 3},
        {"10.1.2.7-7", ip(10, 1, 2, 7), ip(10, 1, 2, 7), 1},
        {"10.1.2.0-255", ip(10, 1, 2, 0), ip(10, 1, 2, 255), 256},
        {"127.0.0.2", ip(127, 0, 0, 2), ip(127, 0, 0, 2), 1},
        // The last addresses below the multicast block are taken.
        {"223.255.255.250-255", ip(223, 255, 255, 250), ip(223, 255, 255, 255), 6},
        {"1.0.0.0/31", ip(1, 0, 0, 0), ip(1, 0, 0, 1), 2},
    };
    for (const auto& c : cases) {
        Addresses out = {ip(1, 1, 1, 1)};  // appended to, not replaced
        std::string error;
        ASSERT_TRUE(parse_address_range(c.word, out, error)) << c.word << " -> " << error;
        ASSERT_EQ(out.size(), c.count + 1) << c.word;
        EXPECT_EQ(out[1], c.first) << c.word;
        EXPECT_EQ(out.back(), c.last) << c.word;
        for (std::size_t i = 2; i < out.size(); ++i) ASSERT_EQ(out[i], out[i - 1] + 1) << c.word;
    }
}

TEST(AddressRange, RefusedWordsLeaveNothingBehind) {
    const struct {
        const char* word;
        const char* reason;
    } cases[] = {
        {"10.1.0.0/15", "too wide"},
        {"10.0.0.0/8", "too wide"},
        {"10.1.2.0/33", "not a range"},
        {"10.1.2.0/", "not a range"},
        {"10.1.2.0/024", "not a range"},
        {"10.1.2.9-8", "ends below"},
        {"10.1.2.9-256", "not a range"},
        {"10.1.2.1-3-5", "not a range"},
        {"10.1.2.0/24-5", "not a range"},
        {"10.1.2", "not a range"},
        {"10.1.2.256", "not a range"},
        {"", "not a range"},
        {"0.0.0.0", "no device can have"},
        {"224.0.0.1", "no device can have"},
        {"239.1.2.0/24", "no device can have"},
        {"255.255.255.255", "no device can have"},
    };
    for (const auto& c : cases) {
        Addresses out;
        std::string error;
        const bool taken = parse_address_range(c.word, out, error);
        EXPECT_FALSE(taken) << c.word;
        EXPECT_TRUE(out.empty()) << c.word;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.word << " -> " << error;
        EXPECT_NE(error.find(std::string("'") + c.word + "'"), std::string::npos) << "names the word: " << error;
    }
}

TEST(AddressRange, RangesAddUpOnceInTheOrderNamed) {
    EXPECT_EQ(expanded({"10.0.0.5", "10.0.0.1-3", "10.0.0.2/31", "10.0.0.5"}),
              (Addresses{ip(10, 0, 0, 5), ip(10, 0, 0, 1), ip(10, 0, 0, 2), ip(10, 0, 0, 3)}));
    // A /16 and a second /16 that repeats it pass the bound: it counts
    // what is named, before duplicates go.
    EXPECT_EQ(expanded({"10.1.0.0/16"}).size(), 65534u);
    EXPECT_EQ(expanded({"10.1.0.0/16", "10.2.0.1", "10.2.0.2"}).size(), 65536u);
    Addresses out = {ip(9, 9, 9, 9)};
    std::string error;
    EXPECT_FALSE(expand_ranges({"10.1.0.0/16", "10.2.0.1-3"}, out, error));
    EXPECT_NE(error.find("more than 65536"), std::string::npos) << error;
    EXPECT_FALSE(expand_ranges({"10.1.0.0/16", "10.1.0.0/16"}, out, error));
    EXPECT_FALSE(expand_ranges({"10.0.0.1", "224.0.0.1"}, out, error));
    EXPECT_NE(error.find("'224.0.0.1'"), std::string::npos) << error;
}

}  // namespace
}  // namespace qvr::cli
