// The TFTP server's decisions, called with chosen bytes, counters and times.
#include "tftp/decisions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/deliverable.h"
#include "common/random.h"
#include "resources/resource_ids.h"
#include "tftp/file_name.h"

namespace qvr {
namespace {

TEST(TftpBlocks, CountsAndLastBlockLengths) {
    struct Case {
        std::uint32_t size, count, last;
    } cases[] = {
        {0, 1, 0},             // one empty block
        {511, 1, 511},
        {512, 2, 0},           // a full block, then an empty one
        {1024, 3, 0},
        {4309491, 8417, 499},  // the sample image
        {33553919, 65535, 511},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tftp_block_count(c.size), c.count) << c.size;
        EXPECT_EQ(tftp_last_block_length(c.size), c.last) << c.size;
        EXPECT_EQ(tftp_block_length(c.size, c.count), c.last) << c.size;
        if (c.count > 1) {
            EXPECT_EQ(tftp_block_length(c.size, c.count - 1), 512u) << c.size;
            // The blocks end exactly at the end of the image.
            EXPECT_EQ(tftp_block_offset(c.count) + c.last, c.size);
        }
    }
}

TEST(TftpListenerRules, OnlyTheExactNameIsAccepted) {
    auto rrq = [](std::string_view name) { return TftpPacket{TFTP_RRQ, 0, name, true}; };
    EXPECT_EQ(classify_listener_datagram(rrq("/qvr1a2b.bi1"), "/qvr1a2b.bi1"), ListenerAction::accept);
    EXPECT_EQ(classify_listener_datagram(rrq("/QVR1A2B.BI1"), "/qvr1a2b.bi1"), ListenerAction::bad_name);
    EXPECT_EQ(classify_listener_datagram(rrq("/qvr1a2b.bi"), "/qvr1a2b.bi1"), ListenerAction::bad_name);
    EXPECT_EQ(classify_listener_datagram(rrq("/qvr1a2b.bi1x"), "/qvr1a2b.bi1"), ListenerAction::bad_name);
    EXPECT_EQ(classify_listener_datagram(rrq("qvr1a2b.bi1"), "/qvr1a2b.bi1"), ListenerAction::bad_name);
    TftpPacket unterminated{TFTP_RRQ, 0, {}, false};
    EXPECT_EQ(classify_listener_datagram(unterminated, ""), ListenerAction::bad_name)
        << "an RRQ without its NUL asks for nothing";
    EXPECT_EQ(classify_listener_datagram(TftpPacket{TFTP_WRQ, 0, {}, true}, "/x"), ListenerAction::wrq);
    EXPECT_EQ(classify_listener_datagram(TftpPacket{TFTP_ACK, 1, {}, true}, "/x"), ListenerAction::ack);
    EXPECT_EQ(classify_listener_datagram(TftpPacket{TFTP_OACK, 0, {}, true}, "/x"), ListenerAction::ignore);
    EXPECT_EQ(classify_listener_datagram(TftpPacket{0, 0, {}, false}, "/x"), ListenerAction::ignore);
    EXPECT_EQ(next_activity(998), 999u);
    EXPECT_EQ(next_activity(999), 0u);
}

TEST(TftpSessionRules, OnlyTheRequestersExpectedAckMovesTheTransfer) {
    constexpr std::uint32_t peer = 0x7F000001u;
    constexpr std::uint16_t port = 40000;
    TftpPacket ack5{TFTP_ACK, 5, {}, true};
    EXPECT_EQ(classify_session_datagram(ack5, peer, port, peer, port, 5), SessionAction::expected_ack);
    EXPECT_EQ(classify_session_datagram(ack5, peer, port, peer, port, 6), SessionAction::stale_ack)
        << "a duplicate of the previous ACK";
    EXPECT_EQ(classify_session_datagram(ack5, peer, port + 1, peer, port, 5), SessionAction::stranger)
        << "same address, other port";
    EXPECT_EQ(classify_session_datagram(ack5, peer + 1, port, peer, port, 5), SessionAction::stranger);
    EXPECT_EQ(classify_session_datagram(TftpPacket{TFTP_ACK, 0, {}, false}, peer, port, peer, port, 0),
              SessionAction::idle)
        << "an ACK without its block number";
    EXPECT_EQ(classify_session_datagram(TftpPacket{TFTP_ERROR, 0, {}, true}, peer, port, peer, port, 0),
              SessionAction::idle);
    EXPECT_EQ(classify_session_datagram(TftpPacket{TFTP_RRQ, 0, "/x", true}, peer, port, peer, port, 0),
              SessionAction::idle)
        << "a repeated RRQ from the requester";
    // Block numbers never wrap: past 65,535 no ACK can match.
    TftpPacket ack0{TFTP_ACK, 0, {}, true};
    EXPECT_EQ(classify_session_datagram(ack0, peer, port, peer, port, 65536), SessionAction::stale_ack);
    EXPECT_EQ(session_destination(0, peer), peer);
    EXPECT_EQ(session_destination(0xEA04080Au, peer), 0xEA04080Au) << "recovery mode sends to the group";
}

TftpTiming test_timing(unsigned limit) { return TftpTiming{100, 100, limit, 50}; }

// Returns how many retransmissions happen before the time-out, polling once
// per `step_ms` of clock.
unsigned retransmissions_until_time_out(const TftpTiming& timing, std::uint32_t start, unsigned step_ms) {
    RetransmitClock clock;
    restart_retransmit_clock(clock, start);
    unsigned retransmissions = 0;
    std::uint32_t now = start;
    for (unsigned i = 0; i < 1000000; ++i) {
        now += step_ms;
        IdleOutcome o = count_idle_poll(clock, now, timing);
        if (o == IdleOutcome::timed_out) return retransmissions;
        if (o == IdleOutcome::retransmit) ++retransmissions;
    }
    ADD_FAILURE() << "never timed out";
    return retransmissions;
}

TEST(TftpRetransmission, PeriodLimitGivesLimitMinusOneRetransmissions) {
    EXPECT_EQ(retransmissions_until_time_out(shipped_tftp_timing(), 1000, 1), tftp_period_limit - 1);
    EXPECT_EQ(shipped_tftp_timing().period_limit, is_recovery_upgrader ? 300u : 30u);
    // Across the clock's wrap the periods keep their length.
    EXPECT_EQ(retransmissions_until_time_out(test_timing(3), 0xFFFFFF00u, 1), 2u);
}

// A poll cut short by a stranger's datagram counts, but 100 of them in no
// time must not end a period: a flood cannot shorten the time-out.
TEST(TftpRetransmission, PeriodLastsAtLeastItsTimeWhateverTheNumberOfPolls) {
    TftpTiming timing = test_timing(300);
    RetransmitClock clock;
    restart_retransmit_clock(clock, 5000);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(count_idle_poll(clock, 5000 + 99, timing), IdleOutcome::keep_waiting);
    EXPECT_EQ(count_idle_poll(clock, 5000 + 100, timing), IdleOutcome::retransmit);
    // ...and not fewer than 100 polls either, where each poll lasts longer.
    for (int i = 0; i < 99; ++i) ASSERT_EQ(count_idle_poll(clock, 9000 + i * 20, timing), IdleOutcome::keep_waiting);
    EXPECT_EQ(count_idle_poll(clock, 11000, timing), IdleOutcome::retransmit);
    // Progress starts the count again.
    restart_retransmit_clock(clock, 20000);
    EXPECT_EQ(clock.periods, 0u);
}

TEST(TftpRedraw, HeldBackFiguresAreDrawnLaterAndTheLastAlways) {
    RedrawThrottle t{};
    EXPECT_TRUE(redraw_after_progress(t, 1000, false, 50)) << "the first figures at once";
    EXPECT_FALSE(redraw_after_progress(t, 1010, false, 50));
    EXPECT_FALSE(redraw_when_idle(t, 1049, 50));
    EXPECT_TRUE(redraw_when_idle(t, 1050, 50)) << "a stall shows the held-back figures";
    EXPECT_FALSE(redraw_when_idle(t, 2000, 50)) << "nothing new to draw";
    EXPECT_FALSE(redraw_after_progress(t, 1060, false, 50));
    EXPECT_TRUE(redraw_after_progress(t, 1061, true, 50)) << "the final figures always";
    int drawn = 0;
    RedrawThrottle fast{};
    for (std::uint32_t ms = 0; ms < 1000; ++ms) drawn += redraw_after_progress(fast, ms, false, 50);
    EXPECT_EQ(drawn, 20) << "one redraw per 50 ms while blocks stream every millisecond";
}

TEST(TftpTitles, BothDeliverablesAndStages) {
    char t[256];
    format_upload_title(t, sizeof t, 1, "192.168.0.20", 0, 4309491);
    EXPECT_STREQ(t, is_recovery_upgrader ? "Uploading Firmware to QVR@192.168.0.20 0/4309491 Bytes"
                                         : "Uploading Target Firmware to QVR@192.168.0.20 0/4309491 Bytes");
    format_update_title(t, sizeof t, 0, "dev");
    EXPECT_STREQ(t, is_recovery_upgrader ? "Updating Firmware to QVR@dev" : "Updating Transition Firmware to QVR@dev");
    format_success_title(t, sizeof t, "dev");
    EXPECT_STREQ(t, "QVR@dev Upgrade Successful!");
    char small[8];
    format_success_title(small, sizeof small, "dev");
    EXPECT_STREQ(small, "QVR@dev") << "cut to fit, terminated";
}

TEST(TftpCompletion, UpdateWaitLengthsByProduct) {
    EXPECT_EQ(update_wait_ticks("QVR6800"), 6250u);
    EXPECT_EQ(update_wait_ticks("QVR6880 phone"), 6250u);
    EXPECT_EQ(update_wait_ticks("QVR7x7g"), is_recovery_upgrader ? 3905u : 3606u);
    EXPECT_EQ(update_wait_ticks("QVR71xG"), is_recovery_upgrader ? 4686u : 4699u);
    EXPECT_EQ(update_wait_ticks("qvr7x7g"), is_recovery_upgrader ? 1562u : 1093u) << "case-sensitive";
    EXPECT_EQ(update_wait_ticks("QVR68"), is_recovery_upgrader ? 1562u : 1093u);
    EXPECT_EQ(update_wait_ticks("ODM-Product"), is_recovery_upgrader ? 1562u : 1093u);
}

TEST(TftpCompletion, UpdateWaitElapsedAcrossTheClockWrap) {
    // The clock at 2^32 - 1000 ms, then 5,000 ms later (wrapped).
    std::uint32_t start = update_tick(0xFFFFFFFFu - 999u);
    std::uint32_t after = update_tick(4000u);
    EXPECT_EQ(start, 134217696u);
    EXPECT_EQ(update_wait_elapsed(start, after), 157u);  // 5,000 ms across two tick boundaries more
    EXPECT_EQ(update_wait_elapsed(start, start), 0u);
    EXPECT_EQ(update_wait_elapsed(start, start + 31), 31u);
    EXPECT_EQ(update_wait_elapsed(update_ticks_per_wrap - 1, 0), 1u);
    // A wait of 1,562 ticks started 10 ticks before the wrap ends 1,552 ticks after it.
    std::uint32_t s = update_ticks_per_wrap - 10;
    EXPECT_LT(update_wait_elapsed(s, 1551), 1562u);
    EXPECT_EQ(update_wait_elapsed(s, 1552), 1562u);
}

TEST(TftpCompletion, SuccessTemplateAndVersionCheck) {
    EXPECT_EQ(success_template("QVR6880"), IDD_SUCCESS_WIDE);
    EXPECT_EQ(success_template("QVR7x7g"), IDD_SUCCESS_WIDE);
    EXPECT_EQ(success_template("QVR71xG"), is_recovery_upgrader ? IDD_SUCCESS : IDD_SUCCESS_WIDE);
    EXPECT_EQ(success_template("QVR6800"), IDD_SUCCESS);
    EXPECT_EQ(success_template("ODM-Product"), IDD_SUCCESS);
    EXPECT_TRUE(version_accepted("7.5.6a", "7.5.6a", false));
    EXPECT_FALSE(version_accepted("7.5.6A", "7.5.6a", false));
    EXPECT_FALSE(version_accepted("7.5.6a ", "7.5.6a", false));
    EXPECT_FALSE(version_accepted("7.5.6", "7.5.6a", false));
    EXPECT_TRUE(version_accepted("anything", "7.5.6a", true)) << "phone-family products are not checked";
    EXPECT_EQ(status_request_attempts, is_recovery_upgrader ? 1u : 10u);
}

TEST(TftpFileName, FormatsAndTheSeededDraw) {
    char name[128];
    format_tftp_file_name(name, sizeof name, TftpNameKind::upgrade, 0x1a2b, 1);
    EXPECT_STREQ(name, "/qvr1a2b.bi1");
    format_tftp_file_name(name, sizeof name, TftpNameKind::recovery, 0, 1);
    EXPECT_STREQ(name, "/qvr0.bin");
    format_tftp_file_name(name, sizeof name, TftpNameKind::staged, 0x7fff, 0);
    EXPECT_STREQ(name, "/qvr7fff.bi0");
    format_tftp_file_name(name, sizeof name, TftpNameKind::upgrade, 0x12345, 1);
    EXPECT_STREQ(name, "/qvr2345.bi1") << "masked to 16 bits";
    seed_random(1);  // draws 41, then 18467
    make_tftp_file_name(name, sizeof name, TftpNameKind::staged, 0);
    EXPECT_STREQ(name, "/qvr29.bi0");
    make_tftp_file_name(name, sizeof name, TftpNameKind::upgrade);
    EXPECT_STREQ(name, "/qvr4823.bi1") << "each name drawn afresh";
}

}  // namespace
}  // namespace qvr
