#include "tftp/listener.h"

#include <memory>
#include <new>
#include <span>

#include "platform/clock.h"
#include "platform/trace.h"
#include "tftp/session.h"
#include "tftp/texts.h"

namespace qvr {

namespace {

struct Requester {
    bool accepted;  // false: not our request, or (waiting) the user cancelled
    std::uint32_t address;
    std::uint16_t port;
};

void open_waiting_dialog(const TftpUi& ui, const char* text) {
    ui.open_dialog(ui.context, TFTP_WAITING_DIALOG);
    ui.set_progress_range(ui.context, 1000);
    ui.set_progress_position(ui.context, 0);
    if (text != nullptr) ui.set_waiting_text(ui.context, text);
}

// One received datagram: our read request is accepted (its sender is
// returned); anything else is dropped with its trace line.
Requester examine_datagram(const TftpListener& listener, const TftpServer& server, int n,
                           std::uint32_t from_address, std::uint16_t from_port) {
    TftpPacket packet = parse_tftp_packet(std::span<const std::uint8_t>(listener.buffer, n));
    const char* expected = server.file_name->load(std::memory_order_acquire);
    // For the trace, a name without its NUL is shown as far as it was received.
    std::string_view name = packet.file_name;
    if (packet.opcode == TFTP_RRQ && !packet.well_formed)
        name = std::string_view(reinterpret_cast<const char*>(listener.buffer) + 2, static_cast<std::size_t>(n) - 2);
    if (server.rules->staged && packet.opcode == TFTP_RRQ)
        trace("%s %.*s\n", expected != nullptr ? expected : "", static_cast<int>(name.size()), name.data());
    // The image is for the device alone: a read request from anywhere else
    // is refused whatever name it asks for, and said to the front end.
    if (packet.opcode == TFTP_RRQ && !requester_allowed(server.only_requester, from_address)) {
        trace("+++ RRQ from %x refused: not the device\n", from_address);
        if (server.ui->refused_requester != nullptr) server.ui->refused_requester(server.ui->context, from_address);
        return Requester{false, 0, 0};
    }
    // Between the stages no name is served: every RRQ is a bad name.
    ListenerAction action = expected != nullptr ? classify_listener_datagram(packet, expected)
                            : packet.opcode == TFTP_RRQ ? ListenerAction::bad_name
                                                        : classify_listener_datagram(packet, "");
    switch (action) {
        case ListenerAction::accept:
            return Requester{true, from_address, from_port};
        case ListenerAction::bad_name:
            trace("+++ Bad TFTP RRQ filename %.*s\n", static_cast<int>(name.size()), name.data());
            break;
        case ListenerAction::wrq:
            trace("TFTP Rx WRQ?\n");
            break;
        case ListenerAction::data:
            trace("TFTP Rx Data?\n");
            break;
        case ListenerAction::ack:
            trace("TFTP Rx ACK?\n");
            break;
        case ListenerAction::error:
            trace("TFTP Rx Error?\n");
            break;
        case ListenerAction::ignore:
            break;
    }
    return Requester{false, 0, 0};
}

// Receives until our read request comes.  While the socket is empty the
// loop waits for a datagram or a message of the waiting dialog for up to
// waiting_poll_ms, then moves the activity bar by the milliseconds that
// passed and takes every message of the dialog: the bar keeps its pace (one
// step per millisecond), a request and a Cancel end the wait the moment
// they come, and an idle wait costs a handful of calls per bar move instead
// of every millisecond.  A received datagram is handled at once and the
// next receive follows without waiting, but the bar and the pump still get
// their turn once per clock step, so a flood of datagrams cannot hold back
// Cancel.  Not accepted: cancelled.
Requester wait_for_request(TftpListener& listener, const TftpServer& server) {
    const TftpUi& ui = *server.ui;
    std::uint32_t activity = 0;
    std::uint32_t last_step = server.clock();
    std::uint32_t last_bar = last_step;
    for (;;) {
        std::uint32_t from_address = 0;
        std::uint16_t from_port = 0;
        int n = receive_datagram(listener.socket, listener.buffer, sizeof listener.buffer, from_address, from_port);
        if (n < 0) {
            // Nothing, an error or an oversized datagram: all an idle poll.
            if (ui.wait_for_input(ui.context, listener.socket, server.timing.waiting_poll_ms) < 0)
                sleep_ms(1);
            last_step = server.clock();
        } else {
            Requester requester = examine_datagram(listener, server, n, from_address, from_port);
            if (requester.accepted) return requester;
            if (!clock_step_due(last_step, server.clock(), tftp_clock_step_ms)) continue;
        }
        std::uint32_t moved = activity_steps(last_bar, last_step);
        if (moved != 0) {
            activity = advance_activity(activity, moved);
            ui.set_progress_position(ui.context, activity);
        }
        if (ui.pump_all_messages(ui.context)) return Requester{false, 0, 0};
    }
}

void tftp_listener_thread(void* argument) {
    TftpListener& listener = *static_cast<TftpListener*>(argument);
    TftpResult result = serve_tftp_requests(listener, listener.server);
    listener.finish(listener, result);
}

}  // namespace

ListenerOpen open_tftp_listener(TftpListener& listener, std::uint32_t local_address, std::uint16_t first_port,
                                std::uint32_t group, unsigned attempts) {
    listener.local_address = local_address;
    listener.group = 0;
    listener.port = 0;
    listener.bind_error = 0;
    listener.socket = open_udp_socket();
    if (listener.socket == invalid_socket) return ListenerOpen::no_socket;
    for (unsigned i = 0; i < attempts && first_port + i <= 0xFFFFu; ++i) {
        std::uint16_t port = static_cast<std::uint16_t>(first_port + i);
        if (bind_socket(listener.socket, local_address, port)) {
            listener.port = port;
            break;
        }
        listener.bind_error = last_socket_error();
    }
    if (listener.port == 0) {
        close_socket(listener.socket);
        listener.socket = invalid_socket;
        return ListenerOpen::no_port;
    }
    if (group != 0) {
        if (!join_multicast_group(listener.socket, group, local_address)) {
            close_socket(listener.socket);
            listener.socket = invalid_socket;
            return ListenerOpen::join_failed;
        }
        stop_own_multicast_echo(listener.socket);
        listener.group = group;
    }
    return ListenerOpen::opened;
}

TftpResult serve_tftp_requests(TftpListener& listener, const TftpServer& server) {
    const TftpUi& ui = *server.ui;
    open_waiting_dialog(ui, TFTP_WAITING_TEXT);
    if (!set_nonblocking(listener.socket, true)) return tftp_failed(MESSAGE_NONBLOCKING);
    listener.waiting = true;
    // Two rounds at most: the staged-upgrader's transition stage, then its
    // target stage.  Every other run ends after its first session.
    for (;;) {
        Requester requester = wait_for_request(listener, server);
        if (!requester.accepted) return tftp_failed(MESSAGE_USER_ABORT);
        // The session closes the waiting dialog once its OACK is out.
        TftpResult result = start_tftp_session(server, listener.socket, listener.group, listener.local_address,
                                               requester.address, requester.port);
        if (!server.rules->staged || !result.passed) {
            // A failed transition stage ends the run too: the target image is
            // not pushed onto a device whose first stage went wrong.
            return result;
        }
        if (server.upgrade_stage == nullptr || server.upgrade_stage->load() != 0) return result;
        // The transition name is withdrawn before the stage moves on: a
        // request for it that waited in the socket through the update wait,
        // or comes before the main thread has drawn the next name, must not
        // be served the target image.
        server.file_name->store(nullptr, std::memory_order_release);
        server.upgrade_stage->store(1);
        open_waiting_dialog(ui, nullptr);  // this time the instruction text stays empty
    }
}

ListenerStart start_tftp_listener(const TftpServer& server, std::uint32_t local_address, const char* group,
                                  void (*finish)(TftpListener& listener, const TftpResult& result)) {
    // Lives until the end of the run, like its thread.
    TftpListener* listener = new (std::nothrow) TftpListener{};
    if (listener == nullptr) return ListenerStart{0, MESSAGE_LISTENER_MALLOC, nullptr};
    std::uint32_t group_address = 0;
    if (!server.rules->staged && group != nullptr && !parse_dotted_quad(group, group_address))
        group_address = 0xFFFFFFFFu;  // not a group: the join fails and says so
    switch (open_tftp_listener(*listener, local_address, server.first_port, group_address)) {
        case ListenerOpen::opened:
            break;
        case ListenerOpen::no_socket:
            delete listener;
            return ListenerStart{0, MESSAGE_LISTENER_SOCKET, nullptr};
        case ListenerOpen::no_port:
            delete listener;
            return ListenerStart{0, MESSAGE_LISTENER_BIND, nullptr};
        case ListenerOpen::join_failed:
            delete listener;
            return ListenerStart{0, MESSAGE_JOIN_FAILED, MESSAGE_JOIN_FAILED_CAPTION};
    }
    listener->server = server;
    listener->finish = finish;
    if (!server.start_thread(tftp_listener_thread, listener)) {
        close_socket(listener->socket);
        delete listener;
        return ListenerStart{0, MESSAGE_LISTENER_THREAD, nullptr};
    }
    // The caller tells the device to ask as soon as this returns.  A device
    // on the same link asks within milliseconds, and a request that came
    // while the waiting dialog was still being made (tens of milliseconds
    // under Wine) would wait for it; so this returns once the listener
    // waits, or after a bound (a thread held up that long is no reason to
    // hold the upgrade back: the request then waits for it instead).
    std::uint32_t start = millisecond_clock();
    while (!listener->waiting && millisecond_clock() - start < listener_ready_bound_ms) sleep_ms(1);
    return ListenerStart{listener->port, nullptr, nullptr};
}

bool parse_dotted_quad(std::string_view text, std::uint32_t& address) {
    std::uint32_t value = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
        std::uint32_t number = 0;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
            number = number * 10 + static_cast<std::uint32_t>(text[at] - '0');
            ++at;
            ++digits;
        }
        if (digits == 0 || digits > 3 || number > 255) return false;
        value = (value << 8) | number;
    }
    if (at != text.size()) return false;
    address = value;
    return true;
}

}  // namespace qvr
