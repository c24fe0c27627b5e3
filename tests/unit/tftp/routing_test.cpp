// Where a datagram on the shared socket goes, with chosen tables: two
// devices served at once, strangers, repeated requests and a device asking
// for another device's file.
#include "tftp/routing.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace qvr {
namespace {

constexpr std::uint32_t device_a = 0x7F000002, device_b = 0x7F000003, stranger = 0x7F000009;

TftpPacket rrq(std::string_view name, bool terminated = true) { return TftpPacket{TFTP_RRQ, 0, name, terminated}; }
const TftpPacket ack1{TFTP_ACK, 1, {}, true};
const TftpPacket error{TFTP_ERROR, 0, {}, true};

// Route as a comparable pair.
using Routed = std::pair<RouteKind, std::size_t>;
Routed routed(const Route& r) { return {r.kind, r.index}; }

// Each device's own request starts its own session; nobody else's does.
TEST(TftpRouting, RequestsReachOnlyTheirOwnDevice) {
    const std::vector<RouteEntry> table = {
        {device_a, "/qvr00000001.bi1", RouteState::waiting, 0},
        {device_b, "/qvr00000002.bi1", RouteState::waiting, 0},
    };
    const struct {
        TftpPacket packet;
        std::uint32_t from;
        Routed route;
    } cases[] = {
        {rrq("/qvr00000001.bi1"), device_a, {RouteKind::start_session, 0}},
        {rrq("/qvr00000002.bi1"), device_b, {RouteKind::start_session, 1}},
        {rrq("/qvr00000002.bi1"), device_a, {RouteKind::wrong_name, 0}},   // another device's name
        {rrq("/QVR00000001.BI1"), device_a, {RouteKind::wrong_name, 0}},   // byte for byte
        {rrq("/qvr00000001.bi1", false), device_a, {RouteKind::wrong_name, 0}},  // no NUL in the datagram
        {rrq("/qvr00000001.bi1"), stranger, {RouteKind::stranger, 0}},
        {rrq("", false), stranger, {RouteKind::stranger, 0}},
        {ack1, device_a, {RouteKind::dropped, 0}},  // no session yet
        {error, device_b, {RouteKind::dropped, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.packet.file_name) + " from " + std::to_string(c.from & 0xFF));
        EXPECT_EQ(routed(route_datagram(table, c.packet, c.from, 4000)), c.route);
    }
}

// Two sessions interleaved: each datagram reaches the session with its
// sender's address and port; a repeated request, from the session's port or
// another, starts nothing; an ERROR ends only the session it came from.
TEST(TftpRouting, SessionsByAddressAndPort) {
    const std::vector<RouteEntry> table = {
        {device_a, "/a", RouteState::transferring, 5000},
        {device_b, "/b", RouteState::transferring, 6000},
        {device_b, "/b2", RouteState::finished, 0},
    };
    const struct {
        TftpPacket packet;
        std::uint32_t from;
        std::uint16_t port;
        Routed route;
    } cases[] = {
        {ack1, device_a, 5000, {RouteKind::to_session, 0}},
        {ack1, device_b, 6000, {RouteKind::to_session, 1}},
        {ack1, device_a, 6000, {RouteKind::dropped, 0}},  // A from B's port
        {ack1, device_b, 5000, {RouteKind::dropped, 0}},
        {ack1, stranger, 5000, {RouteKind::dropped, 0}},
        {error, device_a, 5000, {RouteKind::session_error, 0}},
        {error, device_a, 5001, {RouteKind::dropped, 0}},
        {rrq("/a"), device_a, 5000, {RouteKind::repeated_request, 0}},
        {rrq("/a"), device_a, 5001, {RouteKind::repeated_request, 0}},
        {rrq("/b2"), device_b, 7000, {RouteKind::repeated_request, 2}},  // its session ended
        {rrq("/b"), device_a, 5000, {RouteKind::wrong_name, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.from & 0xFF) + ":" + std::to_string(c.port));
        EXPECT_EQ(routed(route_datagram(table, c.packet, c.from, c.port)), c.route);
    }
}

}  // namespace
}  // namespace qvr
