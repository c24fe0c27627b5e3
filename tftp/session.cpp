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

// Sends the packet the transfer record built; the same call repeats it for
// a retransmission.  A lost datagram is a lost datagram: the
// retransmission covers it.
void send_built_packet(TftpSession& session) {
    const TftpTransfer& transfer = session.transfer;
    send_datagram(session.socket, transfer.packet, transfer.packet_length, transfer.destination, transfer.peer_port);
}

void draw_upload_progress(const TftpSession& session, const TftpServer& server) {
    const TftpUi& ui = *server.ui;
    char title[title_size];
    format_upload_title(title, sizeof title, *server.rules, session.stage, server.device_label,
                        session.transfer.bytes_acknowledged, session.transfer.image_size);
    ui.set_progress_position(ui.context, session.transfer.awaited_block);
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
    session.stage = server.rules->staged && server.upgrade_stage ? server.upgrade_stage->load() : 1;
    session.image = session.stage == 0 ? server.transition_image : server.target_image;
    // The image comes from how the program was built and started; a stage
    // without one is reported, never served from a null pointer.
    if (session.image == nullptr) return false;
    prepare_transfer(session.transfer, *session.image, peer_address, peer_port,
                     session_destination(group, peer_address), server.timing);
    return true;
}

TransferEnd transfer_image(TftpSession& session, const TftpServer& server) {
    const TftpUi& ui = *server.ui;
    TftpTransfer& transfer = session.transfer;
    if (!set_nonblocking(session.socket, true)) {
        ui.close_dialog(ui.context);
        return TransferEnd::blocking;
    }

    // The OACK leaves before the dialogs change: closing the waiting dialog
    // and opening the upload dialog take tens of milliseconds under Wine,
    // which the device would otherwise spend waiting for its first answer.
    // Nothing is received before the upload dialog is up, so its ACK is
    // taken, and every block sent, with the dialog showing and its Cancel
    // live from the first moment it is seen.
    start_transfer(transfer);
    send_built_packet(session);
    ui.close_dialog(ui.context);
    ui.open_dialog(ui.context, TFTP_UPLOAD_DIALOG);
    ui.set_progress_range(ui.context, transfer.block_count);
    start_transfer_clock(transfer, server.clock());

    for (;;) {
        std::uint32_t from_address = 0;
        std::uint16_t from_port = 0;
        int n = receive_datagram(session.socket, session.packet, sizeof session.packet, from_address, from_port);
        if (n >= 0) {
            TftpPacket packet = parse_tftp_packet(std::span<const std::uint8_t>(session.packet, n));
            TransferAction action = transfer_datagram(transfer, packet, from_address, from_port, server.clock());
            if (action.redraw) draw_upload_progress(session, server);
            if (action.step == TransferStep::complete) {
                trace("All blocks ack'd\n");
                return TransferEnd::complete;
            }
            if (action.step == TransferStep::send) {
                send_built_packet(session);
                trace("Send block %d (%d)\n", static_cast<int>(transfer.awaited_block),
                      static_cast<int>(transfer.sent_length));
                continue;
            }
            if (action.stranger)
                trace("Unknown source request in session: %x:%u", from_address, static_cast<unsigned>(from_port));
            // Dropped; the next receive follows at once unless a clock step
            // is due.
            if (!action.idle_poll_due) continue;
        }

        // An idle poll: the dialog's messages; when nothing came, a wait of
        // up to 1 ms for the next datagram; the poll counted.  This order
        // beat pumping every 10 ms and waiting right after a send under Wine
        // (bench/README).
        if (ui.pump_all_messages(ui.context)) return TransferEnd::cancelled;
        if (n < 0) idle_wait(session.socket);

        TransferAction action = transfer_tick(transfer, server.clock());
        if (action.redraw) draw_upload_progress(session, server);
        if (action.step == TransferStep::send) {
            if (transfer.awaited_block == 0) trace("ReSend option ack\n");
            else trace("ReSend block %d\n", static_cast<int>(transfer.awaited_block));
            send_built_packet(session);
        } else if (action.step == TransferStep::timed_out) {
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
    const std::uint32_t device = session.transfer.peer_address;
    if (!rules.staged) {
        if (ui.status_request(ui.context, session.local_address, device, version, sizeof version) <= 0)
            return tftp_failed(MESSAGE_NOT_RESPONDING);
        show_success(server, version);
        return tftp_passed();
    }

    if (incomplete) return tftp_failed(MESSAGE_UPLOAD_INCOMPLETE);
    int answer = 0;
    for (unsigned attempt = 0; attempt < rules.status_request_attempts && answer <= 0; ++attempt)
        answer = ui.status_request(ui.context, session.local_address, device, version, sizeof version);
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
    const TftpTransfer& transfer = session->transfer;
    trace("++++size %d, %d, %d\n", static_cast<int>(transfer.image_size),
          static_cast<int>(tftp_last_block_length(transfer.image_size)), static_cast<int>(transfer.block_count));
    return run_tftp_session(*session, server, socket);
}

}  // namespace qvr
