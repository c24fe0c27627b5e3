#include "cli/terminal_ui.h"

#include <cstdio>

#include "cli/interrupt.h"
#include "cli/local_address.h"
#include "cli/results.h"
#include "common/text.h"
#include "platform/clock.h"
#include "tftp/decisions.h"
#include "web/device_targets.h"

namespace qvr::cli {

namespace {

TerminalSession& of(void* context) { return *static_cast<TerminalSession*>(context); }

std::string label_of(const TerminalSession& s) { return std::string("QVR@") + s.link->label; }

void open_dialog(void* context, TftpDialog dialog) {
    TerminalSession& s = of(context);
    s.waiting = dialog == TFTP_WAITING_DIALOG;
    s.ranges_since_open = 0;
    if (s.waiting) {
        s.waiting_since_ms = s.clock();
        set_stopping_point("while waiting for the device to ask for the image", s.link->label);
        return;
    }
    bool transition = s.upgrade_stage != nullptr && s.upgrade_stage->load() == 0;
    s.image_size = (transition ? s.transition : s.target)->size;
    s.stage_bytes = 0;
    s.transfer_started_ms = s.clock();
}

void close_dialog(void* context) {
    TerminalSession& s = of(context);
    progress_end(s.progress, s.clock());
    s.waiting = false;
}

void set_progress_range(void* context, std::uint32_t high) {
    TerminalSession& s = of(context);
    if (s.waiting) return;
    ++s.ranges_since_open;
    if (s.ranges_since_open == 1) {
        set_stopping_point("during the transfer", s.link->label);
        progress_begin(s.progress, ProgressKind::transfer, label_of(s), s.image_size, s.clock());
    } else {
        // The transfer is over; the update wait follows in the same dialog.
        progress_end(s.progress, s.clock());
        s.bytes_acknowledged += s.stage_bytes;
        set_stopping_point("while the device installs the image (it goes on by itself)", s.link->label);
        progress_begin(s.progress, ProgressKind::update_wait, label_of(s), std::uint64_t{high} * update_tick_ms,
                       s.clock());
    }
}

void set_progress_position(void* context, std::uint32_t position) {
    TerminalSession& s = of(context);
    if (s.waiting) return;
    if (s.ranges_since_open == 1) {
        // The position is the ACK expected next: 1 once the option
        // acknowledgement is answered, block count + 1 at the end.
        std::uint64_t bytes = position <= 1 ? 0 : std::uint64_t{position - 1} * tftp_block_size;
        if (bytes > s.image_size) bytes = s.image_size;
        s.stage_bytes = static_cast<std::uint32_t>(bytes);
        set_transfer_point(s.stage_bytes, s.image_size);
        progress_update(s.progress, bytes, s.clock());
    } else if (s.ranges_since_open == 2) {
        progress_update(s.progress, std::uint64_t{position} * update_tick_ms, s.clock());
    }
}

void set_title(void*, const char*) {}
void set_waiting_text(void*, const char*) {}

// The terminal program's waits end by themselves: the wait for the read
// request (or at once when the command was refused), and the transfer
// after its overall bound.  The update wait ends by its own count.
bool pump(void* context) {
    TerminalSession& s = of(context);
    if (!s.waiting) {
        if (s.ranges_since_open != 1) return false;
        if (s.clock() - s.transfer_started_ms < transfer_bound_ms(s.image_size)) return false;
        s.transfer_expired = true;
        return true;
    }
    if (s.stop_waiting.load(std::memory_order_acquire)) return true;
    if (s.clock() - s.waiting_since_ms >= request_wait_ms) {
        s.request_wait_expired = true;
        return true;
    }
    return false;
}

// No messages here: the wait is for the socket alone.  Ctrl-C and the
// request wait are looked at by pump, which follows every wait.
int wait_for_input(void*, SocketHandle socket, unsigned timeout_ms) {
    return wait_readable(socket, static_cast<int>(timeout_ms));
}

// Said once per address, on standard error so that --json output stays
// clean; past a handful of addresses they are only counted.
void refused_requester(void* context, std::uint32_t address) {
    constexpr std::size_t listed_at_most = 8;
    TerminalSession& s = of(context);
    for (std::uint32_t a : s.refused)
        if (a == address) return;
    if (s.refused.size() >= listed_at_most) {
        ++s.refused_unlisted;
        return;
    }
    s.refused.push_back(address);
    std::fprintf(stderr, "QVR@%s: a request for the image came from %s, not the device: refused\n",
                 inert_text(s.link->label).c_str(), dotted(address).c_str());
    std::fflush(stderr);
}

void show_success_dialog(void* context, int, const char*, const char* version) {
    TerminalSession& s = of(context);
    copy_text(s.version, version);
}

int status_request(void* context, std::uint32_t, std::uint32_t, char* version, std::size_t capacity) {
    TerminalSession& s = of(context);
    set_stopping_point("while reading the device's status page after the upload", s.link->label);
    // The listener thread's own space, with the Digest state the last
    // upgrade command was composed with.
    ExchangeSpace& space = after_upload_space(s.link->spaces);
    int answer = device_request(*s.link, space, STATUS_TARGET);
    if (answer == REQUEST_GAVE_UP) answer = 0;
    if (answer > 0) {
        s.status_answered = true;
        s.identity_after = space.identity;
    }
    copy_text(version, capacity, answer > 0 ? field_text(space.identity.software_version) : "");
    return answer;
}

}  // namespace

void start_terminal_session(TerminalSession& session, DeviceLink& link, OutputMode mode, const FirmwareImage& target,
                            const FirmwareImage* transition, std::atomic<std::int32_t>* upgrade_stage) {
    session.link = &link;
    session.progress = Progress{};
    session.progress.mode = mode;
    session.target = &target;
    session.transition = transition;
    session.upgrade_stage = upgrade_stage;
    session.clock = millisecond_clock;
    session.waiting = false;
    session.waiting_since_ms = 0;
    session.ranges_since_open = 0;
    session.image_size = 0;
    session.stop_waiting.store(false);
    session.stop_reason.clear();
    session.refused.clear();
    session.refused_unlisted = 0;
    session.transfer_started_ms = 0;
    session.request_wait_expired = false;
    session.transfer_expired = false;
    session.bytes_acknowledged = 0;
    session.stage_bytes = 0;
    session.status_answered = false;
    session.identity_after = IdentityFields{};
    session.version[0] = '\0';
}

TftpUi terminal_tftp_ui(TerminalSession& session) {
    return TftpUi{&session, open_dialog, close_dialog, set_progress_range, set_progress_position, set_title,
                  set_waiting_text, wait_for_input, pump, show_success_dialog, status_request, refused_requester};
}

void stop_waiting_for_request(TerminalSession& session, const std::string& reason) {
    if (session.stop_waiting.load(std::memory_order_acquire)) return;
    session.stop_reason = reason;
    session.stop_waiting.store(true, std::memory_order_release);
}

void finish_terminal_session(TerminalSession& session) {
    if (!session.waiting && session.ranges_since_open == 1) {
        session.bytes_acknowledged += session.stage_bytes;
        session.ranges_since_open = 0;
    }
    progress_end(session.progress, session.clock());
}

}  // namespace qvr::cli
