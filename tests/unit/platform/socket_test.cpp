// The socket layer over loopback.
#include <gtest/gtest.h>

#include <vector>

#include "platform/socket.h"

namespace qvr {
namespace {

constexpr std::uint32_t loopback = 0x7F000001u;

struct UdpPair {
    SocketHandle a = open_udp_socket();
    SocketHandle b = open_udp_socket();
    std::uint16_t port_b = 0;
    UdpPair() {
        bind_socket(a, loopback, 0);
        for (std::uint16_t p = 41000; p < 41100 && port_b == 0; ++p)
            if (bind_socket(b, loopback, p)) port_b = p;
    }
    ~UdpPair() {
        close_socket(a);
        close_socket(b);
    }
};

TEST(Socket, OversizedDatagramIsRefusedNotCut) {
    UdpPair pair;
    ASSERT_NE(pair.port_b, 0);
    std::vector<std::uint8_t> big(1500, 0x41);
    ASSERT_EQ(send_datagram(pair.a, big.data(), big.size(), loopback, pair.port_b), 1500);
    ASSERT_EQ(wait_readable(pair.b, 1000), 1);
    std::vector<std::uint8_t> buffer(1024 + 16, 0x00);
    std::uint32_t from = 0;
    std::uint16_t port = 0;
    EXPECT_LT(receive_datagram(pair.b, buffer.data(), 1024, from, port), 0);
    for (std::size_t i = 1024; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0) << "wrote past the capacity";

    const std::uint8_t ack[] = {0x00, 0x04, 0x00, 0x01};
    ASSERT_EQ(send_datagram(pair.a, ack, sizeof ack, loopback, pair.port_b), 4);
    ASSERT_EQ(wait_readable(pair.b, 1000), 1);
    EXPECT_EQ(receive_datagram(pair.b, buffer.data(), 1024, from, port), 4);
    EXPECT_EQ(from, loopback);
    EXPECT_NE(port, 0);
}

TEST(Socket, NonBlockingReceiveWithNothingWaiting) {
    UdpPair pair;
    ASSERT_TRUE(set_nonblocking(pair.b, true));
    EXPECT_EQ(wait_readable(pair.b, 0), 0);
    std::uint8_t buffer[16];
    std::uint32_t from;
    std::uint16_t port;
    EXPECT_LT(receive_datagram(pair.b, buffer, sizeof buffer, from, port), 0);
}

TEST(Socket, BindingATakenPortFails) {
    UdpPair pair;
    ASSERT_NE(pair.port_b, 0);
    SocketHandle c = open_udp_socket();
    EXPECT_FALSE(bind_socket(c, loopback, pair.port_b));
    close_socket(c);
}

}  // namespace
}  // namespace qvr
