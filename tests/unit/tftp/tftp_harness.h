// Test doubles for the TFTP listener and session over loopback: a user
// interface that records what it is told, a clock whose sleeps jump instead
// of waiting, and a scripted TFTP client playing the device.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/build_deliverable.h"
#include "common/bytes.h"
#include "firmware/image.h"
#include "platform/clock.h"
#include "tftp/listener.h"

namespace qvr::tftp_test {

using Bytes = std::vector<std::uint8_t>;

// 127.1.x.y from the process id, so two test programs never share port 69.
inline std::uint32_t test_address() {
    unsigned n = static_cast<unsigned>(::getpid()) % (250u * 250u);
    return (127u << 24) | (1u << 16) | ((1u + n / 250u) << 8) | (1u + n % 250u);
}

// A UDP socket on loopback playing the device (or a stranger, or holding a
// port); it sends to the server on test_address().
struct Client {
    SocketHandle socket = open_udp_socket();

    explicit Client(std::uint32_t address = test_address(), std::uint16_t port = 0) {
        EXPECT_TRUE(bind_socket(socket, address, port)) << port;
    }
    ~Client() { close_socket(socket); }
    void send(const Bytes& bytes, std::uint16_t to_port) const {
        EXPECT_EQ(send_datagram(socket, bytes.data(), bytes.size(), test_address(), to_port),
                  static_cast<int>(bytes.size()));
    }
    // The next datagram within the time, and the port it came from.
    std::optional<std::pair<Bytes, std::uint16_t>> receive(int timeout_ms = 3000) const {
        Bytes bytes(2048);
        std::uint32_t from_address;
        std::uint16_t from_port;
        int n = wait_readable(socket, timeout_ms) > 0
                    ? receive_datagram(socket, bytes.data(), bytes.size(), from_address, from_port)
                    : -1;
        if (n < 0) return std::nullopt;
        bytes.resize(static_cast<std::size_t>(n));
        return std::pair(bytes, from_port);
    }
};

inline Bytes rrq_bytes(const std::string& name) {
    Bytes b = {0x00, 0x01};  // RRQ
    b.insert(b.end(), name.begin(), name.end());
    const char mode[] = "\0octet";                // the name's NUL, the mode
    b.insert(b.end(), mode, mode + sizeof mode);  // and its NUL
    return b;
}

inline Bytes ack_bytes(std::uint32_t block) {
    Bytes b = {0x00, 0x04, 0x00, 0x00};  // ACK, block
    put_u16_be(b.data() + 2, block);
    return b;
}

// 0 for the OACK, a DATA block's number, -1 for anything else or nothing.
inline int block_of(const std::optional<std::pair<Bytes, std::uint16_t>>& d) {
    if (!d || d->first.size() < 4) return -1;
    std::uint16_t opcode = get_u16_be(d->first.data());
    return opcode == TFTP_OACK ? 0 : opcode == TFTP_DATA ? get_u16_be(d->first.data() + 2) : -1;
}

struct Fetch {
    Bytes oack, data;
    unsigned data_packets = 0;  // distinct blocks received
    unsigned last_block_length = 0;
};

// A lock-step download as a device does it: RRQ (unless the caller sent it), ACK 0 for the OACK, then
// each block's ACK until a block shorter than 512.  Anything but the next
// block is taken for a retransmission already received.  A download that
// stops short is a test failure.
inline Fetch fetch(const Client& client, std::uint16_t server_port, const std::string& name,
                   bool send_request = true) {
    Fetch f;
    if (send_request) client.send(rrq_bytes(name), server_port);
    for (std::uint32_t expected = 0; expected <= 65535;) {
        auto d = client.receive(5000);
        if (!d) break;
        if (block_of(d) != static_cast<int>(expected)) continue;
        if (expected == 0) f.oack = d->first;
        else f.data.insert(f.data.end(), d->first.begin() + 4, d->first.end());
        f.data_packets += expected != 0;
        f.last_block_length = static_cast<unsigned>(d->first.size() - 4);
        client.send(ack_bytes(expected++), d->second);
        if (expected > 1 && f.last_block_length < tftp_block_size) return f;
    }
    ADD_FAILURE() << "no DATA after block " << f.data_packets;
    return f;
}

inline std::atomic<std::uint32_t> clock_offset{0};

// One listener and its images on a thread of its own, and what its user
// interface was told, in order for each call, read once the thread has
// ended: numbers of "open", "range", "pos", "success" (the template),
// "status" (the address asked) and "refused" (a requester turned away); texts of "title", "text" and "success"
// (title|version).  Status requests answer from the lists, the last entry
// repeating.  The clock starts a second before the 32-bit wrap; each
// update-wait sleep moves it 32 ms on.
struct ServerRun {
    std::map<std::string, std::vector<std::uint32_t>> numbers;
    std::map<std::string, std::vector<std::string>> texts;
    std::vector<int> status_answers{1};
    std::vector<std::string> reported_versions;  // the served image's version unless set
    unsigned pumps = 0;
    unsigned cancel_after_pumps = 0;  // 0: never, though 30 s of pumping always cancel
    // The dialog calls in order ("open 0", "close", ...), and, when `device`
    // is set, whether a datagram was waiting at it as each dialog opened.
    std::vector<std::string> dialog_calls;
    const Client* device = nullptr;
    std::atomic<bool> upload_opened{false};
    std::uint32_t deadline_ms = millisecond_clock() + 30000;

    static ServerRun& run(void* context) { return *static_cast<ServerRun*>(context); }
    static void note(void* c, const char* what, std::uint32_t n) { run(c).numbers[what].push_back(n); }
    static bool pump(void* c) {
        ServerRun& r = run(c);
        if (r.cancel_after_pumps != 0 && ++r.pumps > r.cancel_after_pumps) return true;
        return static_cast<std::int32_t>(millisecond_clock() - r.deadline_ms) > 0;
    }
    std::function<void()> during_status;  // runs at each status request, on the listener thread
    static int status_request(void* c, std::uint32_t, std::uint32_t device, char* version, std::size_t capacity) {
        ServerRun& r = run(c);
        if (r.during_status) r.during_status();
        std::size_t i = r.numbers["status"].size();
        note(c, "status", device);
        int answer = r.status_answers[std::min(i, r.status_answers.size() - 1)];
        const std::string& v = r.reported_versions[std::min(i, r.reported_versions.size() - 1)];
        std::snprintf(version, capacity, "%s", answer > 0 ? v.c_str() : "");
        return answer;
    }
    TftpUi ui{this,
              [](void* c, TftpDialog d) {
                  ServerRun& r = run(c);
                  note(c, "open", d);
                  r.dialog_calls.push_back("open " + std::to_string(d));
                  if (r.device != nullptr) note(c, "waiting at open", wait_readable(r.device->socket, 0) == 1);
                  if (d == TFTP_UPLOAD_DIALOG) r.upload_opened = true;
              },
              [](void* c) { run(c).dialog_calls.push_back("close"); },
              [](void* c, std::uint32_t high) { note(c, "range", high); },
              [](void* c, std::uint32_t position) { note(c, "pos", position); },
              [](void* c, const char* title) { run(c).texts["title"].push_back(title); },
              [](void* c, const char* text) { run(c).texts["text"].push_back(text); },
              [](void*, SocketHandle socket, unsigned ms) { return wait_readable(socket, static_cast<int>(ms)); },
              pump,
              [](void* c, int id, const char* title, const char* version) {
                  note(c, "success", static_cast<std::uint32_t>(id));
                  run(c).texts["success"].push_back(std::string(title) + "|" + version);
              },
              status_request,
              [](void* c, std::uint32_t address) { note(c, "refused", address); }};

    Bytes target_bytes, transition_bytes;
    FirmwareImage target{}, transition{};
    std::atomic<std::int32_t> stage{1};
    char file_name[128] = "/qvr1a2b.bi1";
    char next_file_name[128] = "";
    std::atomic<const char*> served_name{file_name};
    TftpServer server = shipped_tftp_server(build_rules);
    TftpListener listener{};
    TftpResult result{false, "not run"};
    std::atomic<bool> finished{false};  // serve_tftp_requests has returned
    std::thread thread;

    // Deterministic bytes; from 128 bytes on, the header holds the version.
    static Bytes image_bytes(std::uint32_t size, const char* version, unsigned seed) {
        Bytes bytes(size);
        std::uint32_t x = seed * 2654435761u + 1u;
        for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>((x = x * 1103515245u + 12345u) >> 16);
        if (size >= image_header_size) {
            std::memset(bytes.data() + image_version_offset, 0, image_version_field);
            std::memcpy(bytes.data() + image_version_offset, version, std::strlen(version));
        }
        return bytes;
    }
    explicit ServerRun(std::uint32_t target_size) {
        use_target(image_bytes(target_size, "7.5.6a", target_size));
        server.ui = &ui;
        server.target_image = &target;
        server.upgrade_stage = &stage;
        server.file_name = &served_name;
        server.device_label = "192.168.0.20";
        server.display_name = "ODM-Product";
        server.timing = TftpTiming{.polls_per_period = 2,
                                   .min_period_ms = 20,
                                   .period_limit = tftp_period_limit,
                                   .redraw_interval_ms = 50,
                                   .waiting_poll_ms = 50};
        server.clock = [] { return millisecond_clock() + clock_offset.load(); };
        server.sleep = [](unsigned ms) { clock_offset += ms; };
        clock_offset = 0u - millisecond_clock() - 1000u;
        listener.socket = invalid_socket;
    }
    ~ServerRun() {
        join();
        close_socket(listener.socket);
    }
    void use_target(Bytes bytes) {
        target_bytes = std::move(bytes);
        attach_firmware_image(target, target_bytes.data(), static_cast<std::uint32_t>(target_bytes.size()));
        reported_versions = {std::string(image_version(target))};
    }
    void use_transition(std::uint32_t size, const char* version) {  // and stage 0
        transition_bytes = image_bytes(size, version, size + 7);
        attach_firmware_image(transition, transition_bytes.data(), size);
        server.transition_image = &transition;
        stage = 0;
    }
    // The listener on test_address() from port 69, then serve_tftp_requests.
    bool start() {
        if (open_tftp_listener(listener, test_address(), 69, 0) != ListenerOpen::opened) return false;
        thread = std::thread([this] {
            result = serve_tftp_requests(listener, server);
            finished = true;
        });
        return true;
    }
    // As the main thread does once the stage has moved on: the next name,
    // written whole and then published.
    void publish_next_name(const char* name) {
        std::snprintf(next_file_name, sizeof next_file_name, "%s", name);
        served_name.store(next_file_name);
    }
    void join() {
        if (thread.joinable()) thread.join();
    }
    // start(), a fetch of file_name by a device on test_address(), join().
    Fetch fetch_all() {
        Fetch f;
        if (start()) f = fetch(Client(), listener.port, file_name);
        else ADD_FAILURE() << "no listener";
        join();
        return f;
    }
};

}  // namespace qvr::tftp_test
