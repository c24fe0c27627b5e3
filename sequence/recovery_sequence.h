// The recovery of one device, written once for every front end: find the
// device by its serial number with the multicast exchange, check its reply,
// confirm, start serving on the group, tell the device by a second
// multicast message where to fetch the image, and wait.  A device in
// recovery has no working web pages: no status page and no HTTP command.
//
//   discover -> found -> (reply checks) -> confirm -> publish_file_name
//     -> start_serving -> send_upgrade -> wait_for_end
//
// The recovery socket (recovery/exchange.h) is closed by the sequence at
// every end after the discovery, as the Windows programs always did.
#pragma once

#include <cstddef>
#include <cstdint>

#include "recovery/messages.h"
#include "sequence/phase.h"
#include "sequence/upgrade_sequence.h"

namespace qvr {

// Which replies the sequence takes for the device.  The Windows programs
// take the first reply as it comes and refuse only one without an address;
// the terminal program takes only a reply naming the serial number asked
// for, and only a unicast address (unusable_device_address) in it.
struct RecoveryReplyRules {
    bool same_serial_only;
    bool unicast_only;
    std::uint32_t pc_address;  // host order: loopback devices are usable only from loopback
};

enum class ReplyRefusal {
    other_serial,    // the reply names another serial number than the one asked for
    no_address,      // the reply gives 0.0.0.0
    unusable_address,  // multicast, broadcast, reserved, 0/8 or loopback (why says which)
};

struct RecoverySeams {
    void* context;
    void (*phase)(void* context, RunPhase phase);  // may be null
    // The discovery exchange for `message` (type RECOVERY_DISCOVER, the
    // serial number filled in).  True with the device's reply in `reply`;
    // false: no device answered (reported).
    bool (*discover)(void* context, const RecoveryMessage& message, RecoveryReply& reply);
    // What the reply says (its identity, its address in host order), before
    // it is checked.  May be null.
    void (*found)(void* context, const RecoveryReply& reply, std::uint32_t device);
    // The reply is not the device's, or gives no address to send anything
    // to: nothing is sent.  `why` is the reason's text (unusable_address;
    // else a short description).  May be null: nothing is said.
    void (*refused)(void* context, ReplyRefusal refusal, std::uint32_t device, const char* why);
    // The product check and the confirmation.  False ends the run (reported).
    bool (*confirm)(void* context);
    // As in UpgradeSeams, for the one recovery name ("/qvr%x.bin").
    bool (*publish_file_name)(void* context, char* out, std::size_t size);
    // Starts serving the published name to the multicast group; returns the
    // port, 0 when serving could not start (reported).
    std::uint16_t (*start_serving)(void* context);
    // Sends `message` (type RECOVERY_UPGRADE: serial number, port, name)
    // with the recovery exchange; what answers is not looked at.
    void (*send_upgrade)(void* context, const RecoveryMessage& message);
    // Blocks until the serving is over (the Windows programs: forever).
    void (*wait_for_end)(void* context);
};

// Runs one recovery through the seams for `serial` (at most 19 characters,
// as normalise_serial_number keeps it).  Returns where it ended:
// not_identified, reply_refused, not_confirmed, no_file_name, not_serving
// or served.
SequenceEnd run_recovery_sequence(const RecoverySeams& seams, const char* serial, const RecoveryReplyRules& rules);

}  // namespace qvr
