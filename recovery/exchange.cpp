#include "recovery/exchange.h"

#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "platform/trace.h"

namespace qvr {

namespace {

// Bound to the PC address: sends every message (so the datagrams leave from
// that address, the only place the device learns it) and receives what is
// addressed to it, on Windows what is addressed to the group too.
SocketHandle recovery_socket = invalid_socket;

#ifdef _WIN32
constexpr bool separate_group_socket = false;
#else
constexpr bool separate_group_socket = true;
#endif
// Natively: bound to the group address, receives only what is sent to the
// group on the PC port.  Never sends.
SocketHandle group_socket = invalid_socket;

// At most this many datagrams are read at one look when replies naming
// other serial numbers are skipped: enough for every device of a LAN to
// have answered, and a bound on a flood.
constexpr unsigned datagrams_per_look = 64;

void close_both() {
    for (SocketHandle* s : {&recovery_socket, &group_socket}) {
        if (*s == invalid_socket) continue;
        shutdown_receiving(*s);
        close_socket(*s);
        *s = invalid_socket;
    }
}

// Tells the failed step with the socket error code, and forgets the
// half-made socket (natively both).
bool setup_failed(const char* format, SocketHandle& s, const RecoveryTiming& timing, RecoveryScreen* screen) {
    int code = last_socket_error();
    close_socket(s);
    s = invalid_socket;
    close_both();
    char text[recovery_failure_size];
    std::snprintf(text, sizeof text, format, code);
    if (screen != nullptr) copy_text(screen->failure, text);
    if (timing.report != nullptr) timing.report(text, "Error");
    return false;
}

// Non-blocking, bound to address and the PC port, member of the group on
// the PC address's interface, which also carries our outgoing multicast: on
// a PC with several interfaces (Wi-Fi and Ethernet, a VPN adapter) the
// default route's interface is often not the device's LAN.  Time-to-live and
// loopback keep the system's defaults, so with a TTL of 1 the messages stay
// on the PC's own subnet.
bool open_one(SocketHandle& out, std::uint32_t address, std::uint32_t pc_address, const RecoveryTiming& timing,
              RecoveryScreen* screen) {
    SocketHandle s = open_udp_socket();
    if (s == invalid_socket) return setup_failed("Allocating socket failed! Error: %d", s, timing, screen);
    if (!set_nonblocking(s, true)) return setup_failed("Set socket Non-blocking failed! Error: %d", s, timing, screen);
    if (!bind_socket(s, address, timing.pc_port))
        return setup_failed("Binding socket failed! Error: %d", s, timing, screen);
    if (!join_multicast_group(s, recovery_group, pc_address))
        return setup_failed("setsockopt failed! Error: %d", s, timing, screen);
    out = s;
    return true;
}

bool open_recovery_socket(std::uint32_t pc_address, const RecoveryTiming& timing, RecoveryScreen* screen) {
    if (!open_one(recovery_socket, pc_address, pc_address, timing, screen)) return false;
    return !separate_group_socket || open_one(group_socket, recovery_group, pc_address, timing, screen);
}

// Reads one waiting datagram into received: from the PC-address socket,
// natively from the group socket when that one had none.  The datagram's
// length, or negative when none was waiting (or it was longer than a reply
// and discarded whole).
int next_datagram(RecoveryReply& received) {
    std::uint32_t from_address = 0;
    std::uint16_t from_port = 0;
    int n = receive_datagram(recovery_socket, &received, sizeof received, from_address, from_port);
    if (n < 0 && group_socket != invalid_socket)
        n = receive_datagram(group_socket, &received, sizeof received, from_address, from_port);
    return n;
}

// One receive attempt.  The Windows programs' rule reads one datagram and
// takes it when it has 100 bytes; skipping other serial numbers reads on
// while datagrams wait, so that one device answering every discovery
// cannot hide the one asked for until the attempts run out.
bool look_for_reply(const RecoveryMessage& sent, RecoveryReply& reply, RecoveryScreen* screen) {
    const bool screened = screen != nullptr && screen->same_serial_only;
    for (unsigned read = 0; read < (screened ? datagrams_per_look : 1u); ++read) {
        // A buffer of our own, so that a short datagram never leaves part
        // of itself in the caller's; a longer one is refused whole.
        RecoveryReply received;
        int n = next_datagram(received);
        if (n < 0) return false;
        if (n != static_cast<int>(sizeof received)) {
            trace("recovery: ignored a %d-byte datagram\n", n);
            continue;
        }
        if (screened && !reply_names_serial(received, sent)) {
            ++screen->other_serials;
            trace("recovery: ignored a reply naming another serial number\n");
            continue;
        }
        reply = received;
        return true;
    }
    return false;
}

}  // namespace

RecoveryTiming shipped_recovery_timing() {
    return RecoveryTiming{recovery_device_port, recovery_pc_port, 5, 5, 500, sleep_ms, nullptr};
}

int recovery_exchange(std::uint32_t destination, const RecoveryMessage& message, RecoveryReply& reply,
                      std::uint32_t pc_address, const RecoveryTiming& timing, RecoveryScreen* screen) {
    if (screen != nullptr) {
        screen->other_serials = 0;
        screen->failed_sends = 0;
        screen->failure[0] = '\0';
    }
    if (recovery_socket == invalid_socket && !open_recovery_socket(pc_address, timing, screen)) return 0;
    RecoveryMessage copy = message;
    std::memcpy(copy.magic, recovery_magic, sizeof copy.magic);
    std::uint32_t to = destination != 0 ? destination : recovery_group;

    for (unsigned cycle = 0; cycle < timing.send_cycles; ++cycle) {
        if (send_datagram(recovery_socket, &copy, sizeof copy, to, timing.device_port) !=
            static_cast<int>(sizeof copy)) {
            if (screen != nullptr) ++screen->failed_sends;
            if (timing.report != nullptr) timing.report("Sending error", "error");
            continue;
        }
        for (unsigned attempt = 0; attempt < timing.receive_attempts; ++attempt) {
            timing.wait(timing.attempt_wait_ms);
            if (look_for_reply(copy, reply, screen)) return 1;
        }
    }
    return 0;
}

void close_recovery_socket() { close_both(); }

}  // namespace qvr
