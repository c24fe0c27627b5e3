// The recovery exchange: one message sent to the device's port on the
// multicast group (or a unicast address), up to five times, each followed by
// up to five looks for a 100-byte reply half a second apart.
//
// The socket is process-wide: the first exchange (the discovery) opens it on
// the PC address and port 4811 and joins the group; the second (the upgrade
// message) reuses it unchanged.  Socket problems are told in plain "Error"
// boxes and count as "no reply"; what "no reply" means to the user is the
// caller's decision.
#pragma once

#include <cstdint>

#include "recovery/messages.h"

namespace qvr {

struct RecoveryTiming {
    std::uint16_t device_port;  // destination of every message
    std::uint16_t pc_port;      // the recovery socket's own port
    unsigned send_cycles;
    unsigned receive_attempts;  // per send cycle
    unsigned attempt_wait_ms;   // before each receive attempt
    void (*wait)(unsigned milliseconds);
};

// 4810, 4811, 5 cycles of 5 attempts, 500 ms, the platform sleep: a device
// that never answers costs about 12.5 s and five sends.
RecoveryTiming shipped_recovery_timing();

// Sends a copy of message with the magic "RECM" written into it to
// destination (host order; 0: the group 234.4.8.10).  Returns 1 when a
// datagram of exactly 100 bytes arrived (it is then in reply), 0 otherwise;
// reply is left alone unless a reply arrived.  Any other datagram is
// consumed and ignored.  The reply is not compared with anything: the
// first 100-byte datagram on the socket is the answer.  pc_address is used
// only when the socket is opened (first call): bound to, and the interface
// of the membership and of outgoing multicast.
int recovery_exchange(std::uint32_t destination, const RecoveryMessage& message, RecoveryReply& reply,
                      std::uint32_t pc_address, const RecoveryTiming& timing = shipped_recovery_timing());

// What the user is told when no device answered the discovery.
inline constexpr const char MESSAGE_DEVICE_NOT_FOUND[] = "Recovery Failed: Cannot find the specified device!";

// Shuts the recovery socket down and closes it; nothing when none is open.
void close_recovery_socket();

}  // namespace qvr
