// Where a datagram on the terminal program's one TFTP socket goes, when that
// socket serves many devices at once.  A pure function over the table of
// targets served, so every case is a call with chosen rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "tftp/packets.h"

namespace qvr {

enum class RouteState {
    waiting,       // the device has been told to fetch its file: its RRQ starts the session
    transferring,  // a session runs with the port the RRQ came from
    finished,      // its session ended; it stays in the table until withdrawn
};

// One row per served target.  `file_name` is the target's own,
// NUL-terminated, unique within a run.
struct RouteEntry {
    std::uint32_t address;  // host order: the only sender this row serves
    const char* file_name;
    RouteState state;
    std::uint16_t session_port;  // transferring: the port of the RRQ that started the session
};

enum class RouteKind {
    start_session,     // a waiting target's own RRQ: a session starts for entry `index`
    to_session,        // a datagram from the address and port of entry `index`'s session
    session_error,     // an ERROR from that session's port: the device gave up, the session ends
    repeated_request,  // a running or finished target's RRQ again (from any port): ignored; the
                       // retransmission of the OACK or the last block answers it
    stranger,          // an RRQ from an address no target has: nobody answers; reported
    wrong_name,        // an RRQ from a device of the run for a name that is not its own (or malformed)
    dropped,           // anything else: no session has that address and port
};

struct Route {
    RouteKind kind;
    std::size_t index;  // the table row, for the kinds that name one
};

// A read request goes to the row with the sender's address and the name
// asked for, byte for byte; any other datagram to the row whose session
// has the sender's address and port.  A device never reaches another
// device's row, whatever name it asks for.
Route route_datagram(std::span<const RouteEntry> table, const TftpPacket& packet, std::uint32_t from_address,
                     std::uint16_t from_port);

}  // namespace qvr
