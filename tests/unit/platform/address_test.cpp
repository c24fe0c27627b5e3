#include <gtest/gtest.h>

#include <cstring>

#include "platform/socket.h"

namespace qvr {
namespace {

TEST(Address, MakeAddressWritesNetworkOrder) {
    Ipv4SocketAddress a;
    std::memset(&a, 0xEE, sizeof a);
    make_address(0x0A01000Du, 69, a);  // 10.1.0.13:69
    const auto* b = reinterpret_cast<const std::uint8_t*>(&a);
    EXPECT_EQ(a.family, 2);
    EXPECT_EQ(b[2], 0x00);
    EXPECT_EQ(b[3], 69);
    EXPECT_EQ(b[4], 10);
    EXPECT_EQ(b[5], 1);
    EXPECT_EQ(b[6], 0);
    EXPECT_EQ(b[7], 13);
    for (int i = 8; i < 16; ++i) EXPECT_EQ(b[i], 0) << "padding byte " << i;
}

TEST(Address, ZeroIsTheWildcardAndSplitReverses) {
    Ipv4SocketAddress a;
    make_address(0, 23456, a);
    EXPECT_EQ(a.address_be, 0u);
    std::uint32_t address = 1;
    std::uint16_t port = 0;
    split_address(a, address, port);
    EXPECT_EQ(address, 0u);
    EXPECT_EQ(port, 23456);
    make_address(0xC0A8000Au, 65535, a);
    split_address(a, address, port);
    EXPECT_EQ(address, 0xC0A8000Au);
    EXPECT_EQ(port, 65535);
}

// A host entry lists addresses in network order; the local address list
// keeps them in host order, in lookup order, at most as many as it holds.
TEST(Address, HostAddressListStopsAtCapacityAndZeroesTheRest) {
    char raw[10][4];
    const char* list[11];
    for (int i = 0; i < 10; ++i) {
        raw[i][0] = 10;
        raw[i][1] = 77;
        raw[i][2] = 0;
        raw[i][3] = static_cast<char>(i + 1);
        list[i] = raw[i];
    }
    list[10] = nullptr;
    std::uint32_t out[8];
    std::memset(out, 0xFF, sizeof out);
    EXPECT_EQ(copy_host_addresses(list, out, 8), 8u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], 0x0A4D0000u + i + 1);

    list[2] = nullptr;  // two addresses only
    std::memset(out, 0xFF, sizeof out);
    EXPECT_EQ(copy_host_addresses(list, out, 8), 2u);
    EXPECT_EQ(out[1], 0x0A4D0002u);
    for (int i = 2; i < 8; ++i) EXPECT_EQ(out[i], 0u);

    EXPECT_EQ(copy_host_addresses(nullptr, out, 8), 0u);  // the lookup failed
    EXPECT_EQ(out[0], 0u);
}

}  // namespace
}  // namespace qvr
