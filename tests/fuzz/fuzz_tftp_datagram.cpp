// Fuzz target: any bytes as a datagram received by the TFTP listener or a
// session.  The first three input bytes choose the circumstances (whether
// the sender is the requester, and the block expected next); the rest is
// the datagram, read in place so that AddressSanitizer sees any read past
// its end.  Checked: the file name lies inside the datagram and stops before
// its NUL; an ACK's block is its bytes 2 and 3; only an RRQ for exactly our
// name is accepted; only the requester's ACK of the block expected next
// moves a session, whatever the counts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

#include "tftp/decisions.h"
#include "tftp/packets.h"

namespace {

constexpr char our_name[] = "/qvr1a2b.bi1";

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qvr;
    if (size < 3) return 0;
    const std::uint8_t flags = data[0];
    // 0 .. 131071: also counts past the 16 bits an ACK can carry.
    const std::uint32_t acknowledged = (static_cast<std::uint32_t>(flags & 4) << 14) | (data[1] << 8) | data[2];
    const std::uint8_t* bytes = data + 3;
    const std::size_t n = size - 3;

    TftpPacket packet = parse_tftp_packet(std::span<const std::uint8_t>(bytes, n));
    const std::uint16_t opcode = n >= 2 ? static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]) : 0;
    check(packet.opcode == opcode);
    if (opcode == TFTP_RRQ && packet.well_formed) {
        const char* name = packet.file_name.data();
        check(name == reinterpret_cast<const char*>(bytes) + 2);
        check(2 + packet.file_name.size() < n && bytes[2 + packet.file_name.size()] == 0);
        check(std::memchr(name, 0, packet.file_name.size()) == nullptr);
    }
    if (opcode == TFTP_RRQ) check(packet.well_formed == (n > 2 && std::memchr(bytes + 2, 0, n - 2) != nullptr));
    if (opcode == TFTP_ACK) {
        check(packet.well_formed == (n >= 4));
        if (n >= 4) check(packet.block == (bytes[2] << 8 | bytes[3]));
    }
    if (n < 2) check(!packet.well_formed);

    // The listener: our name, and the datagram's own name (accepted exactly
    // when the RRQ is well formed).
    ListenerAction action = classify_listener_datagram(packet, our_name);
    check((action == ListenerAction::accept) ==
          (opcode == TFTP_RRQ && packet.well_formed && packet.file_name == our_name));
    const std::string own(packet.file_name);
    check((classify_listener_datagram(packet, own) == ListenerAction::accept) ==
          (opcode == TFTP_RRQ && packet.well_formed));
    if (opcode >= TFTP_WRQ && opcode <= TFTP_ERROR) check(action != ListenerAction::ignore);
    if (opcode == 0 || opcode > TFTP_ERROR) check(action == ListenerAction::ignore);

    // A session serving 10.0.0.2:3000; the sender differs in address or port by the flags.
    const std::uint32_t peer = 0x0A000002u, from = flags & 1 ? 0x0A000003u : peer;
    const std::uint16_t peer_port = 3000, from_port = flags & 2 ? 3001 : peer_port;
    SessionAction step = classify_session_datagram(packet, from, from_port, peer, peer_port, acknowledged);
    const bool stranger = (flags & 3) != 0;
    check((step == SessionAction::stranger) == stranger);
    const bool ack = !stranger && opcode == TFTP_ACK && packet.well_formed;
    check((step == SessionAction::expected_ack) == (ack && packet.block == acknowledged));
    check((step == SessionAction::stale_ack) == (ack && packet.block != acknowledged));
    return 0;
}
