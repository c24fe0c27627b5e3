// The recovery sequence against a recording front end: which replies are
// taken for the device under each front end's rules, and what the upgrade
// message carries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "sequence/recovery_sequence.h"

namespace qvr {
namespace {

struct Recorder {
    std::vector<std::string> calls;
    RecoveryReply reply{};       // what the "device" answers
    bool answers = true;
    bool confirm_answer = true;
    std::uint16_t port = 69;
    RecoveryMessage discovery{};  // as handed to discover
    RecoveryMessage upgrade{};    // as handed to send_upgrade
    std::uint32_t found_device = 0;
    ReplyRefusal refusal{};
};

Recorder& of(void* context) { return *static_cast<Recorder*>(context); }

bool discover(void* c, const RecoveryMessage& message, RecoveryReply& reply) {
    Recorder& r = of(c);
    r.calls.push_back("discover");
    r.discovery = message;
    if (r.answers) reply = r.reply;
    return r.answers;
}
void found(void* c, const RecoveryReply&, std::uint32_t device) {
    of(c).calls.push_back("found");
    of(c).found_device = device;
}
void refused(void* c, ReplyRefusal refusal, std::uint32_t, const char* why) {
    of(c).calls.push_back(std::string("refused: ") + why);
    of(c).refusal = refusal;
}
bool confirm(void* c) {
    of(c).calls.push_back("confirm");
    return of(c).confirm_answer;
}
bool publish(void* c, char* out, std::size_t size) {
    of(c).calls.push_back("publish");
    copy_text(out, size, "/qvr5eed.bin");
    return true;
}
std::uint16_t start_serving(void* c) {
    of(c).calls.push_back("serve");
    return of(c).port;
}
void send_upgrade(void* c, const RecoveryMessage& message) {
    of(c).calls.push_back("send upgrade");
    of(c).upgrade = message;
}
void wait_for_end(void* c) { of(c).calls.push_back("wait end"); }

RecoverySeams recording_seams(Recorder& r) {
    return RecoverySeams{&r, nullptr, discover, found, refused, confirm, publish, start_serving, send_upgrade,
                         wait_for_end};
}

// A reply as the device sends it: its serial number and its address
// (a.b.c.d, network order at offset 94).
RecoveryReply reply_of(const char* serial, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    RecoveryReply reply{};
    copy_text(reply.serial_number, sizeof reply.serial_number, serial);
    copy_text(reply.product_name, sizeof reply.product_name, "QVR7x7g");
    const std::uint8_t address[] = {a, b, c, d};
    std::memcpy(reply.address, address, 4);
    return reply;
}

constexpr std::uint32_t pc = 0x0A000001;  // 10.0.0.1
constexpr RecoveryReplyRules terminal_rules{true, true, pc};
constexpr RecoveryReplyRules windows_rules{false, false, pc};

using Calls = std::vector<std::string>;
const Calls full_run{"discover", "found", "confirm", "publish", "serve", "send upgrade", "wait end"};

TEST(RecoverySequence, FoundDeviceIsToldPortAndNameByTheGroupMessage) {
    Recorder r;
    r.reply = reply_of("QVR0012345", 10, 0, 0, 7);
    r.port = 0x1234;
    EXPECT_EQ(run_recovery_sequence(recording_seams(r), "QVR0012345", terminal_rules), SequenceEnd::served);
    EXPECT_EQ(r.calls, full_run);
    EXPECT_EQ(r.found_device, 0x0A000007u);
    EXPECT_EQ(r.discovery.type, RECOVERY_DISCOVER);
    EXPECT_STREQ(r.discovery.serial_number, "QVR0012345");
    EXPECT_EQ(r.upgrade.type, RECOVERY_UPGRADE);
    EXPECT_STREQ(r.upgrade.serial_number, "QVR0012345");
    EXPECT_EQ(r.upgrade.tftp_port[0], 0x12);  // network order
    EXPECT_EQ(r.upgrade.tftp_port[1], 0x34);
    EXPECT_STREQ(r.upgrade.file_name, "/qvr5eed.bin");
}

TEST(RecoverySequence, ReplyForAnotherSerialOrUnusableAddressSendsNothing) {
    struct Case {
        RecoveryReply reply;
        ReplyRefusal refusal;
        const char* why;
    } cases[] = {
        {reply_of("QVR0099999", 10, 0, 0, 7), ReplyRefusal::other_serial, "the reply names another serial number"},
        {reply_of("QVR0012345", 0, 0, 0, 0), ReplyRefusal::no_address, "no address"},
        {reply_of("QVR0012345", 234, 4, 8, 10), ReplyRefusal::unusable_address, "a multicast address"},
    };
    for (const Case& c : cases) {
        Recorder r;
        r.reply = c.reply;
        EXPECT_EQ(run_recovery_sequence(recording_seams(r), "QVR0012345", terminal_rules),
                  SequenceEnd::reply_refused)
            << c.why;
        EXPECT_EQ(r.calls, (Calls{"discover", "found", std::string("refused: ") + c.why}));
        EXPECT_EQ(r.refusal, c.refusal) << c.why;
    }
}

TEST(RecoverySequence, WindowsRulesTakeTheFirstReplyAndRefuseOnlyNoAddress) {
    // The Windows programs compare nothing: the first reply is the device.
    Recorder other;
    other.reply = reply_of("SOMEONEELSE", 234, 4, 8, 10);
    EXPECT_EQ(run_recovery_sequence(recording_seams(other), "QVR0012345", windows_rules), SequenceEnd::served);
    EXPECT_EQ(other.calls, full_run);

    Recorder none;
    none.reply = reply_of("QVR0012345", 0, 0, 0, 0);
    RecoverySeams quiet = recording_seams(none);
    quiet.refused = nullptr;  // they say nothing about it
    EXPECT_EQ(run_recovery_sequence(quiet, "QVR0012345", windows_rules), SequenceEnd::reply_refused);
    EXPECT_EQ(none.calls, (Calls{"discover", "found"}));
}

TEST(RecoverySequence, NoDeviceDeclinedOrNotServingSendsNoUpgradeMessage) {
    Recorder missing;
    missing.answers = false;
    EXPECT_EQ(run_recovery_sequence(recording_seams(missing), "AB12", terminal_rules), SequenceEnd::not_identified);
    EXPECT_EQ(missing.calls, (Calls{"discover"}));

    Recorder declined;
    declined.reply = reply_of("AB12", 10, 0, 0, 7);
    declined.confirm_answer = false;
    EXPECT_EQ(run_recovery_sequence(recording_seams(declined), "AB12", terminal_rules), SequenceEnd::not_confirmed);
    EXPECT_EQ(declined.calls, (Calls{"discover", "found", "confirm"}));

    Recorder not_serving;
    not_serving.reply = reply_of("AB12", 10, 0, 0, 7);
    not_serving.port = 0;
    EXPECT_EQ(run_recovery_sequence(recording_seams(not_serving), "AB12", terminal_rules), SequenceEnd::not_serving);
    EXPECT_EQ(not_serving.calls, (Calls{"discover", "found", "confirm", "publish", "serve"}));
}

}  // namespace
}  // namespace qvr
