// The TFTP side's user interface for a terminal: the TftpUi record the
// listener and its sessions drive, implemented with the progress output,
// the device link for the status request after the upload, and the wait
// bound for the device's read request.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/device_link.h"
#include "cli/progress.h"
#include "tftp/server.h"

namespace qvr::cli {

// How long the listener waits for the device to ask for the image.  The
// Windows programs wait until Cancel; a script has nobody to press it.
inline constexpr std::uint32_t request_wait_ms = 300000;

// A transfer's overall bound, besides the retransmission period limit: a
// device that acknowledges just often enough never meets that limit.  A
// minute, and 5 ms a block on top (100 KB/s at the least): 102 s for a
// 4.3 MB image, 388 s for the largest image that can be served.
inline constexpr std::uint32_t transfer_bound_ms(std::uint32_t image_size) {
    return 60000 + (image_size / 512 + 1) * 5;
}

struct TerminalSession {
    DeviceLink* link;
    Progress progress;
    const FirmwareImage* target;
    const FirmwareImage* transition;
    std::atomic<std::int32_t>* upgrade_stage;  // null: one stage
    std::uint32_t (*clock)();
    // The open dialog, as the TFTP side sees it.
    bool waiting;
    std::uint32_t waiting_since_ms;
    int ranges_since_open;  // the upload dialog: 1 transfer, 2 update wait
    std::uint32_t image_size;
    // Set by the main thread when the device refused the upgrade command:
    // the wait for its read request ends at once.  stop_reason is written
    // before stop_waiting is set, and read only after it was seen set.
    std::atomic<bool> stop_waiting;
    std::string stop_reason;
    // Requesters turned away, each said once (a few are listed, the rest counted).
    std::vector<std::uint32_t> refused;
    unsigned refused_unlisted;
    std::uint32_t transfer_started_ms;
    // Outcome details for the results.
    bool request_wait_expired;
    bool transfer_expired;
    std::uint64_t bytes_acknowledged;  // all stages
    std::uint32_t stage_bytes;
    bool status_answered;
    IdentityFields identity_after;
    char version[128];
};

void start_terminal_session(TerminalSession& session, DeviceLink& link, OutputMode mode, const FirmwareImage& target,
                            const FirmwareImage* transition, std::atomic<std::int32_t>* upgrade_stage);

// The record the TFTP side drives, with the session as its context.
TftpUi terminal_tftp_ui(TerminalSession& session);

// From the main thread: the wait for the device's read request ends at
// once, with `reason` as the device's failure (a refused command, say).
// The first reason given stays.
void stop_waiting_for_request(TerminalSession& session, const std::string& reason);

// After the listener has ended: a transfer that ended without its update
// wait (timed out, cancelled) is closed and counted.
void finish_terminal_session(TerminalSession& session);

}  // namespace qvr::cli
