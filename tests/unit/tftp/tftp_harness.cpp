#include "tftp_harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "common/bytes.h"
#include "platform/clock.h"

namespace qvr::tftp_test {

std::uint32_t test_address() {
    unsigned n = static_cast<unsigned>(::getpid()) % (250u * 250u);
    return (127u << 24) | (1u << 16) | ((1u + n / 250u) << 8) | (1u + n % 250u);
}

std::vector<std::uint8_t> make_image_bytes(std::uint32_t size, const char* version, unsigned seed) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1u;
    for (std::uint32_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = static_cast<std::uint8_t>(x >> 16);
    }
    if (size >= image_header_size) {
        std::memset(bytes.data() + image_version_offset, 0, image_version_field);
        std::memcpy(bytes.data() + image_version_offset, version, std::strlen(version));
    }
    return bytes;
}

std::vector<std::string> Recorder::all(const std::string& what) const {
    std::vector<std::string> out;
    for (const UiEvent& e : events)
        if (e.what == what) out.push_back(e.text);
    return out;
}

std::vector<std::uint32_t> Recorder::numbers(const std::string& what) const {
    std::vector<std::uint32_t> out;
    for (const UiEvent& e : events)
        if (e.what == what) out.push_back(e.number);
    return out;
}

namespace {
Recorder& rec(void* context) { return *static_cast<Recorder*>(context); }
void note(void* c, const char* what, std::uint32_t n, const char* text = "") {
    rec(c).events.push_back(UiEvent{what, n, text});
}
bool pump(void* c) {
    Recorder& r = rec(c);
    ++r.pumps;
    if (r.cancel_after_pumps != 0 && r.pumps > r.cancel_after_pumps) return true;
    if (r.deadline_ms == 0) r.deadline_ms = millisecond_clock() + 30000;
    return static_cast<std::int32_t>(millisecond_clock() - r.deadline_ms) > 0;
}
}  // namespace

TftpUi recorder_ui(Recorder& recorder) {
    TftpUi ui{};
    ui.context = &recorder;
    ui.open_dialog = [](void* c, TftpDialog d) { note(c, "open", d); };
    ui.close_dialog = [](void* c) { note(c, "close", 0); };
    ui.set_progress_range = [](void* c, std::uint32_t high) { note(c, "range", high); };
    ui.set_progress_position = [](void* c, std::uint32_t pos) { note(c, "pos", pos); };
    ui.set_title = [](void* c, const char* t) { note(c, "title", 0, t); };
    ui.set_waiting_text = [](void* c, const char* t) { note(c, "text", 0, t); };
    ui.pump_one_message = pump;
    ui.pump_all_messages = pump;
    ui.show_success_dialog = [](void* c, int id, const char* title, const char* version) {
        note(c, "success", static_cast<std::uint32_t>(id), (std::string(title) + "|" + version).c_str());
    };
    ui.status_request = [](void* c, std::uint32_t, std::uint32_t device, char* version, std::size_t capacity) {
        Recorder& r = rec(c);
        unsigned i = r.status_calls++;
        int answer = r.status_answers[i < r.status_answers.size() ? i : r.status_answers.size() - 1];
        const std::string& v = r.reported_versions[i < r.reported_versions.size() ? i : r.reported_versions.size() - 1];
        note(c, "status", device);
        std::snprintf(version, capacity, "%s", answer > 0 ? v.c_str() : "");
        return answer;
    };
    return ui;
}

std::atomic<std::uint32_t> clock_offset{0};
std::atomic<unsigned> fake_sleeps{0};
std::uint32_t fake_clock() { return millisecond_clock() + clock_offset.load(); }
void fake_sleep(unsigned milliseconds) {
    clock_offset += milliseconds;
    ++fake_sleeps;
}

TftpTiming fast_timing() { return TftpTiming{2, 20, tftp_period_limit, 50}; }
TftpTiming tight_timing() { return TftpTiming{2, 3, tftp_period_limit, 50}; }
TftpTiming slow_timing() { return TftpTiming{100, 2000, tftp_period_limit, 50}; }

Client::Client(std::uint32_t address) {
    socket = open_udp_socket();
    EXPECT_TRUE(bind_socket(socket, address, 0));
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    EXPECT_EQ(::getsockname(socket, reinterpret_cast<sockaddr*>(&sa), &len), 0);
    port = ntohs(sa.sin_port);
}

Client::~Client() { close_socket(socket); }

void Client::send(const std::vector<std::uint8_t>& bytes, std::uint32_t address, std::uint16_t to_port) const {
    EXPECT_EQ(send_datagram(socket, bytes.data(), bytes.size(), address, to_port), static_cast<int>(bytes.size()));
}

std::optional<Datagram> Client::receive(int timeout_ms) const {
    std::uint32_t start = millisecond_clock();
    for (int round = 0; round < 1000; ++round) {
        int left = timeout_ms - static_cast<int>(millisecond_clock() - start);
        if (left < 0) break;
        if (wait_readable(socket, left) <= 0) continue;
        Datagram d;
        d.bytes.resize(2048);
        int n = receive_datagram(socket, d.bytes.data(), d.bytes.size(), d.address, d.port);
        if (n < 0) continue;
        d.bytes.resize(static_cast<std::size_t>(n));
        return d;
    }
    return std::nullopt;
}

std::vector<std::uint8_t> rrq_bytes(const std::string& name) {
    std::vector<std::uint8_t> b = {0x00, 0x01};  // RRQ
    b.insert(b.end(), name.begin(), name.end());
    b.push_back(0x00);
    const char mode[] = "octet";
    b.insert(b.end(), mode, mode + sizeof mode);  // with its NUL
    return b;
}

std::vector<std::uint8_t> ack_bytes(std::uint32_t block) {
    std::vector<std::uint8_t> b = {0x00, 0x04, 0x00, 0x00};  // ACK, block
    put_u16_be(b.data() + 2, block);
    return b;
}

Fetch fetch(const Client& client, std::uint32_t server_address, std::uint16_t server_port, const std::string& name) {
    Fetch f;
    client.send(rrq_bytes(name), server_address, server_port);
    std::optional<Datagram> d = client.receive(5000);
    if (!d || d->bytes.size() < 2 || get_u16_be(d->bytes.data()) != TFTP_OACK) {
        f.failure = "no OACK";
        return f;
    }
    f.oack = d->bytes;
    std::uint16_t transfer_port = d->port;
    client.send(ack_bytes(0), server_address, transfer_port);
    std::uint32_t expected = 1;
    for (unsigned round = 0; round < 200000; ++round) {
        d = client.receive(5000);
        if (!d) {
            f.failure = "no DATA " + std::to_string(expected);
            return f;
        }
        if (d->bytes.size() < 4 || get_u16_be(d->bytes.data()) != TFTP_DATA) continue;
        std::uint16_t block = get_u16_be(d->bytes.data() + 2);
        if (block != static_cast<std::uint16_t>(expected)) continue;  // a retransmission we already have
        f.data.insert(f.data.end(), d->bytes.begin() + 4, d->bytes.end());
        ++f.data_packets;
        f.last_block_length = static_cast<unsigned>(d->bytes.size() - 4);
        client.send(ack_bytes(expected), server_address, transfer_port);
        if (d->bytes.size() - 4 < tftp_block_size) {
            f.ok = true;
            return f;
        }
        ++expected;
    }
    f.failure = "too many rounds";
    return f;
}

ServerRun::ServerRun(std::uint32_t target_size, const char* target_version) {
    ui = recorder_ui(recorder);
    target_bytes = make_image_bytes(target_size, target_version, target_size);
    attach_firmware_image(target, target_bytes.data(), target_size);
    recorder.reported_versions = {target_version};
    server = shipped_tftp_server();
    server.ui = &ui;
    server.target_image = &target;
    server.upgrade_stage = &stage;
    server.file_name = file_name;
    server.device_label = "192.168.0.20";
    server.display_name = "ODM-Product";
    server.phone_family = false;
    server.timing = fast_timing();
    server.clock = fake_clock;
    server.sleep = fake_sleep;
    listener.socket = invalid_socket;
}

ServerRun::~ServerRun() {
    join();
    close_socket(listener.socket);
}

void ServerRun::use_transition_image(std::uint32_t size, const char* version) {
    transition_bytes = make_image_bytes(size, version, size + 7);
    attach_firmware_image(transition, transition_bytes.data(), size);
    server.transition_image = &transition;
    stage = 0;
}

bool ServerRun::start() {
    if (open_tftp_listener(listener, test_address(), 69, 0) != ListenerOpen::opened) return false;
    thread = std::thread([this] {
        result = serve_tftp_requests(listener, server);
        finished = true;
    });
    return true;
}

void ServerRun::join() {
    if (thread.joinable()) thread.join();
}

}  // namespace qvr::tftp_test
