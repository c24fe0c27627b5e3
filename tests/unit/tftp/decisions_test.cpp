// The TFTP server's decisions, called with chosen packets, counters and
// times: the cases a loopback run (listener_test, session_test) cannot
// reach, or only slowly.
#include "tftp/decisions.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "common/build_deliverable.h"
#include "common/random.h"
#include "resources/resource_ids.h"
#include "tftp/file_name.h"

namespace qvr {
namespace {

// Only an RRQ for exactly our name, byte for byte, is served.
TEST(TftpListenerRules, OnlyTheExactNameIsAccepted) {
    auto rrq = [](std::string_view name, bool terminated = true) { return TftpPacket{TFTP_RRQ, 0, name, terminated}; };
    EXPECT_EQ(classify_listener_datagram(rrq("/qvr1a2b.bi1"), "/qvr1a2b.bi1"), ListenerAction::accept);
    for (const TftpPacket& p : {rrq("/QVR1A2B.BI1"), rrq("/qvr1a2b.bi"), rrq("/qvr1a2b.bi1x"), rrq("qvr1a2b.bi1"),
                                rrq("/qvr1a2b.bi1", false)})  // the last without a NUL inside the datagram
        EXPECT_EQ(classify_listener_datagram(p, "/qvr1a2b.bi1"), ListenerAction::bad_name) << p.file_name;
    EXPECT_EQ(classify_listener_datagram({TFTP_WRQ, 0, "/qvr1a2b.bi1", true}, "/qvr1a2b.bi1"), ListenerAction::wrq);
    EXPECT_EQ(classify_listener_datagram({0, 0, {}, false}, "/qvr1a2b.bi1"), ListenerAction::ignore) << "a runt";
}

// Polls once per millisecond from `start` until the time-out (within 10,000
// s): the retransmissions asked for on the way, and the milliseconds it took.
std::pair<unsigned, std::uint32_t> until_time_out(const TftpTiming& timing, std::uint32_t start) {
    RetransmitClock clock;
    restart_retransmit_clock(clock, start);
    unsigned retransmissions = 0;
    for (std::uint32_t ms = 1; ms <= 10000000; ++ms) {
        IdleOutcome o = count_idle_poll(clock, start + ms, timing);
        if (o == IdleOutcome::timed_out) return {retransmissions, ms};
        retransmissions += o == IdleOutcome::retransmit;
    }
    return {retransmissions, 0};
}

// Periods of 100 ms; the limit is 300 of them in the recovery-upgrader and
// 30 in the staged-upgrader, with one retransmission fewer.  One process
// serves under either record (the terminal program uses both).
TEST(TftpRetransmission, PeriodsAndTheirLimit) {
    EXPECT_EQ(until_time_out(shipped_tftp_timing(recovery_upgrader_rules), 1000), std::pair(299u, 30000u));
    EXPECT_EQ(until_time_out(shipped_tftp_timing(staged_upgrader_rules), 1000), std::pair(29u, 3000u));
    const TftpTiming three{.polls_per_period = 100, .min_period_ms = 100, .period_limit = 3, .redraw_interval_ms = 50,
                           .waiting_poll_ms = 50};
    EXPECT_EQ(until_time_out(three, 0xFFFFFF00u), std::pair(2u, 300u)) << "across the wrap";
}

// Regression: the shipped record was filled by position and moved the
// waiting bar every 40 ms, while its own comment and default said 50.
TEST(TftpRetransmission, ShippedTimingsPinned) {
    for (const DeliverableRules* rules : {&recovery_upgrader_rules, &staged_upgrader_rules}) {
        const TftpTiming t = shipped_tftp_timing(*rules);
        EXPECT_EQ((std::vector{t.polls_per_period, t.min_period_ms, t.period_limit, t.redraw_interval_ms,
                               t.waiting_poll_ms}),
                  (std::vector<unsigned>{100, 100, rules->staged ? 30u : 300u, 50, 50}));
    }
}

// A poll cut short by a stranger's datagram counts, but a flood of them
// cannot end a period before its time; nor can fewer polls than its number.
TEST(TftpRetransmission, PeriodNeedsBothItsPollsAndItsTime) {
    const TftpTiming timing = shipped_tftp_timing(build_rules);
    RetransmitClock clock;
    restart_retransmit_clock(clock, 5000);
    for (int i = 0; i < 10000; ++i) ASSERT_EQ(count_idle_poll(clock, 5099, timing), IdleOutcome::keep_waiting);
    EXPECT_EQ(count_idle_poll(clock, 5100, timing), IdleOutcome::retransmit);
    for (int i = 0; i < 99; ++i) ASSERT_EQ(count_idle_poll(clock, 9000 + i * 20, timing), IdleOutcome::keep_waiting);
    EXPECT_EQ(count_idle_poll(clock, 11000, timing), IdleOutcome::retransmit);
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
    EXPECT_TRUE(redraw_after_progress(t, 1111, false, 50)) << "and the next after the interval";
}

// Across the 32-bit clock's wrap the flood gate still opens once a
// millisecond, and figures are still held back for 50 ms.
TEST(TftpRedraw, FloodGateAndThrottleAcrossTheClockWrap) {
    std::uint32_t last = 0xFFFFFFFFu;
    EXPECT_FALSE(clock_step_due(last, 0xFFFFFFFFu, tftp_clock_step_ms));
    EXPECT_TRUE(clock_step_due(last, 0u, tftp_clock_step_ms));
    EXPECT_EQ(last, 0u);
    EXPECT_FALSE(clock_step_due(last, 0u, tftp_clock_step_ms));
    EXPECT_TRUE(clock_step_due(last, 1u, tftp_clock_step_ms));

    const unsigned interval = shipped_tftp_timing(build_rules).redraw_interval_ms;
    RedrawThrottle t{};
    EXPECT_TRUE(redraw_after_progress(t, 0xFFFFFFF0u, false, interval));
    EXPECT_FALSE(redraw_after_progress(t, 4u, false, interval)) << "20 ms later, across the wrap";
    EXPECT_FALSE(redraw_when_idle(t, 33u, interval)) << "49 ms later";
    EXPECT_TRUE(redraw_when_idle(t, 34u, interval)) << "50 ms later";
}

// By the first 7 characters of the display name, case-sensitive.
TEST(TftpCompletion, UpdateWaitAndSuccessTemplateByProduct) {
    const struct {
        const char* name;
        std::uint32_t ticks[2];  // recovery, staged
        bool wide[2];
    } cases[] = {
        {"QVR6800", {6250, 6250}, {false, false}},
        {"QVR6880 phone", {6250, 6250}, {true, true}},
        {"QVR7x7g", {3905, 3606}, {true, true}},
        {"QVR71xG", {4686, 4699}, {false, true}},
        {"qvr7x7g", {1562, 1093}, {false, false}},
        {"QVR68", {1562, 1093}, {false, false}},
        {"ODM-Product", {1562, 1093}, {false, false}},
    };
    const DeliverableRules* rules[2] = {&recovery_upgrader_rules, &staged_upgrader_rules};
    for (const auto& c : cases) {
        for (int d = 0; d < 2; ++d) {
            EXPECT_EQ(update_wait_ticks(*rules[d], c.name), c.ticks[d]) << c.name << " " << d;
            EXPECT_EQ(success_template(*rules[d], c.name), c.wide[d] ? IDD_SUCCESS_WIDE : IDD_SUCCESS) << c.name;
        }
    }
}

// 32 ms ticks of the 32-bit millisecond clock, which wraps after 2^27 ticks.
TEST(TftpCompletion, UpdateWaitElapsedAcrossTheClockWrap) {
    const struct {
        std::uint32_t start_ms, now_ms, elapsed;
    } cases[] = {
        {0xFFFFFFFFu - 999u, 4000u, 157u},  // 5,000 ms across the wrap
        {0xFFFFFFFFu - 319u, 0xFFFFFFFFu, 9u},  // both before the wrap
        {0xFFFFFFE0u, 0u, 1u},
        {0xFFFFFFFFu - 319u, 49663u, 1561u},  // a wait of 1,562 ticks begun 10 before the wrap...
        {0xFFFFFFFFu - 319u, 49664u, 1562u},  // ...ends 1,552 after it
    };
    for (const auto& c : cases)
        EXPECT_EQ(update_wait_elapsed(update_tick(c.start_ms), update_tick(c.now_ms)), c.elapsed) << c.start_ms;
}

TEST(TftpFileName, FormatsAndTheSeededDraw) {
    char name[128];
    auto format = [&](TftpNameKind kind, unsigned number, std::int32_t stage) {
        format_tftp_file_name(name, sizeof name, kind, number, stage);
        return std::string(name);
    };
    EXPECT_EQ(format(TftpNameKind::upgrade, 0x1a2b, 1), "/qvr1a2b.bi1");
    EXPECT_EQ(format(TftpNameKind::recovery, 0, 1), "/qvr0.bin");
    EXPECT_EQ(format(TftpNameKind::staged, 0x7fff, 0), "/qvr7fff.bi0");
    EXPECT_EQ(format(TftpNameKind::upgrade, 0x12345, 1), "/qvr2345.bi1") << "masked to 16 bits";
    format_wide_tftp_file_name(name, sizeof name, TftpNameKind::staged, 0xfedcba98u, 1);
    EXPECT_STREQ(name, "/qvrfedcba98.bi1") << "the terminal program's names keep all 32 bits";
    seed_random(1);  // draws 41, then 18467
    make_tftp_file_name(name, sizeof name, TftpNameKind::staged, 0);
    EXPECT_STREQ(name, "/qvr29.bi0");
    make_tftp_file_name(name, sizeof name, TftpNameKind::upgrade);
    EXPECT_STREQ(name, "/qvr4823.bi1") << "each name drawn afresh";
}

}  // namespace
}  // namespace qvr
