#include "tftp/routing.h"

#include <string_view>

namespace qvr {

Route route_datagram(std::span<const RouteEntry> table, const TftpPacket& packet, std::uint32_t from_address,
                     std::uint16_t from_port) {
    if (packet.opcode == TFTP_RRQ) {
        bool known = false;
        for (std::size_t i = 0; i < table.size(); ++i) {
            const RouteEntry& entry = table[i];
            if (entry.address != from_address) continue;
            known = true;
            // A name that runs to the end of the datagram without its NUL is
            // no request for anything served, even if its bytes spell one.
            if (!packet.well_formed || packet.file_name != std::string_view(entry.file_name)) continue;
            if (entry.state == RouteState::waiting) return Route{RouteKind::start_session, i};
            // The device asks again before our OACK reached it, or from a
            // new port while its session runs: a second session would send
            // every block twice, so the running one answers alone.
            return Route{RouteKind::repeated_request, i};
        }
        return Route{known ? RouteKind::wrong_name : RouteKind::stranger, 0};
    }
    for (std::size_t i = 0; i < table.size(); ++i) {
        const RouteEntry& entry = table[i];
        if (entry.state != RouteState::transferring || entry.address != from_address ||
            entry.session_port != from_port)
            continue;
        if (packet.opcode == TFTP_ERROR) return Route{RouteKind::session_error, i};
        return Route{RouteKind::to_session, i};
    }
    return Route{RouteKind::dropped, 0};
}

}  // namespace qvr
