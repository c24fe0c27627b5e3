// The differences between the two deliverables, as data.
//
// The recovery-upgrader and the staged-upgrader share their protocol code;
// where they differ (time-outs, update waits, catalogue rows, the version
// check, field widths, what a failed connect does) the portable code reads
// the DeliverableRules record its front end hands in.  A Windows program
// picks its record when it is built (common/build_deliverable.h); the
// terminal program picks one per command.  So the portable code is built
// once and every record is tested natively.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvr {

enum class Deliverable : std::uint8_t { recovery_upgrader, staged_upgrader };

struct DeliverableRules {
    // Selects the per-deliverable tables kept beside the code that reads
    // them: the product catalogue, the update waits, the wide success
    // dialog's products.
    Deliverable deliverable;
    // Resource id of the embedded image (the target image in the staged-upgrader).
    std::uint16_t firmware_resource_id;
    // Windows Sockets version asked for at start-up (major, minor).
    std::uint8_t winsock_major;
    std::uint8_t winsock_minor;
    // Width of the device label field (the typed address or the serial number).
    std::size_t device_label_size;
    // Retransmission periods without the expected ACK before a transfer times out.
    unsigned tftp_period_limit;
    // Step of the main thread's idle sleep once the listener owns the run.
    unsigned main_idle_step_ms;
    // Status requests after the update wait.
    unsigned status_request_attempts;
    // A failed connect ends the run with "Upgrade Failed: Can't connect to
    // QVR"; otherwise the exchange gives no answer and the caller decides.
    bool connect_failure_ends_run;
    // The staged-upgrader's ways: upload and update titles name the stage,
    // a transition stage may come first (a second request on the same
    // socket), a timed-out transfer is reported only after the update wait,
    // the device must then report the version just served, and every read
    // request's file name is traced.  Otherwise the socket is closed after
    // the transfer, a time-out is reported at once, and any answer to the
    // status request counts as success.
    bool staged;
};

inline constexpr DeliverableRules recovery_upgrader_rules{
    .deliverable = Deliverable::recovery_upgrader,
    .firmware_resource_id = 112,
    .winsock_major = 2,
    .winsock_minor = 2,
    .device_label_size = 32,
    .tftp_period_limit = 300,
    .main_idle_step_ms = 10,
    .status_request_attempts = 1,
    .connect_failure_ends_run = true,
    .staged = false,
};

inline constexpr DeliverableRules staged_upgrader_rules{
    .deliverable = Deliverable::staged_upgrader,
    .firmware_resource_id = 726,
    .winsock_major = 1,
    .winsock_minor = 1,
    .device_label_size = 64,
    .tftp_period_limit = 30,
    .main_idle_step_ms = 12,
    .status_request_attempts = 10,
    .connect_failure_ends_run = false,
    .staged = true,
};

// The staged-upgrader's transition image, present only in a transition-stage build.
inline constexpr std::uint16_t transition_resource_id = 319;

// Window title of every fatal error report.  The spelling is the one users
// and support staff know from the field; keep it.
inline constexpr const char fatal_error_title[] = "QVR Firwmare Upgrade Error";

}  // namespace qvr
