#include "tftp/session.h"

#include <cstdio>
#include <memory>
#include <new>
#include <span>

#include "platform/clock.h"
#include "platform/trace.h"
#include "tftp/texts.h"

namespace qvr {

namespace {

constexpr std::size_t title_size = 256;
constexpr std::size_t version_size = 128;

void send_option_ack(TftpSession& session, std::uint32_t destination) {
    std::size_t n = build_option_ack(session.packet, sizeof session.packet, session.image_size);
    // A lost datagram is a lost datagram: the retransmission covers it.
    send_datagram(session.socket, session.packet, n, destination, session.peer_port);
}

// Sends block `acknowledged_count`, whose length and place follow from its
// number; the same call repeats it for a retransmission.
void send_data_block(TftpSession& session, std::uint32_t destination) {
    std::uint32_t number = session.acknowledged_count;
    std::uint32_t length = tftp_block_length(session.image_size, number);
    const std::uint8_t* data = session.image->data + tftp_block_offset(number);
    std::size_t n = build_data_block(session.packet, sizeof session.packet, data, length, number);
    session.sent_length = length;
    send_datagram(session.socket, session.packet, n, destination, session.peer_port);
}

void draw_upload_progress(const TftpSession& session, const TftpServer& server) {
    const TftpUi& ui = *server.ui;
    char title[title_size];
    format_upload_title(title, sizeof title, *server.rules, session.stage, server.device_label,
                        session.bytes_acknowledged, session.image_size);
    ui.set_progress_position(ui.context, session.acknowledged_count);
    ui.set_title(ui.context, title);
}

// Waits up to 1 ms for a datagram instead of sleeping blindly, so the next
// block goes out the moment its ACK arrives.
void idle_wait(SocketHandle socket) {
    if (wait_readable(socket, 1) < 0) sleep_ms(1);
}

// The update wait: a bar that fills with the clock for the product's number
// of 32 ms ticks.  Cancel stays live.  False when the user cancelled.
bool wait_for_update(const TftpSession& session, const TftpServer& server) {
    const TftpUi& ui = *server.ui;
    std::uint32_t start = update_tick(server.clock());
    std::uint32_t length = server.update_wait_ticks ? *server.update_wait_ticks
                                                    : update_wait_ticks(*server.rules, server.display_name);
    ui.set_progress_range(ui.context, length);
    ui.set_progress_position(ui.context, 0);
    char title[title_size];
    format_update_title(title, sizeof title, *server.rules, session.stage, server.device_label);
    ui.set_title(ui.context, title);
    for (;;) {
        std::uint32_t elapsed = update_wait_elapsed(start, update_tick(server.clock()));
        ui.set_progress_position(ui.context, elapsed);
        if (ui.pump_all_messages(ui.context)) return false;
        if (elapsed >= length) return true;
        server.sleep(update_tick_ms);
    }
}

void show_success(const TftpServer& server, const char* version) {
    const TftpUi& ui = *server.ui;
    char title[title_size];
    format_success_title(title, sizeof title, server.device_label);
    ui.show_success_dialog(ui.context, success_template(*server.rules, server.display_name), title, version);
}

}  // namespace

bool prepare_tftp_session(TftpSession& session, const TftpServer& server, SocketHandle socket, std::uint32_t group,
                          std::uint32_t local_address, std::uint32_t peer_address, std::uint16_t peer_port) {
    session.socket = socket;
    session.group = group;
    session.local_address = local_address;
    session.peer_address = peer_address;
    session.peer_port = peer_port;
    session.stage = server.rules->staged && server.upgrade_stage ? server.upgrade_stage->load() : 1;
    session.image = session.stage == 0 ? server.transition_image : server.target_image;
    // The image comes from how the program was built and started; a stage
    // without one is reported, never served from a null pointer.
    if (session.image == nullptr) return false;
    session.image_size = session.image->size;
    session.block_count = tftp_block_count(session.image_size);
    session.last_block_length = tftp_last_block_length(session.image_size);
    session.acknowledged_count = 0;
    session.bytes_acknowledged = 0;
    session.sent_length = 0;
    return true;
}

TransferEnd transfer_image(TftpSession& session, const TftpServer& server) {
    const TftpUi& ui = *server.ui;
    const TftpTiming& timing = server.timing;
    if (!set_nonblocking(session.socket, true)) {
        ui.close_dialog(ui.context);
        return TransferEnd::blocking;
    }
    const std::uint32_t destination = session_destination(session.group, session.peer_address);

    // The OACK leaves before the dialogs change: closing the waiting dialog
    // and opening the upload dialog take tens of milliseconds under Wine,
    // which the device would otherwise spend waiting for its first answer.
    // Nothing is received before the upload dialog is up, so its ACK is
    // taken, and every block sent, with the dialog showing and its Cancel
    // live from the first moment it is seen.
    send_option_ack(session, destination);
    ui.close_dialog(ui.context);
    ui.open_dialog(ui.context, TFTP_UPLOAD_DIALOG);
    ui.set_progress_range(ui.context, session.block_count);
    RetransmitClock retransmit{};
    restart_retransmit_clock(retransmit, server.clock());
    RedrawThrottle redraw{};
    std::uint32_t last_step = server.clock();

    for (;;) {
        std::uint32_t from_address = 0;
        std::uint16_t from_port = 0;
        int n = receive_datagram(session.socket, session.packet, sizeof session.packet, from_address, from_port);
        if (n >= 0) {
            TftpPacket packet = parse_tftp_packet(std::span<const std::uint8_t>(session.packet, n));
            SessionAction action = classify_session_datagram(packet, from_address, from_port, session.peer_address,
                                                             session.peer_port, session.acknowledged_count);
            if (action == SessionAction::expected_ack) {
                std::uint32_t now = server.clock();
                ++session.acknowledged_count;
                session.bytes_acknowledged += session.sent_length;
                restart_retransmit_clock(retransmit, now);
                bool all_done = session.acknowledged_count > session.block_count;
                if (redraw_after_progress(redraw, now, all_done, timing.redraw_interval_ms))
                    draw_upload_progress(session, server);
                if (all_done) {
                    trace("All blocks ack'd\n");
                    return TransferEnd::complete;
                }
                send_data_block(session, destination);
                trace("Send block %d (%d)\n", static_cast<int>(session.acknowledged_count),
                      static_cast<int>(session.sent_length));
                continue;
            }
            if (action == SessionAction::stranger)
                trace("Unknown source request in session: %x:%u", from_address, static_cast<unsigned>(from_port));
            // A stranger, noise from the requester or a stale ACK: dropped.
            // More may be queued, so no wait; but once per clock step the
            // idle poll's work is done all the same, or a flood would hold
            // back Cancel, the retransmissions and the time-out.
            if (!clock_step_due(last_step, server.clock(), tftp_clock_step_ms)) continue;
        }

        // An idle poll: the dialog's messages; when nothing came, a wait of
        // up to 1 ms for the next datagram; the poll counted.  Under Wine this
        // measured faster than pumping every 10 ms and waiting right after a
        // send: the empty peek and the failed receive cost less than the
        // wait they often spare.
        if (ui.pump_all_messages(ui.context)) return TransferEnd::cancelled;
        if (n < 0) {
            idle_wait(session.socket);
            last_step = server.clock();
        }

        std::uint32_t now = server.clock();
        if (redraw_when_idle(redraw, now, timing.redraw_interval_ms)) draw_upload_progress(session, server);
        switch (count_idle_poll(retransmit, now, timing)) {
            case IdleOutcome::keep_waiting:
                break;
            case IdleOutcome::retransmit:
                if (session.acknowledged_count == 0) {
                    trace("ReSend option ack\n");
                    send_option_ack(session, destination);
                } else {
                    trace("ReSend block %d\n", static_cast<int>(session.acknowledged_count));
                    send_data_block(session, destination);
                }
                break;
            case IdleOutcome::timed_out:
                trace("Timeout for ack; upgrade failed\n");
                return TransferEnd::timed_out;
        }
    }
}

TftpResult complete_upload(TftpSession& session, const TftpServer& server, bool incomplete) {
    const TftpUi& ui = *server.ui;
    char version[version_size] = "";
    if (server.skip_completion) {
        ui.close_dialog(ui.context);
        if (incomplete) return tftp_failed(MESSAGE_UPLOAD_INCOMPLETE);
        std::string_view served = image_version(*session.image);
        std::snprintf(version, sizeof version, "%.*s", static_cast<int>(served.size()), served.data());
        show_success(server, version);
        return tftp_passed();
    }

    bool waited = wait_for_update(session, server);
    if (!waited) return tftp_failed(MESSAGE_USER_ABORT);
    ui.close_dialog(ui.context);

    const DeliverableRules& rules = *server.rules;
    if (!rules.staged) {
        if (ui.status_request(ui.context, session.local_address, session.peer_address, version, sizeof version) <= 0)
            return tftp_failed(MESSAGE_NOT_RESPONDING);
        show_success(server, version);
        return tftp_passed();
    }

    if (incomplete) return tftp_failed(MESSAGE_UPLOAD_INCOMPLETE);
    int answer = 0;
    for (unsigned attempt = 0; attempt < rules.status_request_attempts && answer <= 0; ++attempt)
        answer = ui.status_request(ui.context, session.local_address, session.peer_address, version, sizeof version);
    // The device took the image but never came back: say so rather than
    // end the run without a word.
    if (answer <= 0) return tftp_failed(MESSAGE_NOT_RESPONDING);
    std::string_view served = image_version(*session.image);
    trace("[%d]%.*s %s\n", static_cast<int>(session.stage), static_cast<int>(served.size()), served.data(), version);
    if (!version_accepted(version, served, server.phone_family)) return tftp_failed(MESSAGE_VERSION_MISMATCH);
    if (session.stage == 0) return tftp_passed();  // no dialog: the target stage follows
    show_success(server, version);
    return tftp_passed();
}

TftpResult run_tftp_session(TftpSession& session, const TftpServer& server, SocketHandle& socket) {
    TransferEnd end = transfer_image(session, server);
    if (end == TransferEnd::cancelled) return tftp_failed(MESSAGE_USER_ABORT);
    if (end == TransferEnd::blocking) return tftp_failed(MESSAGE_NONBLOCKING);
    if (!server.rules->staged) {
        // Nothing more comes to this socket in the recovery-upgrader's run.
        close_socket(socket);
        socket = invalid_socket;
        session.socket = invalid_socket;
        if (end == TransferEnd::timed_out) return tftp_failed(MESSAGE_TFTP_TIME_OUT);
    }
    return complete_upload(session, server, end == TransferEnd::timed_out);
}

TftpResult start_tftp_session(const TftpServer& server, SocketHandle& socket, std::uint32_t group,
                              std::uint32_t local_address, std::uint32_t peer_address, std::uint16_t peer_port) {
    std::unique_ptr<TftpSession> session(new (std::nothrow) TftpSession{});
    if (!session) return tftp_failed(MESSAGE_SESSION_MALLOC);
    if (!prepare_tftp_session(*session, server, socket, group, local_address, peer_address, peer_port))
        return tftp_failed(MESSAGE_NO_IMAGE);
    trace("++++size %d, %d, %d\n", static_cast<int>(session->image_size), static_cast<int>(session->last_block_length),
          static_cast<int>(session->block_count));
    return run_tftp_session(*session, server, socket);
}

}  // namespace qvr
