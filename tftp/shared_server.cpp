#include "tftp/shared_server.h"

#include <new>
#include <span>
#include <string_view>

#include "platform/clock.h"
#include "platform/trace.h"

namespace qvr {

namespace {

// Datagrams taken in one turn of the lock: enough that twenty lock-step
// devices are all answered in one turn, few enough that a flood cannot keep
// a registration waiting for long.
constexpr unsigned receive_batch = 64;
// The socket waits: short while sessions run, so their clocks keep their
// steps as the single-device session's 1 ms waits do; longer when nobody
// is being served, which bounds how long stop takes.
constexpr int active_wait_ms = 1;
constexpr int idle_wait_ms = 20;

bool final_state(TargetState state) {
    return state == TargetState::complete || state == TargetState::timed_out || state == TargetState::aborted;
}

void withdraw_state(TftpTarget& target) {
    if (!final_state(target.state.load())) target.state.store(TargetState::withdrawn);
}

// The session of slot i ends: the row stays (a late request for its name is
// then ignored like a repeated one) and the record is freed.
void end_session(SharedTftpServer& server, std::size_t i, TargetState state) {
    SharedTftpSlot& slot = server.slots[i];
    slot.target->bytes_acknowledged.store(slot.transfer->bytes_acknowledged, std::memory_order_relaxed);
    slot.target->state.store(state);
    server.routes[i].state = RouteState::finished;
    slot.transfer.reset();
}

void send_built_packet(const SharedTftpServer& server, const TftpTransfer& transfer) {
    // A lost datagram is a lost datagram: the retransmission covers it.
    send_datagram(server.socket, transfer.packet, transfer.packet_length, transfer.destination, transfer.peer_port);
}

// What a step of slot i's session asks for: a packet sent from the shared
// socket (so it leaves from the port the device sent its RRQ to), or the
// session's end.
void apply_action(SharedTftpServer& server, std::size_t i, const TransferAction& action) {
    SharedTftpSlot& slot = server.slots[i];
    switch (action.step) {
        case TransferStep::none:
            return;
        case TransferStep::send:
            send_built_packet(server, *slot.transfer);
            slot.target->bytes_acknowledged.store(slot.transfer->bytes_acknowledged, std::memory_order_relaxed);
            return;
        case TransferStep::complete:
            trace("All blocks ack'd %x\n", slot.target->address);
            end_session(server, i, TargetState::complete);
            return;
        case TransferStep::timed_out:
            trace("Timeout for ack; upgrade failed %x\n", slot.target->address);
            end_session(server, i, TargetState::timed_out);
            return;
    }
}

void start_session(SharedTftpServer& server, std::size_t i, std::uint32_t address, std::uint16_t port) {
    SharedTftpSlot& slot = server.slots[i];
    TftpTarget& target = *slot.target;
    TftpTransfer& transfer = *slot.transfer;
    prepare_transfer(transfer, *target.image, address, port, address, server.timing);
    target.image_size.store(transfer.image_size, std::memory_order_relaxed);
    target.bytes_acknowledged.store(0, std::memory_order_relaxed);
    server.routes[i].state = RouteState::transferring;
    server.routes[i].session_port = port;
    target.state.store(TargetState::transferring);
    trace("++++size %d, %d, %d [%d] %x:%u\n", static_cast<int>(transfer.image_size),
          static_cast<int>(tftp_last_block_length(transfer.image_size)), static_cast<int>(transfer.block_count),
          static_cast<int>(target.stage), address, static_cast<unsigned>(port));
    apply_action(server, i, start_transfer(transfer));
    start_transfer_clock(transfer, server.clock());
}

void handle_datagram(SharedTftpServer& server, int n, std::uint32_t from_address, std::uint16_t from_port) {
    TftpPacket packet = parse_tftp_packet(std::span<const std::uint8_t>(server.buffer, static_cast<std::size_t>(n)));
    Route route = route_datagram(server.routes, packet, from_address, from_port);
    const std::string_view name = packet.file_name;
    switch (route.kind) {
        case RouteKind::start_session:
            start_session(server, route.index, from_address, from_port);
            return;
        case RouteKind::to_session: {
            TftpTransfer& transfer = *server.slots[route.index].transfer;
            // Each session's idle polls come from the server's clock steps
            // (every session is ticked once a step), so a datagram's hint
            // of one is not needed here.
            apply_action(server, route.index,
                         transfer_datagram(transfer, packet, from_address, from_port, server.clock()));
            return;
        }
        case RouteKind::session_error:
            trace("TFTP Rx Error from %x:%u: session ended\n", from_address, static_cast<unsigned>(from_port));
            end_session(server, route.index, TargetState::aborted);
            return;
        case RouteKind::repeated_request:
            trace("+++ RRQ from %x:%u again: ignored\n", from_address, static_cast<unsigned>(from_port));
            return;
        case RouteKind::stranger: {
            trace("+++ RRQ from %x refused: not the device\n", from_address);
            if (server.refused == nullptr) return;
            // The name in its datagram is NUL-terminated when well formed.
            server.refused(server.refused_context, from_address, packet.well_formed ? name.data() : nullptr);
            return;
        }
        case RouteKind::wrong_name:
            trace("+++ Bad TFTP RRQ filename %.*s from %x\n", static_cast<int>(name.size()), name.data(),
                  from_address);
            return;
        case RouteKind::dropped:
            return;
    }
}

// Takes the datagrams waiting, up to a batch.  True when the socket was
// found empty (or failed: an oversized datagram, an ICMP report), so the
// caller may wait.
bool receive_waiting(SharedTftpServer& server) {
    for (unsigned k = 0; k < receive_batch; ++k) {
        std::uint32_t from_address = 0;
        std::uint16_t from_port = 0;
        int n = receive_datagram(server.socket, server.buffer, sizeof server.buffer, from_address, from_port);
        if (n < 0) return true;
        handle_datagram(server, n, from_address, from_port);
    }
    return false;
}

// One idle poll for every running session.  True when any session runs.
bool tick_sessions(SharedTftpServer& server, std::uint32_t now_ms) {
    bool active = false;
    for (std::size_t i = 0; i < server.slots.size(); ++i) {
        if (server.routes[i].state != RouteState::transferring) continue;
        apply_action(server, i, transfer_tick(*server.slots[i].transfer, now_ms));
        active = active || server.routes[i].state == RouteState::transferring;
    }
    return active;
}

// Receives while datagrams wait, answering each at once; ticks every
// session once per clock step however busy the socket is; waits on the
// socket only when it is empty.
void shared_server_thread(SharedTftpServer& server) {
    std::uint32_t last_step = server.clock();
    bool active = false;
    while (!server.stopping.load(std::memory_order_acquire)) {
        bool empty = false;
        {
            std::lock_guard<std::mutex> guard(server.lock);
            empty = receive_waiting(server);
            std::uint32_t now = server.clock();
            if (clock_step_due(last_step, now, tftp_clock_step_ms)) {
                active = tick_sessions(server, now);
            } else {
                active = false;
                for (const RouteEntry& route : server.routes) active = active || route.state == RouteState::transferring;
            }
        }
        if (empty && wait_readable(server.socket, active ? active_wait_ms : idle_wait_ms) < 0) sleep_ms(1);
    }
}

std::size_t find_slot(const SharedTftpServer& server, const TftpTarget& target) {
    for (std::size_t i = 0; i < server.slots.size(); ++i)
        if (server.slots[i].target == &target) return i;
    return server.slots.size();
}

}  // namespace

ListenerOpen open_shared_tftp_server(SharedTftpServer& server, std::uint32_t local_address, std::uint16_t first_port,
                                     const TftpTiming& timing, unsigned attempts) {
    // The port search and its failures are the single-device listener's.
    auto opener = std::make_unique<TftpListener>();
    ListenerOpen opened = open_tftp_listener(*opener, local_address, first_port, 0, attempts);
    server.socket = opener->socket;
    server.local_address = local_address;
    server.port = opener->port;
    server.bind_error = opener->bind_error;
    server.timing = timing;
    server.clock = millisecond_clock;
    if (opened != ListenerOpen::opened) return opened;
    // Without non-blocking mode a receive would wait for ever and the
    // thread could never be stopped.
    if (!set_nonblocking(server.socket, true)) {
        close_socket(server.socket);
        server.socket = invalid_socket;
        server.port = 0;
        return ListenerOpen::no_socket;
    }
    return ListenerOpen::opened;
}

void start_shared_tftp_server(SharedTftpServer& server) {
    server.stopping.store(false);
    server.thread = std::thread(shared_server_thread, std::ref(server));
}

void stop_shared_tftp_server(SharedTftpServer& server) {
    server.stopping.store(true, std::memory_order_release);
    if (server.thread.joinable()) server.thread.join();
    if (server.socket != invalid_socket) close_socket(server.socket);
    server.socket = invalid_socket;
    std::lock_guard<std::mutex> guard(server.lock);
    for (SharedTftpSlot& slot : server.slots) withdraw_state(*slot.target);
    server.slots.clear();
    server.routes.clear();
}

bool serve_tftp_target(SharedTftpServer& server, TftpTarget& target) {
    if (target.image == nullptr) return false;
    std::unique_ptr<TftpTransfer> transfer(new (std::nothrow) TftpTransfer{});
    if (!transfer) return false;
    std::lock_guard<std::mutex> guard(server.lock);
    std::size_t i = find_slot(server, target);
    if (i == server.slots.size()) {
        server.slots.push_back(SharedTftpSlot{&target, nullptr});
        server.routes.push_back(RouteEntry{});
    }
    server.slots[i].transfer = std::move(transfer);
    server.routes[i] = RouteEntry{target.address, target.file_name, RouteState::waiting, 0};
    target.bytes_acknowledged.store(0, std::memory_order_relaxed);
    target.state.store(TargetState::waiting);
    return true;
}

void withdraw_tftp_target(SharedTftpServer& server, TftpTarget& target) {
    std::lock_guard<std::mutex> guard(server.lock);
    std::size_t i = find_slot(server, target);
    if (i < server.slots.size()) {
        server.slots.erase(server.slots.begin() + static_cast<std::ptrdiff_t>(i));
        server.routes.erase(server.routes.begin() + static_cast<std::ptrdiff_t>(i));
    }
    withdraw_state(target);
}

}  // namespace qvr
