// Transfer sessions over loopback: a scripted device fetches from a real
// listener socket and the run notes what the dialogs were told.
#include "tftp/session.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "common/bytes.h"
#include "common/build_deliverable.h"
#include "platform/clock.h"
#include "platform/report.h"
#include "resources/resource_ids.h"
#include "tftp_harness.h"

namespace qvr {
namespace {

using namespace tftp_test;

const std::string stage_word = is_recovery_upgrader ? "" : "Target ";
const TftpTiming three_ms_periods{
    .polls_per_period = 2, .min_period_ms = 3, .period_limit = tftp_period_limit, .redraw_interval_ms = 50, .waiting_poll_ms = 50};

// Every byte in order, a size that is a multiple of 512 ending with an empty
// block, and the figures shown; the update wait (which crosses the clock's
// wrap here) neither ends early nor lasts a wrap longer.
TEST(TftpSession, ServesEveryImageExactly) {
    const struct {
        std::uint32_t size;
        unsigned blocks, last, oack;
    } cases[] = {
        {0, 1, 0, 20},  // one empty block
        {511, 1, 511, 22},
        {512, 2, 0, 22},  // a full block, then an empty one
        {1024, 3, 0, 23},
        {4309491, 8417, 499, 26},  // the sample image
    };
    const std::uint32_t wait = is_recovery_upgrader ? 1562 : 1093;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        ServerRun run(c.size);
        if (c.size == 4309491) {
            std::ifstream in(QVR_SAMPLE_IMAGE, std::ios::binary);
            run.use_target({std::istreambuf_iterator<char>(in), {}});
            run.server.timing = shipped_tftp_timing(build_rules);
        }
        Fetch f = run.fetch_all();
        EXPECT_TRUE(f.data == run.target_bytes);
        EXPECT_EQ(f.data_packets, c.blocks);
        EXPECT_EQ(f.last_block_length, c.last);
        EXPECT_EQ(f.oack.size(), c.oack);
        EXPECT_TRUE(run.result.passed);

        auto& numbers = run.numbers;
        const std::string size = std::to_string(c.size), to = stage_word + "Firmware to QVR@192.168.0.20";
        std::vector<std::string>& titles = run.texts["title"];
        ASSERT_GE(titles.size(), 3u);
        EXPECT_EQ(titles.front(), "Uploading " + to + " 0/" + size + " Bytes");
        EXPECT_EQ(titles[titles.size() - 2], "Uploading " + to + " " + size + "/" + size + " Bytes");
        EXPECT_EQ(titles.back(), "Updating " + to);
        EXPECT_EQ(numbers["range"], (std::vector<std::uint32_t>{1000, c.blocks, wait}));
        EXPECT_GE(numbers["pos"].back(), wait);
        EXPECT_LE(numbers["pos"].back(), wait + 100);
        EXPECT_EQ(numbers["status"], std::vector<std::uint32_t>{test_address()});
        EXPECT_EQ(numbers["success"], std::vector<std::uint32_t>{IDD_SUCCESS});
    }
}

// The OACK is at the device before the waiting dialog gives way to the
// upload dialog (tens of milliseconds under Wine that the device would
// otherwise wait); the device answers only once that dialog is up, so the
// ACK of the OACK is taken with it showing.
TEST(TftpSession, OptionAckLeavesBeforeTheDialogsChange) {
    ServerRun run(1500);
    Client device;
    run.device = &device;
    ASSERT_TRUE(run.start());
    device.send(rrq_bytes(run.file_name), run.listener.port);
    for (int i = 0; i < 5000 && !run.upload_opened; ++i) sleep_ms(1);
    ASSERT_TRUE(run.upload_opened);
    Fetch f = fetch(device, run.listener.port, run.file_name, false);
    run.join();
    EXPECT_TRUE(f.data == run.target_bytes);
    EXPECT_EQ(run.numbers["waiting at open"], (std::vector<std::uint32_t>{0, 1}));
    ASSERT_GE(run.dialog_calls.size(), 3u);
    EXPECT_EQ(std::vector(run.dialog_calls.begin(), run.dialog_calls.begin() + 3),
              (std::vector<std::string>{"open 0", "close", "open 1"}));
}

// Regression: answering a duplicate ACK sends every later block twice.  Only
// the requester's ACK of the packet last sent moves the transfer; nothing
// else is answered, whoever sends it.
TEST(TftpSession, OnlyTheRequestersExpectedAckIsAnswered) {
    ServerRun run(5000);  // 10 blocks
    // No retransmission meanwhile.
    run.server.timing = TftpTiming{
        .polls_per_period = 100, .min_period_ms = 2000, .period_limit = tftp_period_limit, .redraw_interval_ms = 50,
        .waiting_poll_ms = 50};
    ASSERT_TRUE(run.start());
    const std::uint16_t port = run.listener.port;
    Client device, other_port, other_address(test_address() + 1);
    device.send(rrq_bytes(run.file_name), port);
    for (int block = 0; block < 4; ++block) {
        ASSERT_EQ(block_of(device.receive()), block);
        device.send(ack_bytes(block), port);
    }
    ASSERT_EQ(block_of(device.receive()), 4);
    other_port.send(ack_bytes(4), port);
    other_address.send(ack_bytes(4), port);
    const Bytes short_ack = {
        0x00, 0x04,  // ACK
        0x00,        // half a block number
    };
    Bytes oversized = ack_bytes(4);
    oversized.resize(1500);  // the expected ACK, in more than the 1024-byte buffer
    for (const auto& bytes : {ack_bytes(3), ack_bytes(1), ack_bytes(9), short_ack, rrq_bytes(run.file_name), oversized})
        device.send(bytes, port);  // a duplicate, a stale and a future ACK, noise
    EXPECT_FALSE(device.receive(300));
    EXPECT_FALSE(other_port.receive(0));
    EXPECT_FALSE(other_address.receive(0));
    device.send(ack_bytes(4), port);
    EXPECT_EQ(block_of(device.receive()), 5);
    EXPECT_FALSE(device.receive(200)) << "one block for one ACK";
    for (int block = 5; block <= 10; ++block) device.send(ack_bytes(block), port);
    run.join();
    EXPECT_TRUE(run.result.passed);
}

// The unanswered OACK comes again each period; once it is acknowledged,
// DATA 1 comes unchanged each period until the limit (progress starts the
// count again).  The recovery-upgrader then reports at once; the
// staged-upgrader first waits the whole update wait, and asks nothing.
TEST(TftpSession, RetransmissionsUntilThePeriodLimit) {
    ServerRun run(3000);
    run.server.timing = three_ms_periods;
    ASSERT_TRUE(run.start());
    Client device;
    device.send(rrq_bytes(run.file_name), run.listener.port);
    unsigned oacks = 0, data = 0;
    Bytes first;
    // Read while they come (a queue could not hold 300) until the session has ended.
    for (int round = 0; round < 100000; ++round) {
        bool ended = run.finished.load();
        auto d = device.receive(20);
        if (!d && ended) break;
        if (block_of(d) == 0 && ++oacks == 2) device.send(ack_bytes(0), run.listener.port);
        if (block_of(d) != 1) continue;
        if (data++ == 0) first = d->first;
        EXPECT_EQ(d->first, first);
    }
    run.join();
    EXPECT_GE(oacks, 2u);
    EXPECT_EQ(data, is_recovery_upgrader ? 300u : 30u);
    EXPECT_EQ(run.numbers["status"].size(), 0u);
    const std::string upload = "Uploading " + stage_word + "Firmware to QVR@192.168.0.20 0/3000 Bytes";
    if (is_recovery_upgrader) {
        EXPECT_STREQ(run.result.message, "Upgrade Failed: TFTP time out");
        EXPECT_EQ(run.texts["title"], std::vector<std::string>{upload});
        EXPECT_EQ(run.listener.socket, invalid_socket);
    } else {
        EXPECT_STREQ(run.result.message, "Upgrade Failed: Firmware Upload Incomplete");
        EXPECT_EQ(run.texts["title"],
                  (std::vector<std::string>{upload, "Updating Target Firmware to QVR@192.168.0.20"}));
    }
}

// Regression: only an assert, which release builds drop, stood between a
// stage without its image and a read through a null pointer.
TEST(TftpSession, StageWithoutItsImageIsReported) {
    ServerRun run(1000);
    run.server.target_image = nullptr;
    ASSERT_TRUE(run.start());
    Client device;
    device.send(rrq_bytes(run.file_name), run.listener.port);
    run.join();
    EXPECT_STREQ(run.result.message, "Upgrade Failed: No firmware image for this stage");
    EXPECT_FALSE(device.receive(100)) << "something was served";
}

// The device acknowledges the OACK, then floods stale ACKs from its own
// port and never acknowledges block 1: the flood neither stops the
// retransmissions nor stretches the limit (30 periods in the
// staged-upgrader, 300 in the recovery-upgrader).
TEST(TftpSession, PeriodLimitHoldsUnderAFlood) {
    ServerRun run(3000);
    run.server.timing = three_ms_periods;
    ASSERT_TRUE(run.start());
    Client device;
    device.send(rrq_bytes(run.file_name), run.listener.port);
    unsigned data = 0;
    bool acknowledged = false;
    for (int round = 0; round < 200000; ++round) {
        bool ended = run.finished.load();
        if (acknowledged && !ended)
            for (int i = 0; i < 20; ++i) device.send(ack_bytes(0), run.listener.port);
        auto d = device.receive(ended ? 50 : 1);
        if (!d && ended) break;
        if (block_of(d) == 0 && !acknowledged) {
            device.send(ack_bytes(0), run.listener.port);
            acknowledged = true;
        }
        data += block_of(d) == 1;
    }
    run.join();
    EXPECT_EQ(data, is_recovery_upgrader ? 300u : 30u);
    EXPECT_STREQ(run.result.message, is_recovery_upgrader ? "Upgrade Failed: TFTP time out"
                                                          : "Upgrade Failed: Firmware Upload Incomplete");
}

// The listener thread hands its result to the front end's finish, which
// ends the run with the report in the programs.
TEST(TftpSessionDeathTest, RecoveryTimeOutEndsTheRunWithItsReport) {
    if (!is_recovery_upgrader) GTEST_SKIP() << "the staged-upgrader waits first (test above)";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ServerRun run(3000);
            run.server.timing = three_ms_periods;
            auto report_and_end = [](TftpListener&, const TftpResult& result) {
                if (result.message != nullptr) fatal_exit(result.message);
                end_run();
            };
            start_tftp_listener(run.server, test_address(), nullptr, report_and_end);
            Client device;
            device.send(rrq_bytes(run.file_name), 69);
            for (int i = 0; i < 200; ++i) sleep_ms(100);  // bounded; the report ends the process long before
        },
        testing::ExitedWithCode(0), "Upgrade Failed: TFTP time out");
}

// After the update wait: one status request in the recovery-upgrader, up to
// ten in the staged-upgrader, which then wants the very version it served
// unless the product is of the phone family.
TEST(TftpCompletion, StatusRequestsAndVersionCheck) {
    const char* not_responding = "Upgrade Failed: QVR not responding after firmware upload";
    const struct {
        std::vector<int> answers;
        const char* reported;
        bool phone;
        unsigned calls[2];        // recovery, staged
        const char* message[2];   // nullptr: passed, with the version reported
    } cases[] = {
        {{0}, "", false, {1, 10}, {not_responding, not_responding}},
        {{0, -1, 0, 0, 0, 0, 0, 0, 0, 2000}, "7.5.6a", false, {1, 10}, {not_responding, nullptr}},
        {{1}, "7.5.6A", false, {1, 1}, {nullptr, "Upgrade Failed: Version not matching"}},
        {{1}, "7.5.6A", true, {1, 1}, {nullptr, nullptr}},
    };
    const int d = is_recovery_upgrader ? 0 : 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.answers.size()) + " " + c.reported + (c.phone ? " phone" : ""));
        ServerRun run(1000);
        run.status_answers = c.answers;
        run.reported_versions = {c.reported};
        run.server.phone_family = c.phone;
        run.fetch_all();
        EXPECT_EQ(run.numbers["status"].size(), c.calls[d]);
        EXPECT_STREQ(run.result.message, c.message[d]);
        EXPECT_EQ(run.result.passed, c.message[d] == nullptr);
        std::vector<std::string> success;
        if (!c.message[d]) success.push_back("QVR@192.168.0.20 Upgrade Successful!|" + std::string(c.reported));
        EXPECT_EQ(run.texts["success"], success);
    }
}

}  // namespace
}  // namespace qvr
