// The recovery exchange against a scripted device on loopback: what it
// sends, how many times, which datagram it takes as the reply under either
// rule, and the failures it tells when the socket cannot be set up or a
// send fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "recovery/exchange.h"

namespace qvr {
namespace {

// 127.2.x.y from the process id: the device's port 4810 can then be used as
// it is while other test programs run beside this one.  The PC port is one
// of this process's too: natively the exchange also binds the group address
// on that port, which is one for the whole host.
std::uint32_t pc_address() {
    unsigned n = static_cast<unsigned>(::getpid()) % (250u * 250u);
    return (127u << 24) | (2u << 16) | ((1u + n / 250u) << 8) | (1u + n % 250u);
}
std::uint32_t device_address() { return pc_address() + (1u << 16); }  // 127.3.x.y
std::uint16_t pc_port() { return static_cast<std::uint16_t>(20000u + static_cast<unsigned>(::getpid()) % 10000u); }

// The waits the exchange asked for, in order; each lasts 20 ms here.
std::vector<unsigned> waits_asked;
void short_wait(unsigned ms) {
    waits_asked.push_back(ms);
    sleep_ms(20);
}

// The failures told, as "caption: text".
std::vector<std::string> reported;
void record_report(const char* text, const char* caption) { reported.push_back(std::string(caption) + ": " + text); }

RecoveryTiming fast_timing() {
    RecoveryTiming t = shipped_recovery_timing();
    t.wait = short_wait;
    t.pc_port = pc_port();
    t.report = record_report;
    return t;
}

using Datagram = std::vector<std::uint8_t>;
Datagram datagram(std::size_t length, std::uint8_t fill) { return Datagram(length, fill); }
// A 100-byte reply naming serial, every other byte fill.
Datagram reply_naming(const char* serial, std::uint8_t fill) {
    Datagram d(100, fill);
    std::fill(d.begin() + 8, d.begin() + 28, 0);              // serial number, NUL-padded
    std::memcpy(d.data() + 8, serial, std::strlen(serial));
    return d;
}

// Plays the device on port 4810 from the start: records every message, and
// after the n-th (counting from 1) sends the datagrams scripted for it to
// the sender, until finish() or 10 s.
struct ScriptedDevice {
    SocketHandle socket = open_udp_socket();
    std::vector<std::vector<Datagram>> answers;  // by message number - 1
    std::vector<Datagram> received;
    std::vector<std::uint32_t> sources;
    std::vector<std::uint16_t> source_ports;
    std::atomic<bool> stop{false};
    std::thread thread;

    explicit ScriptedDevice(std::vector<std::vector<Datagram>> script) : answers(std::move(script)) {
        EXPECT_TRUE(bind_socket(socket, device_address(), 4810));
        thread = std::thread([this] {
            for (std::uint32_t end = millisecond_clock() + 10000;
                 !stop && static_cast<std::int32_t>(end - millisecond_clock()) > 0;) {
                Datagram bytes(512);
                std::uint32_t from;
                std::uint16_t port;
                int n = wait_readable(socket, 5) > 0 ? receive_datagram(socket, bytes.data(), bytes.size(), from, port)
                                                     : -1;
                if (n < 0) continue;
                bytes.resize(static_cast<std::size_t>(n));
                received.push_back(bytes);
                sources.push_back(from);
                source_ports.push_back(port);
                if (received.size() <= answers.size())
                    for (const auto& d : answers[received.size() - 1])
                        send_datagram(socket, d.data(), d.size(), from, port);
            }
        });
    }
    void finish() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
    ~ScriptedDevice() {
        finish();
        close_socket(socket);
    }
};

class RecoveryExchange : public ::testing::Test {
  protected:
    void SetUp() override { reported.clear(); }
    void TearDown() override { close_recovery_socket(); }
    int exchange(const RecoveryMessage& m, std::uint32_t pc = pc_address(), RecoveryScreen* screen = nullptr,
                 const RecoveryTiming& timing = fast_timing()) {
        return recovery_exchange(device_address(), m, reply, pc, timing, screen);
    }
    std::uint8_t reply_byte(std::size_t i) const { return reinterpret_cast<const std::uint8_t*>(&reply)[i]; }
    RecoveryReply reply{};
    RecoveryMessage discover = make_recovery_message(RECOVERY_DISCOVER, "AB12CD");
};

TEST_F(RecoveryExchange, DeviceThatAnswersTheFifthSendIsFound) {
    ScriptedDevice device({{}, {}, {}, {}, {datagram(100, 0x5A)}});
    EXPECT_EQ(exchange(discover), 1);
    device.finish();
    ASSERT_EQ(device.received.size(), 5u);
    for (const auto& m : device.received) {
        ASSERT_EQ(m.size(), 160u);
        EXPECT_EQ(std::memcmp(m.data() + 4, "RECM", 4), 0) << "magic written into every send";
        EXPECT_EQ(std::memcmp(m.data() + 8, "AB12CD\0", 7), 0);
        EXPECT_EQ(m[0], RECOVERY_DISCOVER);
    }
    EXPECT_EQ(device.sources[0], pc_address()) << "sent from the PC address the user chose";
    EXPECT_EQ(reply_byte(99), 0x5A);
    EXPECT_EQ(std::memcmp(discover.magic, "\0\0\0\0", 4), 0) << "the caller's message is not changed";
}

// A device that never replies gets 5 sends to port 4810 from the PC port,
// each followed by 5 looks half a second apart: 25 waits of 500 ms.
TEST_F(RecoveryExchange, SilentDeviceGetsExactlyFiveSendsAndReplyIsUntouched) {
    // Nothing but datagrams that are not replies: 0, 60, 99, 101 and 160 bytes.
    ScriptedDevice device(std::vector(5, std::vector{datagram(0, 1), datagram(60, 1), datagram(99, 1),
                                                     datagram(101, 1), datagram(160, 1)}));
    std::memset(&reply, 0x77, sizeof reply);
    waits_asked.clear();
    EXPECT_EQ(exchange(discover), 0);
    device.finish();
    EXPECT_EQ(device.received.size(), 5u);
    EXPECT_EQ(device.source_ports, std::vector<std::uint16_t>(5, pc_port()));
    EXPECT_EQ(waits_asked, std::vector<unsigned>(25, 500));
    for (std::size_t i = 0; i < sizeof reply; ++i) ASSERT_EQ(reply_byte(i), 0x77) << "byte " << i;
}

TEST_F(RecoveryExchange, ShortAndLongDatagramsAreSkippedAndTheNextReplyTaken) {
    ScriptedDevice device({{datagram(60, 0x11), datagram(160, 0x22), datagram(100, 0x33), datagram(100, 0x44)}});
    EXPECT_EQ(exchange(discover), 1);
    EXPECT_EQ(reply_byte(0), 0x33);
    EXPECT_EQ(reply_byte(99), 0x33);

    // The second exchange reuses the open socket: another PC address given
    // now changes nothing, and the reply left queued is the answer.
    EXPECT_EQ(exchange(make_recovery_message(RECOVERY_UPGRADE, "AB12CD", 69, "/qvr1.bin"), pc_address() + 1), 1);
    EXPECT_EQ(reply_byte(0), 0x44);
    device.finish();
    ASSERT_EQ(device.received.size(), 2u);
    EXPECT_EQ(device.sources[1], pc_address());
    EXPECT_EQ(device.received[1][0], RECOVERY_UPGRADE);
    EXPECT_EQ(std::memcmp(device.received[1].data() + 4, "RECM", 4), 0);
}

// The set-up failure is told once through the caller's report, with the
// caption of its box, and kept in the screen: the exchange itself shows and
// ends nothing.
TEST_F(RecoveryExchange, TakenPortIsReportedWithItsErrorAndTheNextCallTriesAgain) {
    SocketHandle holder = open_udp_socket();
    ASSERT_TRUE(bind_socket(holder, pc_address(), pc_port()));
    RecoveryScreen screen{};
    EXPECT_EQ(exchange(discover, pc_address(), &screen), 0);
    const std::string expected = "Binding socket failed! Error: " + std::to_string(EADDRINUSE);
    EXPECT_EQ(reported, std::vector<std::string>{"Error: " + expected}) << "the socket's own error code is shown";
    EXPECT_EQ(std::string(screen.failure), expected);
    close_socket(holder);

    ScriptedDevice device({{datagram(100, 0x01)}});
    EXPECT_EQ(exchange(discover, pc_address(), &screen), 1) << "a failed set-up leaves no half-made socket behind";
    EXPECT_STREQ(screen.failure, "") << "a later exchange starts its screen afresh";
}

// Port 0 is no destination: every send fails, each is told as the
// lower-case "error" box and counted, and no send cycle waits for a reply.
TEST_F(RecoveryExchange, FailedSendsAreToldOncePerCycleWithoutWaiting) {
    RecoveryTiming timing = fast_timing();
    timing.device_port = 0;
    RecoveryScreen screen{};
    waits_asked.clear();
    EXPECT_EQ(exchange(discover, pc_address(), &screen, timing), 0);
    EXPECT_EQ(reported, std::vector<std::string>(5, "error: Sending error"));
    EXPECT_EQ(screen.failed_sends, 5u);
    EXPECT_STREQ(screen.failure, "") << "the socket itself was set up";
    EXPECT_TRUE(waits_asked.empty());
}

// The Windows programs' rule: the first 100-byte datagram is the reply,
// whatever serial number it names.
TEST_F(RecoveryExchange, WithoutTheSerialRuleTheFirstReplyIsTakenWhateverItNames) {
    ScriptedDevice device({{reply_naming("OTHER1", 0x11), reply_naming("AB12CD", 0x22)}});
    RecoveryScreen screen{};  // same_serial_only false
    EXPECT_EQ(exchange(discover, pc_address(), &screen), 1);
    EXPECT_EQ(reply_byte(0), 0x11);
    EXPECT_EQ(screen.other_serials, 0u);
}

// The terminal program's rule: replies naming other serial numbers are
// skipped and counted, and every datagram waiting is read at one look.  Read
// one per look as under the Windows rule, the 25 looks of an exchange would
// never reach the reply behind 30 strangers' (the fault this pins).
TEST_F(RecoveryExchange, WithTheSerialRuleOnlyTheNumberAskedForIsTaken) {
    std::vector<Datagram> answers(30, reply_naming("OTHER1", 0x11));
    for (const Datagram& d : {datagram(60, 0x12), reply_naming("AB12C", 0x13), reply_naming("AB12CD", 0x22),
                              reply_naming("AB12CD", 0x23)})
        answers.push_back(d);
    ScriptedDevice device({answers});
    RecoveryScreen screen{true, 0, 0, ""};  // the serial rule
    EXPECT_EQ(exchange(discover, pc_address(), &screen), 1);
    EXPECT_EQ(reply_byte(0), 0x22) << "the first reply naming AB12CD";
    EXPECT_EQ(screen.other_serials, 31u) << "OTHER1 30 times and the prefix AB12C; the 60 bytes are no reply";
    device.finish();
    EXPECT_EQ(device.received.size(), 1u) << "found in the first send cycle";
}

}  // namespace
}  // namespace qvr
