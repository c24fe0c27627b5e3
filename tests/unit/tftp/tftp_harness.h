// Test doubles for the TFTP listener and session over loopback: a user
// interface that records what it is told, a clock whose sleeps jump instead
// of waiting, test images, and a scripted TFTP client.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "firmware/image.h"
#include "platform/socket.h"
#include "tftp/listener.h"

namespace qvr::tftp_test {

// A loopback address of this test process's own (127.1.x.y from the process
// id), so that two test programs running at once never share port 69.
std::uint32_t test_address();

// Deterministic bytes; from 128 bytes on, the header holds `version` at 92.
std::vector<std::uint8_t> make_image_bytes(std::uint32_t size, const char* version, unsigned seed);

struct UiEvent {
    std::string what;  // "open", "close", "range", "pos", "title", "text", "success", "status"
    std::uint32_t number;
    std::string text;
};

// What the user interface was told, in order.  Written by the server thread;
// read by the test after that thread has ended.
struct Recorder {
    std::vector<UiEvent> events;
    // Status requests: the answers in order (the last repeats), and the
    // version the device then reports.
    std::vector<int> status_answers{1};
    std::vector<std::string> reported_versions{""};
    unsigned status_calls = 0;
    unsigned pumps = 0;
    unsigned cancel_after_pumps = 0;  // 0: never (but see the deadline)
    // Safety net: past this many milliseconds of pumping, the user "cancels",
    // so a test that goes wrong ends instead of hanging.
    std::uint32_t deadline_ms = 0;

    std::vector<std::string> all(const std::string& what) const;
    std::vector<std::uint32_t> numbers(const std::string& what) const;
};

TftpUi recorder_ui(Recorder& recorder);

// The clock the server reads: the real one plus an offset that each "sleep"
// of the update wait advances instead of sleeping.
extern std::atomic<std::uint32_t> clock_offset;
extern std::atomic<unsigned> fake_sleeps;
std::uint32_t fake_clock();
void fake_sleep(unsigned milliseconds);

// Timings for tests: periods of a few milliseconds, or of two seconds where
// a test checks that nothing is sent meanwhile.  The period limit stays the
// deliverable's own.
TftpTiming fast_timing();   // 20 ms periods: the default here
TftpTiming tight_timing();  // 3 ms periods: time-outs in a second
TftpTiming slow_timing();   // 2 s periods

struct Datagram {
    std::vector<std::uint8_t> bytes;
    std::uint32_t address;
    std::uint16_t port;
};

// A UDP socket on loopback playing the device (or a stranger).
struct Client {
    SocketHandle socket = invalid_socket;
    std::uint16_t port = 0;
    explicit Client(std::uint32_t address);
    ~Client();
    void send(const std::vector<std::uint8_t>& bytes, std::uint32_t address, std::uint16_t port) const;
    // The next datagram within timeout_ms, or nothing.
    std::optional<Datagram> receive(int timeout_ms) const;
};

std::vector<std::uint8_t> rrq_bytes(const std::string& name);
std::vector<std::uint8_t> ack_bytes(std::uint32_t block);

struct Fetch {
    bool ok = false;
    std::string failure;
    std::vector<std::uint8_t> oack;
    std::vector<std::uint8_t> data;
    unsigned data_packets = 0;  // distinct blocks received
    unsigned last_block_length = 0;
};

// A lock-step download as a device does it: RRQ, ACK 0 for the OACK, then
// each block's ACK until a block shorter than 512.  Bounded in time and count.
Fetch fetch(const Client& client, std::uint32_t server_address, std::uint16_t server_port,
            const std::string& name);

// One listener and its images, run on a thread of its own.
struct ServerRun {
    Recorder recorder;
    TftpUi ui;
    std::vector<std::uint8_t> target_bytes;
    std::vector<std::uint8_t> transition_bytes;
    FirmwareImage target{};
    FirmwareImage transition{};
    std::atomic<std::int32_t> stage{1};
    char file_name[128] = "/qvr1a2b.bi1";
    TftpServer server;
    TftpListener listener{};
    TftpResult result{false, "not run"};
    std::atomic<bool> finished{false};  // serve_tftp_requests has returned
    std::thread thread;

    ServerRun(std::uint32_t target_size, const char* target_version = "7.5.6a");
    ~ServerRun();
    void use_transition_image(std::uint32_t size, const char* version);
    // Opens the listener on the test address (port search from 69) and
    // starts serve_tftp_requests.  False when the listener could not open.
    bool start();
    void join();
};

}  // namespace qvr::tftp_test
