#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/socket.h"

namespace qvr {
namespace {

TEST(Address, NetworkOrderBothWays) {
    Ipv4SocketAddress a;
    std::memset(&a, 0xEE, sizeof a);
    make_address(0x0A01000Du, 69, a);  // 10.1.0.13:69
    EXPECT_EQ(a.family, 2);
    const std::uint8_t wire[14] = {0x00, 69,        // port
                                   10, 1, 0, 13};   // address, then zero padding
    EXPECT_EQ(std::memcmp(reinterpret_cast<const std::uint8_t*>(&a) + 2, wire, sizeof wire), 0);
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    make_address(0xC0A8000Au, 65534, a);
    split_address(a, address, port);
    EXPECT_EQ(address, 0xC0A8000Au);
    EXPECT_EQ(port, 65534);
}

// A host entry lists addresses in network order; the local address list
// keeps them in host order, in lookup order, at most as many as it holds.
TEST(Address, HostAddressListStopsAtCapacityAndZeroesTheRest) {
    char raw[10][4];
    const char* list[11] = {};
    for (int i = 0; i < 10; ++i) {
        std::memcpy(raw[i], "\x0A\x4D\x00", 3);  // 10.77.0.(i + 1)
        raw[i][3] = static_cast<char>(i + 1);
        list[i] = raw[i];
    }
    std::uint32_t out[8];
    EXPECT_EQ(copy_host_addresses(list, out, 8), 8u);
    EXPECT_EQ(out[7], 0x0A4D0008u);
    list[2] = nullptr;  // two addresses only
    std::memset(out, 0xFF, sizeof out);
    EXPECT_EQ(copy_host_addresses(list, out, 8), 2u);
    EXPECT_EQ(std::vector(out, out + 8), (std::vector<std::uint32_t>{0x0A4D0001u, 0x0A4D0002u, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(copy_host_addresses(nullptr, out, 8), 0u);  // the lookup failed
    EXPECT_EQ(out[0], 0u);
}

}  // namespace
}  // namespace qvr
