// Transfer sessions over loopback: a scripted device fetches from a real
// listener socket and the recorder notes what the dialogs were told.
#include "tftp/session.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "common/bytes.h"
#include "common/deliverable.h"
#include "platform/clock.h"
#include "resources/resource_ids.h"
#include "tftp/texts.h"
#include "tftp_harness.h"

namespace qvr {
namespace {

using namespace tftp_test;

std::string upload_title(std::uint32_t done, std::uint32_t size) {
    char t[256];
    format_upload_title(t, sizeof t, 1, "192.168.0.20", done, size);
    return t;
}

void expect_served(ServerRun& run, std::uint32_t size) {
    SCOPED_TRACE("image of " + std::to_string(size) + " bytes");
    ASSERT_TRUE(run.start());
    Client device(test_address());
    Fetch f = fetch(device, test_address(), run.listener.port, run.file_name);
    run.join();
    ASSERT_TRUE(f.ok) << f.failure;
    EXPECT_TRUE(f.data == run.target_bytes) << "every byte, in order";
    EXPECT_EQ(f.data_packets, tftp_block_count(size));
    EXPECT_EQ(f.last_block_length, tftp_last_block_length(size));
    std::uint8_t oack[64];
    std::size_t n = build_option_ack(oack, sizeof oack, size);
    EXPECT_EQ(f.oack, std::vector<std::uint8_t>(oack, oack + n));
    EXPECT_TRUE(run.result.passed);

    const Recorder& r = run.recorder;
    std::vector<std::string> titles = r.all("title");
    ASSERT_GE(titles.size(), 2u);
    EXPECT_EQ(titles.front(), upload_title(0, size)) << "after the OACK's ACK, before any data";
    EXPECT_EQ(titles[titles.size() - 2], upload_title(size, size)) << "the transfer ends on the exact figures";
    std::vector<std::uint32_t> ranges = r.numbers("range");
    ASSERT_GE(ranges.size(), 3u);
    EXPECT_EQ(ranges[1], tftp_block_count(size));  // after the waiting dialog's 1000
    EXPECT_EQ(r.status_calls, 1u);
    std::vector<std::string> success = r.all("success");
    ASSERT_EQ(success.size(), 1u);
    EXPECT_EQ(success[0], "QVR@192.168.0.20 Upgrade Successful!|" + r.reported_versions[0]);
}

TEST(TftpSession, ServesEverySizeExactly) {
    for (std::uint32_t size : {0u, 511u, 512u, 1024u}) {
        ServerRun run(size, size >= 128 ? "7.5.6a" : "");  // no header in an empty image
        expect_served(run, size);
    }
}

TEST(TftpSession, ServesTheSampleImage) {
    std::ifstream in(QVR_SAMPLE_IMAGE, std::ios::binary);
    std::vector<std::uint8_t> sample{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(sample.size(), 4309491u);
    ServerRun run(0);
    run.target_bytes = sample;
    attach_firmware_image(run.target, run.target_bytes.data(), 4309491);
    run.server.timing = shipped_tftp_timing();
    expect_served(run, 4309491);  // 8,417 blocks, the last of 499 bytes, a 26-byte OACK
}

// Where the transfer stands: the device has ACKed block `acked` and holds
// DATA acked + 1.
struct MidTransfer {
    ServerRun& run;
    Client device{test_address()};
    std::uint16_t port = 0;

    explicit MidTransfer(ServerRun& r) : run(r) {}

    std::optional<Datagram> next() const { return device.receive(3000); }
    static std::uint16_t block_of(const std::optional<Datagram>& d) {
        if (!d || d->bytes.size() < 2) return 0xFFFF;
        std::uint16_t opcode = get_u16_be(d->bytes.data());
        if (opcode == TFTP_OACK) return 0;
        return opcode == TFTP_DATA && d->bytes.size() >= 4 ? get_u16_be(d->bytes.data() + 2) : 0xFFFF;
    }
    // The next DATA `block` (0: the OACK), passing over retransmissions of
    // earlier packets.
    std::optional<Datagram> next_block(std::uint32_t block) const {
        for (int i = 0; i < 1000; ++i) {
            std::optional<Datagram> d = next();
            if (!d || block_of(d) == block) return d;
        }
        return std::nullopt;
    }
    // RRQ, then each packet up to DATA `acked` received and acknowledged.
    bool reach(std::uint32_t acked) {
        if (!run.start()) return false;
        port = run.listener.port;
        device.send(rrq_bytes(run.file_name), test_address(), port);
        for (std::uint32_t b = 0; b <= acked; ++b) {
            if (!next_block(b)) return false;
            device.send(ack_bytes(b), test_address(), port);
        }
        return true;
    }
    void finish(std::uint32_t from_block) {
        for (std::uint32_t b = from_block; b <= tftp_block_count(run.target.size); ++b)
            device.send(ack_bytes(b), test_address(), port);
        run.join();
    }
};

// Regression: answering a duplicate ACK sends every later block twice.
TEST(TftpSession, DuplicateAndStaleAcksSendNothing) {
    ServerRun run(5000);
    run.server.timing = slow_timing();  // no retransmission can come in between
    MidTransfer t(run);
    ASSERT_TRUE(t.reach(3));
    EXPECT_EQ(t.block_of(t.next()), 4);
    t.device.send(ack_bytes(3), test_address(), t.port);  // duplicate
    t.device.send(ack_bytes(1), test_address(), t.port);  // stale
    t.device.send(ack_bytes(9), test_address(), t.port);  // ahead
    t.device.send(ack_bytes(4), test_address(), t.port);  // the expected one
    EXPECT_EQ(t.block_of(t.next()), 5) << "nothing was sent for the other three";
    EXPECT_FALSE(t.device.receive(200)) << "and one block for the one ACK";
    t.finish(5);
    EXPECT_TRUE(run.result.passed);
}

TEST(TftpSession, StrangersAndMalformedDatagramsMoveNothing) {
    ServerRun run(5000);
    run.server.timing = slow_timing();
    MidTransfer t(run);
    ASSERT_TRUE(t.reach(2));
    EXPECT_EQ(t.block_of(t.next()), 3);
    Client other_port(test_address());
    Client other_address(test_address() + 1);
    other_port.send(ack_bytes(3), test_address(), t.port);
    other_address.send(ack_bytes(3), test_address(), t.port);
    const std::vector<std::uint8_t> short_ack = {
        0x00, 0x04,  // ACK
        0x00,        // half a block number
    };
    t.device.send(short_ack, test_address(), t.port);
    t.device.send(rrq_bytes(run.file_name), test_address(), t.port);  // a repeated RRQ
    t.device.send(std::vector<std::uint8_t>(1500, 0x04), test_address(), t.port);  // oversized
    EXPECT_FALSE(t.device.receive(300)) << "no block for anyone's ACK but the device's";
    EXPECT_FALSE(other_port.receive(0));
    EXPECT_FALSE(other_address.receive(0));
    t.device.send(ack_bytes(3), test_address(), t.port);
    EXPECT_EQ(t.block_of(t.next()), 4);
    t.finish(4);
    EXPECT_TRUE(run.result.passed);
}

TEST(TftpSession, RetransmitsTheLastPacketAfterAPeriod) {
    ServerRun run(3000);
    MidTransfer t(run);
    ASSERT_TRUE(t.reach(1));
    std::optional<Datagram> first = t.next_block(2);  // "lost"
    ASSERT_TRUE(first);
    std::optional<Datagram> again = t.next_block(2);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->bytes, first->bytes) << "the same number, place and length";
    t.finish(2);
    EXPECT_TRUE(run.result.passed);
}

// A device that ignores the OACK gets it once per period until the limit.
TEST(TftpSession, AcknowledgementsStopTimeOut) {
    ServerRun run(3000);
    run.server.timing = tight_timing();
    ASSERT_TRUE(run.start());
    Client device(test_address());
    device.send(rrq_bytes(run.file_name), test_address(), run.listener.port);
    unsigned oacks = 0;
    // Read while they come (300 would overflow the socket's queue), until
    // the session has ended and nothing is left.
    for (int round = 0; round < 100000; ++round) {
        bool ended = run.finished.load();
        std::optional<Datagram> d = device.receive(20);
        if (d && d->bytes.size() == 23 && get_u16_be(d->bytes.data()) == TFTP_OACK) ++oacks;
        if (!d && ended) break;
    }
    run.join();
    EXPECT_EQ(oacks, tftp_period_limit) << "the first and limit - 1 retransmissions";
    ASSERT_FALSE(run.result.passed);
    const std::vector<std::string> titles = run.recorder.all("title");
    if (is_recovery_upgrader) {
        EXPECT_STREQ(run.result.message, MESSAGE_TFTP_TIME_OUT);
        EXPECT_TRUE(titles.empty()) << "reported at once, without the update wait";
        EXPECT_EQ(run.listener.socket, invalid_socket);
    } else {
        EXPECT_STREQ(run.result.message, MESSAGE_UPLOAD_INCOMPLETE);
        ASSERT_EQ(titles.size(), 1u);
        EXPECT_EQ(titles[0], "Updating Target Firmware to QVR@192.168.0.20") << "the full wait comes first";
        EXPECT_EQ(run.recorder.status_calls, 0u);
    }
}

TEST(TftpSessionDeathTest, RecoveryTimeOutEndsTheRunWithItsReport) {
    if (!is_recovery_upgrader) GTEST_SKIP() << "the staged-upgrader waits first (test above)";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ServerRun run(3000);
            run.server.timing = tight_timing();
            start_tftp_listener(run.server, test_address(), nullptr);
            Client device(test_address());
            device.send(rrq_bytes(run.file_name), test_address(), 69);
            // Bounded: the listener thread ends the process long before.
            for (int i = 0; i < 200; ++i) sleep_ms(100);
        },
        testing::ExitedWithCode(0), "Upgrade Failed: TFTP time out");
}

TEST(TftpCompletion, SilentDeviceAfterTheWait) {
    ServerRun run(1000);
    run.recorder.status_answers = {0};
    ASSERT_TRUE(run.start());
    Client device(test_address());
    ASSERT_TRUE(fetch(device, test_address(), run.listener.port, run.file_name).ok);
    run.join();
    EXPECT_FALSE(run.result.passed);
    EXPECT_STREQ(run.result.message, MESSAGE_NOT_RESPONDING);
    EXPECT_EQ(run.recorder.status_calls, is_recovery_upgrader ? 1u : 10u);
    EXPECT_TRUE(run.recorder.all("success").empty());
    EXPECT_EQ(run.recorder.numbers("status").front(), test_address()) << "asks the device that fetched";
}

TEST(TftpCompletion, StagedCheckRetriesAndComparesTheVersion) {
    if (is_recovery_upgrader) GTEST_SKIP() << "one request, no version check";
    {
        ServerRun run(1000, "7.5.6a");
        run.recorder.status_answers = {0, -1, 0, 0, 0, 0, 0, 0, 0, 2000};  // the tenth answers
        ASSERT_TRUE(run.start());
        Client device(test_address());
        ASSERT_TRUE(fetch(device, test_address(), run.listener.port, run.file_name).ok);
        run.join();
        EXPECT_TRUE(run.result.passed);
        EXPECT_EQ(run.recorder.status_calls, 10u);
    }
    for (bool phone : {false, true}) {
        ServerRun run(1000, "7.5.6a");
        run.recorder.reported_versions = {"7.5.6A"};
        run.server.phone_family = phone;
        ASSERT_TRUE(run.start());
        Client device(test_address());
        ASSERT_TRUE(fetch(device, test_address(), run.listener.port, run.file_name).ok);
        run.join();
        EXPECT_EQ(run.result.passed, phone);
        EXPECT_EQ(run.recorder.all("success").size(), phone ? 1u : 0u);
        if (!phone) {
            EXPECT_STREQ(run.result.message, MESSAGE_VERSION_MISMATCH);
        }
    }
}

// The update wait across the 49.7-day wrap of the millisecond clock: it
// neither ends early nor lasts a wrap longer.
TEST(TftpCompletion, UpdateWaitAcrossTheClockWrap) {
    ServerRun run(600);
    run.server.display_name = "QVR6880";
    run.server.timing = shipped_tftp_timing();
    ASSERT_TRUE(run.start());
    Client device(test_address());
    // The wrap comes 2 s into the wait (each "sleep" jumps 32 ms).
    clock_offset = 0u - millisecond_clock() - 1000u;
    fake_sleeps = 0;
    ASSERT_TRUE(fetch(device, test_address(), run.listener.port, run.file_name).ok);
    run.join();
    EXPECT_TRUE(run.result.passed);
    EXPECT_LE(fake_sleeps.load(), 6250u + 1u);
    std::vector<std::uint32_t> ranges = run.recorder.numbers("range");
    ASSERT_EQ(ranges.back(), 6250u);
    std::vector<std::uint32_t> pos = run.recorder.numbers("pos");
    EXPECT_GE(pos.back(), 6250u);
    EXPECT_LE(pos.back(), 6250u + 100u) << "not a wrap longer";
    EXPECT_EQ(run.recorder.all("success").front().substr(0, 4), "QVR@");
    EXPECT_EQ(run.recorder.numbers("success").front(), static_cast<std::uint32_t>(IDD_SUCCESS_WIDE));
}

}  // namespace
}  // namespace qvr
