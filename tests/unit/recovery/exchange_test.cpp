// The recovery exchange against a scripted device on loopback: what it
// sends, how many times, which datagram it takes as the reply, and the
// boxes it shows when the socket cannot be set up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "recovery/exchange.h"

namespace qvr {
namespace {

// 127.2.x.y from the process id: the shipped ports 4810 and 4811 can then be
// used as they are while other test programs run beside this one.
std::uint32_t pc_address() {
    unsigned n = static_cast<unsigned>(::getpid()) % (250u * 250u);
    return (127u << 24) | (2u << 16) | ((1u + n / 250u) << 8) | (1u + n % 250u);
}
std::uint32_t device_address() { return pc_address() + (1u << 16); }  // 127.3.x.y

// The waits the exchange asked for, in order; each lasts 20 ms here.
std::vector<unsigned> waits_asked;
void short_wait(unsigned ms) {
    waits_asked.push_back(ms);
    sleep_ms(20);
}

RecoveryTiming fast_timing() {
    RecoveryTiming t = shipped_recovery_timing();
    t.wait = short_wait;
    return t;
}

using Datagram = std::vector<std::uint8_t>;
Datagram datagram(std::size_t length, std::uint8_t fill) { return Datagram(length, fill); }

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
    void TearDown() override { close_recovery_socket(); }
    int exchange(const RecoveryMessage& m, std::uint32_t pc = pc_address()) {
        return recovery_exchange(device_address(), m, reply, pc, fast_timing());
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

// A device that never replies gets 5 sends to port 4810 from port 4811,
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
    EXPECT_EQ(device.source_ports, std::vector<std::uint16_t>(5, 4811));
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

TEST_F(RecoveryExchange, TakenPortIsReportedWithItsErrorAndTheNextCallTriesAgain) {
    SocketHandle holder = open_udp_socket();
    ASSERT_TRUE(bind_socket(holder, pc_address(), recovery_pc_port));
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(exchange(discover), 0);
    std::string boxes = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(boxes.find("Error: Binding socket failed! Error: "), std::string::npos) << boxes;
    EXPECT_EQ(boxes.find("Error: 0\n"), std::string::npos) << "the socket's own error code is shown";
    close_socket(holder);

    ScriptedDevice device({{datagram(100, 0x01)}});
    EXPECT_EQ(exchange(discover), 1) << "a failed set-up leaves no half-made socket behind";
}

}  // namespace
}  // namespace qvr
