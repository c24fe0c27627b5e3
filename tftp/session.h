// A transfer session: serves one image to the device whose read request the
// listener accepted, on the listener's socket and thread, then waits for the
// device to install it and checks that it answers (and, in the
// staged-upgrader, that it runs the version just served).
#pragma once

#include <cstdint>

#include "platform/socket.h"
#include "tftp/server.h"
#include "tftp/transfer.h"

namespace qvr {

// One per accepted request, allocated by start_tftp_session.  `packet`
// receives each datagram; the transfer record builds each packet sent in a
// buffer of its own, so a retransmission is the same bytes again.
struct TftpSession {
    std::uint8_t packet[tftp_receive_size];
    TftpTransfer transfer;          // the lock-step state: the requester, the blocks, the clocks
    std::uint32_t local_address;    // host order: the PC address, for the status request
    std::uint32_t group;            // recovery mode: the multicast group sent to; 0 when none
    SocketHandle socket;            // the listener's
    const FirmwareImage* image;     // the image served (by the stage at the start)
    std::int32_t stage;             // staged-upgrader: 0 transition, 1 target; 1 otherwise
};

// Fills a session for one requester: the image by the current stage, the
// block count and the last block length.  False when the server has no
// image for that stage.
bool prepare_tftp_session(TftpSession& session, const TftpServer& server, SocketHandle socket, std::uint32_t group,
                          std::uint32_t local_address, std::uint32_t peer_address, std::uint16_t peer_port);

// blocking: the socket could not be made non-blocking, so the loop could
// not poll (the transfer never started).
enum class TransferEnd { complete, timed_out, cancelled, blocking };

// The lock-step transfer in the upload dialog, which it opens: the OACK,
// then every block, each sent once its predecessor is acknowledged by the
// requester's address and port; the last packet is sent again after each
// retransmission period without the expected ACK, until the period limit.
TransferEnd transfer_image(TftpSession& session, const TftpServer& server);

// The update wait in the upload dialog (which it closes at the end), then
// the status request(s), the version check and the success dialog.
// `incomplete`: the transfer timed out (staged-upgrader), reported after the wait.
TftpResult complete_upload(TftpSession& session, const TftpServer& server, bool incomplete);

// The transfer followed by the completion.  The recovery-upgrader closes
// the socket once the transfer is over (set to invalid_socket in the
// caller's variable); the staged-upgrader keeps it for the listener.
TftpResult run_tftp_session(TftpSession& session, const TftpServer& server, SocketHandle& socket);

// Allocates a session record, runs it and frees it.  Returns how the
// session ended: passed (the success dialog was shown, or the transition
// stage checked out) or failed with the message to report.
TftpResult start_tftp_session(const TftpServer& server, SocketHandle& socket, std::uint32_t group,
                              std::uint32_t local_address, std::uint32_t peer_address, std::uint16_t peer_port);

}  // namespace qvr
