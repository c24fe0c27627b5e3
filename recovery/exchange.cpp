#include "recovery/exchange.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/report.h"
#include "platform/socket.h"
#include "platform/trace.h"

namespace qvr {

namespace {

SocketHandle recovery_socket = invalid_socket;

// Shows the failed step's box with the socket error code, and forgets the
// half-made socket.
bool setup_failed(const char* format, SocketHandle& s) {
    int code = last_socket_error();
    close_socket(s);
    s = invalid_socket;
    char text[64];
    std::snprintf(text, sizeof text, format, code);
    error_box(text, "Error");
    return false;
}

// Non-blocking, bound to the PC address and the PC port, member of the
// group on the PC address's interface, which also carries our outgoing
// multicast: on a PC with several interfaces (Wi-Fi and Ethernet, a VPN
// adapter) the default route's interface is often not the device's LAN.
// Time-to-live and loopback keep the system's defaults, so with a TTL of 1
// the messages stay on the PC's own subnet.
bool open_recovery_socket(std::uint32_t pc_address, std::uint16_t pc_port) {
    SocketHandle s = open_udp_socket();
    if (s == invalid_socket) return setup_failed("Allocating socket failed! Error: %d", s);
    if (!set_nonblocking(s, true)) return setup_failed("Set socket Non-blocking failed! Error: %d", s);
    if (!bind_socket(s, pc_address, pc_port)) return setup_failed("Binding socket failed! Error: %d", s);
    if (!join_multicast_group(s, recovery_group, pc_address)) return setup_failed("setsockopt failed! Error: %d", s);
    recovery_socket = s;
    return true;
}

}  // namespace

RecoveryTiming shipped_recovery_timing() {
    return RecoveryTiming{recovery_device_port, recovery_pc_port, 5, 5, 500, sleep_ms};
}

int recovery_exchange(std::uint32_t destination, const RecoveryMessage& message, RecoveryReply& reply,
                      std::uint32_t pc_address, const RecoveryTiming& timing) {
    if (recovery_socket == invalid_socket && !open_recovery_socket(pc_address, timing.pc_port)) return 0;
    RecoveryMessage copy = message;
    std::memcpy(copy.magic, recovery_magic, sizeof copy.magic);
    std::uint32_t to = destination != 0 ? destination : recovery_group;

    for (unsigned cycle = 0; cycle < timing.send_cycles; ++cycle) {
        if (send_datagram(recovery_socket, &copy, sizeof copy, to, timing.device_port) !=
            static_cast<int>(sizeof copy)) {
            error_box("Sending error", "error");
            continue;
        }
        for (unsigned attempt = 0; attempt < timing.receive_attempts; ++attempt) {
            timing.wait(timing.attempt_wait_ms);
            // A buffer of our own, so that a short datagram never leaves
            // part of itself in the caller's; a longer one is refused whole.
            RecoveryReply received;
            std::uint32_t from_address = 0;
            std::uint16_t from_port = 0;
            int n = receive_datagram(recovery_socket, &received, sizeof received, from_address, from_port);
            if (n == static_cast<int>(sizeof received)) {
                reply = received;
                return 1;
            }
            if (n >= 0) trace("recovery: ignored a %d-byte datagram\n", n);
        }
    }
    return 0;
}

void close_recovery_socket() {
    if (recovery_socket == invalid_socket) return;
    shutdown_receiving(recovery_socket);
    close_socket(recovery_socket);
    recovery_socket = invalid_socket;
}

}  // namespace qvr
