// The TFTP listener: a read-only server on the first free UDP port from 69
// on the PC address, waiting for the one read request whose file name we
// told the device to fetch.  It never answers anything else: every other
// datagram is dropped with a trace line.  It runs on a thread of its own,
// which then runs the transfer session(s) and ends the run.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "platform/socket.h"
#include "tftp/server.h"

namespace qvr {

// Ports tried by the search: first_port and the 99 after it (69 to 168).
inline constexpr unsigned tftp_port_attempts = 100;
// start_tftp_listener waits at most this long for its thread to wait.
inline constexpr std::uint32_t listener_ready_bound_ms = 1000;

struct TftpListener {
    std::uint32_t local_address;  // host order: the PC address chosen by the user
    SocketHandle socket;
    std::uint8_t buffer[tftp_receive_size];
    std::uint32_t group;  // recovery mode: the multicast group joined, host order; 0 when none
    std::uint16_t port;   // the port bound
    int bind_error;       // no_port: the socket error of the last bind tried
    TftpServer server;    // what the listener thread serves with
    std::atomic<bool> waiting;  // set by the listener thread once its waiting dialog is up
    // What the listener thread does with the run's result once it has served
    // (the Windows programs: close, report and end the run).
    void (*finish)(TftpListener& listener, const TftpResult& result);
};

enum class ListenerOpen { opened, no_socket, no_port, join_failed };

// Creates the socket, binds it to local_address on the first free port from
// first_port (at most `attempts` tries, 100 unless a caller asks for one
// port only), and joins `group` when it is not 0, with the local address as
// the interface for both the membership and outgoing multicast.  On a
// failure the socket is closed again; `bind_error` then holds the last
// bind's socket error (a terminal user is told when ports need privileges).
ListenerOpen open_tftp_listener(TftpListener& listener, std::uint32_t local_address, std::uint16_t first_port,
                                std::uint32_t group, unsigned attempts = tftp_port_attempts);

// The listener thread's work: the waiting dialog, the wait for our read
// request, the session for it and, in a staged-upgrader that served its
// transition image, the second wait and session on the same port.  Returns
// how the run ends; it does not end it.
TftpResult serve_tftp_requests(TftpListener& listener, const TftpServer& server);

// How start_tftp_listener went: the port bound, its thread started and
// waiting; or, when it did not start, the report the run ends with (the
// portable code never ends the run itself; the front end does).
struct ListenerStart {
    std::uint16_t port;   // 0 when the listener did not start
    const char* failure;  // the report's text
    const char* caption;  // the plain box's caption; nullptr: the fatal report's own title
};

// Starts the listener: allocates its record, opens it, starts its thread
// and returns the bound port once that thread waits for requests.  `group`
// is the dotted text of a multicast group to join (the recovery-upgrader's
// recovery mode) or nullptr.  The thread hands its result to `finish`.
ListenerStart start_tftp_listener(const TftpServer& server, std::uint32_t local_address, const char* group,
                                  void (*finish)(TftpListener& listener, const TftpResult& result));

// The programs' own form (app/tftp_win32.cpp): serves the process state's images
// with the dialogs.
#if defined(QVR_RECOVERY_UPGRADER)
std::uint16_t start_tftp_listener(std::uint32_t local_address, const char* group);
#else
std::uint16_t start_tftp_listener(std::uint32_t local_address);
#endif

// "a.b.c.d" with four decimal numbers 0..255 to a host-order address.
bool parse_dotted_quad(std::string_view text, std::uint32_t& address);

}  // namespace qvr
