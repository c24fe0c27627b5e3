// The socket layer over loopback.
#include <gtest/gtest.h>

#include <vector>

#include "platform/socket.h"

namespace qvr {
namespace {

constexpr std::uint32_t loopback = 0x7F000001u;

// A datagram longer than the buffer is refused whole, never cut, and nothing
// is written past the buffer; the next one is read with its sender.
TEST(Socket, OversizedDatagramIsRefusedNotCut) {
    SocketHandle a = open_udp_socket(), b = open_udp_socket();
    ASSERT_TRUE(bind_socket(a, loopback, 0));
    std::uint16_t port_b = 41000;
    while (port_b < 41100 && !bind_socket(b, loopback, port_b)) ++port_b;
    ASSERT_LT(port_b, 41100);
    std::vector<std::uint8_t> big(1500, 0x41);
    ASSERT_EQ(send_datagram(a, big.data(), big.size(), loopback, port_b), 1500);
    ASSERT_EQ(wait_readable(b, 1000), 1);
    std::vector<std::uint8_t> buffer(1024 + 16, 0x00);
    std::uint32_t from = 0;
    std::uint16_t port = 0;
    EXPECT_LT(receive_datagram(b, buffer.data(), 1024, from, port), 0);
    for (std::size_t i = 1024; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0) << "wrote past the capacity";

    const std::uint8_t ack[] = {0x00, 0x04, 0x00, 0x01};
    ASSERT_EQ(send_datagram(a, ack, sizeof ack, loopback, port_b), 4);
    ASSERT_EQ(wait_readable(b, 1000), 1);
    EXPECT_EQ(receive_datagram(b, buffer.data(), 1024, from, port), 4);
    EXPECT_EQ(from, loopback);
    EXPECT_NE(port, 0);
    close_socket(a);
    close_socket(b);
}

}  // namespace
}  // namespace qvr
