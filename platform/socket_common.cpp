// Address helpers shared by both socket back ends.
#include "platform/socket.h"

#include <cstring>

namespace qvr {

namespace {
std::uint32_t to_network32(std::uint32_t v) {
    std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                         static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    std::uint32_t out;
    std::memcpy(&out, b, 4);
    return out;
}
std::uint32_t from_network32(std::uint32_t v) {
    std::uint8_t b[4];
    std::memcpy(b, &v, 4);
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}
std::uint16_t to_network16(std::uint16_t v) {
    std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    std::uint16_t out;
    std::memcpy(&out, b, 2);
    return out;
}
}  // namespace

void make_address(std::uint32_t address, std::uint16_t port, Ipv4SocketAddress& out) {
    std::memset(&out, 0, sizeof out);
    out.family = 2;  // AF_INET on every platform we build for
    out.port_be = to_network16(port);
    out.address_be = address == 0 ? 0 : to_network32(address);
}

void split_address(const Ipv4SocketAddress& in, std::uint32_t& address, std::uint16_t& port) {
    address = from_network32(in.address_be);
    std::uint8_t b[2];
    std::memcpy(b, &in.port_be, 2);
    port = static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

std::size_t copy_host_addresses(const char* const* address_list, std::uint32_t* out, std::size_t capacity) {
    for (std::size_t i = 0; i < capacity; ++i) out[i] = 0;
    std::size_t n = 0;
    for (const char* const* p = address_list; p != nullptr && *p != nullptr && n < capacity; ++p) {
        Ipv4SocketAddress a;
        std::memset(&a, 0, sizeof a);
        std::memcpy(&a.address_be, *p, 4);
        std::uint16_t port;
        split_address(a, out[n], port);
        ++n;
    }
    return n;
}

}  // namespace qvr
