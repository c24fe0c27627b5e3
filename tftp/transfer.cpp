#include "tftp/transfer.h"

namespace qvr {

namespace {

constexpr TransferAction no_action{TransferStep::none, false, false, false, false};

// Builds block `awaited_block`, whose length and place follow from its
// number.
void build_awaited_block(TftpTransfer& transfer) {
    std::uint32_t number = transfer.awaited_block;
    std::uint32_t length = tftp_block_length(transfer.image_size, number);
    const std::uint8_t* data = transfer.image->data + tftp_block_offset(number);
    transfer.packet_length = build_data_block(transfer.packet, sizeof transfer.packet, data, length, number);
    transfer.sent_length = length;
}

}  // namespace

void prepare_transfer(TftpTransfer& transfer, const FirmwareImage& image, std::uint32_t peer_address,
                      std::uint16_t peer_port, std::uint32_t destination, const TftpTiming& timing) {
    transfer.packet_length = 0;
    transfer.image = &image;
    transfer.image_size = image.size;
    transfer.block_count = tftp_block_count(image.size);
    transfer.peer_address = peer_address;
    transfer.destination = destination;
    transfer.peer_port = peer_port;
    transfer.awaited_block = 0;
    transfer.bytes_acknowledged = 0;
    transfer.sent_length = 0;
    transfer.finished = false;
    transfer.timing = timing;
    transfer.retransmit = RetransmitClock{};
    transfer.redraw = RedrawThrottle{};
    transfer.last_step_ms = 0;
}

TransferAction start_transfer(TftpTransfer& transfer) {
    transfer.packet_length = build_option_ack(transfer.packet, sizeof transfer.packet, transfer.image_size);
    TransferAction action = no_action;
    action.step = TransferStep::send;
    return action;
}

void start_transfer_clock(TftpTransfer& transfer, std::uint32_t now_ms) {
    restart_retransmit_clock(transfer.retransmit, now_ms);
    transfer.last_step_ms = now_ms;
}

TransferAction transfer_datagram(TftpTransfer& transfer, const TftpPacket& packet, std::uint32_t from_address,
                                 std::uint16_t from_port, std::uint32_t now_ms) {
    TransferAction action = no_action;
    if (transfer.finished) return action;
    SessionAction meaning = classify_session_datagram(packet, from_address, from_port, transfer.peer_address,
                                                      transfer.peer_port, transfer.awaited_block);
    if (meaning == SessionAction::expected_ack) {
        ++transfer.awaited_block;
        transfer.bytes_acknowledged += transfer.sent_length;
        restart_retransmit_clock(transfer.retransmit, now_ms);
        bool all_done = transfer.awaited_block > transfer.block_count;
        action.redraw = redraw_after_progress(transfer.redraw, now_ms, all_done, transfer.timing.redraw_interval_ms);
        if (all_done) {
            transfer.finished = true;
            action.step = TransferStep::complete;
            return action;
        }
        build_awaited_block(transfer);
        action.step = TransferStep::send;
        return action;
    }
    // A stranger, noise from the requester or a stale ACK: dropped.  More
    // may be queued, so the caller receives again at once; but once per
    // clock step the idle poll's work is done all the same, or a flood
    // would hold back Cancel, the retransmissions and the time-out.
    action.stranger = meaning == SessionAction::stranger;
    action.idle_poll_due = clock_step_due(transfer.last_step_ms, now_ms, tftp_clock_step_ms);
    return action;
}

TransferAction transfer_tick(TftpTransfer& transfer, std::uint32_t now_ms) {
    TransferAction action = no_action;
    if (transfer.finished) return action;
    transfer.last_step_ms = now_ms;
    action.redraw = redraw_when_idle(transfer.redraw, now_ms, transfer.timing.redraw_interval_ms);
    switch (count_idle_poll(transfer.retransmit, now_ms, transfer.timing)) {
        case IdleOutcome::keep_waiting:
            break;
        case IdleOutcome::retransmit:
            // The buffer still holds the packet last sent (receives never
            // land in it), so a retransmission is the same bytes again.
            action.step = TransferStep::send;
            action.retransmission = true;
            break;
        case IdleOutcome::timed_out:
            transfer.finished = true;
            action.step = TransferStep::timed_out;
            break;
    }
    return action;
}

}  // namespace qvr
