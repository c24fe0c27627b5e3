// The recovery exchange: one message sent to the device's port on the
// multicast group (or a unicast address), up to five times, each followed by
// up to five looks for a 100-byte reply half a second apart.
//
// The socket is process-wide: the first exchange (the discovery) opens it on
// the PC address and port 4811 and joins the group; the second (the upgrade
// message) reuses it unchanged.  Socket problems count as "no reply"; they
// are told through the caller's report function (the Windows programs show
// plain "Error" boxes) and written into the caller's RecoveryScreen (the
// terminal program keeps them as the device's failure).  What "no reply"
// means to the user is the caller's decision.
//
// Natively a second socket, bound to the group address and the same port,
// hears what a device sends to the group: on Linux a socket bound to a
// unicast address receives nothing addressed to a group, where Windows
// delivers both to the one socket bound to the PC address.  Between them
// the two hear what is addressed to the PC address or to the group, and
// nothing sent to the host's other addresses.  The group socket takes the
// group and port for the whole host, so natively one recovery runs at a
// time.
#pragma once

#include <cstddef>
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
    // Told each set-up failure and each failed send, with the caption of its
    // box ("Error", "error"), at the moment it happens; nullptr tells no one.
    void (*report)(const char* text, const char* caption);
};

// 4810, 4811, 5 cycles of 5 attempts, 500 ms, the platform sleep, no
// report: a device that never answers costs about 12.5 s and five sends.
RecoveryTiming shipped_recovery_timing();

inline constexpr std::size_t recovery_failure_size = 64;

// What the terminal program asks of an exchange beyond the Windows
// programs' rules, and what the exchange tells it besides the reply.
struct RecoveryScreen {
    // Set by the caller.  True: a 100-byte reply is taken only when its
    // serial number is the message's (reply_names_serial); others are
    // counted and the looking goes on, every datagram already waiting read
    // at each look.  False: the first 100-byte datagram is the reply.
    bool same_serial_only;
    // Written by the exchange (from zero).
    unsigned other_serials;  // 100-byte replies that named another serial number
    unsigned failed_sends;   // send cycles whose send did not take 160 bytes
    char failure[recovery_failure_size];  // the set-up failure's text; "" when the socket was open
};

// Sends a copy of message with the magic "RECM" written into it to
// destination (host order; 0: the group 234.4.8.10).  Returns 1 when a
// reply arrived (it is then in reply), 0 otherwise; reply is left alone
// unless a reply arrived.  Without a screen, or with same_serial_only
// false, the reply is the first datagram of exactly 100 bytes, compared
// with nothing; any other datagram is consumed and ignored.  pc_address is
// used only when the socket is opened (first call): bound to, and the
// interface of the membership and of outgoing multicast.
int recovery_exchange(std::uint32_t destination, const RecoveryMessage& message, RecoveryReply& reply,
                      std::uint32_t pc_address, const RecoveryTiming& timing = shipped_recovery_timing(),
                      RecoveryScreen* screen = nullptr);

// What the user is told when no device answered the discovery.
inline constexpr const char MESSAGE_DEVICE_NOT_FOUND[] = "Recovery Failed: Cannot find the specified device!";

// Shuts the recovery socket (natively both) down and closes it; nothing
// when none is open.
void close_recovery_socket();

}  // namespace qvr
