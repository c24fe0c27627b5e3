// One image transfer to one requester, as a record that is stepped: a
// received datagram in, or a tick of the clock, and out comes what to do
// (nothing, send the packet in the record's buffer, the transfer is
// complete, it timed out).  The record never touches a socket, the clock or
// a user interface, so the lock-step rules can be tested call by call; the
// Windows programs' session runs one of them in a loop over the listener's
// socket, and the terminal program's shared server runs one per device over
// a single socket.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firmware/image.h"
#include "tftp/decisions.h"
#include "tftp/packets.h"

namespace qvr {

enum class TransferStep {
    none,       // nothing to send
    send,       // send transfer.packet (packet_length bytes) to destination, peer_port
    complete,   // the last block was acknowledged
    timed_out,  // the period limit passed without progress
};

struct TransferAction {
    TransferStep step;
    bool retransmission;  // send: the packet last sent, again (the OACK while awaited_block is 0)
    // A datagram that did not move the transfer on came when a clock step
    // was due: the caller does an idle poll's work now (its user interface,
    // then transfer_tick), so a flood cannot hold back Cancel or the clock.
    bool idle_poll_due;
    bool stranger;  // the datagram came from another address or port than the requester's
    bool redraw;    // the figures (awaited_block, bytes_acknowledged) are due for drawing
};

// The lock-step state of one transfer.  `awaited_block` is the number of
// the block whose ACK is awaited, which is the DATA block last sent; 0
// while the OACK is unacknowledged.  Block numbers are counted in 32 bits
// and never wrap here (an image has at most 65,535 blocks).
struct TftpTransfer {
    std::uint8_t packet[4 + tftp_block_size];  // the packet last built: the OACK or a DATA block
    std::size_t packet_length;
    const FirmwareImage* image;  // served in place, never copied
    std::uint32_t image_size;
    std::uint32_t block_count;  // image size / 512 + 1
    std::uint32_t peer_address;  // host order: the sender of the accepted RRQ
    std::uint32_t destination;   // where packets go: the requester, or the recovery group
    std::uint16_t peer_port;
    std::uint32_t awaited_block;
    std::uint32_t bytes_acknowledged;
    std::uint32_t sent_length;  // data bytes of the block last sent
    bool finished;              // complete or timed out: later steps do nothing
    TftpTiming timing;
    RetransmitClock retransmit;
    RedrawThrottle redraw;
    std::uint32_t last_step_ms;  // the last clock step an idle poll was done for
};

// Fills the record for one requester of `image`; nothing is built or sent.
void prepare_transfer(TftpTransfer& transfer, const FirmwareImage& image, std::uint32_t peer_address,
                      std::uint16_t peer_port, std::uint32_t destination, const TftpTiming& timing);

// Builds the option acknowledgement, the first packet of every transfer
// (the devices take it unasked), and asks for it to be sent.
TransferAction start_transfer(TftpTransfer& transfer);

// Starts the retransmission period and the clock steps at now_ms, once the
// OACK is out and the caller is ready to receive.
void start_transfer_clock(TftpTransfer& transfer, std::uint32_t now_ms);

// One received datagram, parsed, with its sender, at now_ms.  Only the
// requester's (address and port) ACK of the awaited block moves the
// transfer on: the next block is built and sent, or after the last block
// the transfer is complete.  Anything else is dropped, and asks for an idle
// poll once per clock step (tftp_clock_step_ms).
TransferAction transfer_datagram(TftpTransfer& transfer, const TftpPacket& packet, std::uint32_t from_address,
                                 std::uint16_t from_port, std::uint32_t now_ms);

// One idle poll at now_ms: counts it towards the retransmission period,
// asks for the packet last sent again when a period ends without progress,
// and reports the time-out at the period limit.  Also tells when figures
// held back by the redraw throttle are due.
TransferAction transfer_tick(TftpTransfer& transfer, std::uint32_t now_ms);

}  // namespace qvr
