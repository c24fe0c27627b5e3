// One TFTP server for many devices at once (the terminal program's fleet
// runs): one UDP socket on a PC address, one thread, and a transfer session
// per device that asked for its file.  Each device is a target the caller
// registers while the device is told to fetch its file; a read request
// reaches a target only from the target's address and for its own file
// name, so a stranger, or a device asking for another device's file, gets
// no answer at all.  Every session serves from the caller's image in place:
// twenty devices cost twenty small records, not twenty images.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "firmware/image.h"
#include "platform/socket.h"
#include "tftp/decisions.h"
#include "tftp/listener.h"
#include "tftp/routing.h"
#include "tftp/transfer.h"

namespace qvr {

enum class TargetState : int {
    idle,          // not served yet
    waiting,       // served: its read request is awaited
    transferring,  // its session runs
    complete,      // every block was acknowledged
    timed_out,     // the session reached the period limit without progress
    withdrawn,     // withdrawn (or the server stopped) before the session ended
    aborted,       // the device sent an ERROR from its session's port
};

inline constexpr std::size_t tftp_target_name_size = 96;

// One device of the run; it lives in the caller.  address, file_name,
// image and stage are read by the server from serve_tftp_target until
// withdraw_tftp_target returns: set them before, and change them only
// between a withdraw and the next serve.
struct TftpTarget {
    std::uint32_t address;  // host order: only this address is served
    char file_name[tftp_target_name_size];  // NUL-terminated, unique within the run (the caller draws it)
    const FirmwareImage* image;
    std::int32_t stage;  // for the trace: 0 transition, 1 target
    // Written by the server thread, read by anyone.
    std::atomic<TargetState> state;
    std::atomic<std::uint32_t> bytes_acknowledged;  // of this stage's transfer
    std::atomic<std::uint32_t> image_size;          // set when the session starts
};

// Called on the server thread for a read request from an address no target
// has: the address, and the name asked for (null when the request has no
// terminated name).  It runs with the server's lock held, so it must return
// quickly and must not call serve_tftp_target or withdraw_tftp_target.
using RefusedRequester = void (*)(void* context, std::uint32_t address, const char* name_or_null);

// A served target and, while its session runs, the session's record.  Row
// i of `routes` describes slot i.
struct SharedTftpSlot {
    TftpTarget* target;
    std::unique_ptr<TftpTransfer> transfer;
};

// Fill `timing`, `refused` and `refused_context` (and, for tests, `clock`)
// after open and before start; the rest belongs to the functions below.
struct SharedTftpServer {
    SocketHandle socket = invalid_socket;
    std::uint32_t local_address = 0;
    std::uint16_t port = 0;  // the port bound
    int bind_error = 0;      // no_port: the socket error of the last bind tried
    TftpTiming timing{};     // set by open from its argument
    std::uint32_t (*clock)() = nullptr;  // set by open to the platform's millisecond clock
    RefusedRequester refused = nullptr;
    void* refused_context = nullptr;

    // The server thread's and the registration calls', under `lock`.
    std::mutex lock;
    std::vector<RouteEntry> routes;
    std::vector<SharedTftpSlot> slots;
    std::uint8_t buffer[tftp_receive_size] = {};
    std::atomic<bool> stopping{false};
    std::thread thread;
};

// Creates the socket and binds it to local_address on the first free port
// from first_port (at most `attempts` tries), as the single-device listener
// does; the socket is non-blocking.  On a failure the socket is closed
// again and `bind_error` holds the last bind's socket error.  `timing` is
// what every session keeps to: shipped_tftp_timing of the rules followed.
ListenerOpen open_shared_tftp_server(SharedTftpServer& server, std::uint32_t local_address, std::uint16_t first_port,
                                     const TftpTiming& timing, unsigned attempts = tftp_port_attempts);

// Starts the server thread on an opened server.
void start_shared_tftp_server(SharedTftpServer& server);

// Ends the thread (its waits last at most 20 ms), closes the socket, and
// withdraws every target still served.  Safe on a server never started.
void stop_shared_tftp_server(SharedTftpServer& server);

// Registers the target (state -> waiting, bytes_acknowledged -> 0).  A
// target already served is served anew, its session dropped.  False, with
// the state left alone, when the target has no image or no memory is left
// for its session record.  Thread-safe.
bool serve_tftp_target(SharedTftpServer& server, TftpTarget& target);

// Stops serving the target now: a running session is dropped without a
// word to the device.  The state becomes withdrawn unless it is complete,
// timed_out or aborted.  Thread-safe; once it returns the server never
// touches the target again.
void withdraw_tftp_target(SharedTftpServer& server, TftpTarget& target);

}  // namespace qvr
