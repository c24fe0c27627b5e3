// The listener over loopback: the port search, which read requests it
// accepts, and the staged-upgrader's second round on the same port.
#include "tftp/listener.h"

#include <gtest/gtest.h>

#include <memory>

#include "common/bytes.h"
#include "common/deliverable.h"
#include "platform/clock.h"
#include "tftp/texts.h"
#include "tftp_harness.h"

namespace qvr {
namespace {

using namespace tftp_test;

// Holds ports first .. first + count - 1 on the test address.
struct TakenPorts {
    std::vector<SocketHandle> sockets;
    TakenPorts(std::uint16_t first, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            SocketHandle s = open_udp_socket();
            EXPECT_TRUE(bind_socket(s, test_address(), static_cast<std::uint16_t>(first + i))) << first + i;
            sockets.push_back(s);
        }
    }
    ~TakenPorts() {
        for (SocketHandle s : sockets) close_socket(s);
    }
};

TEST(TftpListener, PortSearchFrom69) {
    {
        TftpListener listener{};
        ASSERT_EQ(open_tftp_listener(listener, test_address(), 69, 0), ListenerOpen::opened);
        EXPECT_EQ(listener.port, 69);
        close_socket(listener.socket);
    }
    {
        TakenPorts taken(69, 5);
        TftpListener listener{};
        ASSERT_EQ(open_tftp_listener(listener, test_address(), 69, 0), ListenerOpen::opened);
        EXPECT_EQ(listener.port, 74) << "the first free port";
        close_socket(listener.socket);
    }
    {
        TakenPorts taken(69, 100);  // 69 to 168
        TftpListener listener{};
        EXPECT_EQ(open_tftp_listener(listener, test_address(), 69, 0), ListenerOpen::no_port);
        EXPECT_EQ(listener.socket, invalid_socket);
    }
}

TEST(TftpListenerDeathTest, NoFreePortEndsTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TakenPorts taken(69, 100);
            ServerRun run(100);
            start_tftp_listener(run.server, test_address(), nullptr);
        },
        testing::ExitedWithCode(0), "Upgrade Failed: Can't bind TFTP listener socket");
}

// Requests the listener must drop without a word, then the right one from
// another address and port, which is served to that sender.
TEST(TftpListener, OnlyTheExactNameFromAnyoneIsServed) {
    ServerRun run(2000);
    ASSERT_TRUE(run.start());
    const std::uint16_t port = run.listener.port;
    Client device(test_address());
    device.send(rrq_bytes("/QVR1A2B.BI1"), test_address(), port);  // other case
    device.send(rrq_bytes("/qvr1a2b.bin"), test_address(), port);  // other name
    const std::vector<std::uint8_t> unterminated = {
        0x00, 0x01,                                                  // RRQ
        '/', 'q', 'v', 'r', '1', 'a', '2', 'b', '.', 'b', 'i', '1',  // our name, without its NUL
    };
    device.send(unterminated, test_address(), port);
    const std::vector<std::uint8_t> runt = {0x00};  // half an opcode
    device.send(runt, test_address(), port);
    std::vector<std::uint8_t> wrq = rrq_bytes(run.file_name);
    wrq[1] = 0x02;  // WRQ for our name
    device.send(wrq, test_address(), port);
    device.send(ack_bytes(0), test_address(), port);
    std::vector<std::uint8_t> oversized = rrq_bytes(run.file_name);
    oversized.resize(1500, 'x');  // our request, but larger than the 1024-byte buffer
    device.send(oversized, test_address(), port);
    EXPECT_FALSE(device.receive(300)) << "the listener answers nothing but our request";

    Client elsewhere(test_address() + 1);
    Fetch f = fetch(elsewhere, test_address(), port, run.file_name);
    run.join();
    ASSERT_TRUE(f.ok) << f.failure;
    EXPECT_TRUE(f.data == run.target_bytes);
    EXPECT_TRUE(run.result.passed);
    EXPECT_FALSE(device.receive(0));
    EXPECT_EQ(run.recorder.numbers("status").front(), test_address() + 1);
}

TEST(TftpListener, WaitingDialogActivityAndCancel) {
    ServerRun run(100);
    run.recorder.cancel_after_pumps = 1000;  // the 1001st idle poll "cancels"
    ASSERT_TRUE(run.start());
    run.join();
    EXPECT_FALSE(run.result.passed);
    EXPECT_STREQ(run.result.message, MESSAGE_USER_ABORT);
    const Recorder& r = run.recorder;
    ASSERT_GE(r.events.size(), 4u);
    EXPECT_EQ(r.events[0].what, "open");
    EXPECT_EQ(r.events[0].number, static_cast<std::uint32_t>(TFTP_WAITING_DIALOG));
    EXPECT_EQ(r.numbers("range"), std::vector<std::uint32_t>{1000});
    EXPECT_EQ(r.all("text"), std::vector<std::string>{TFTP_WAITING_TEXT});
    std::vector<std::uint32_t> pos = r.numbers("pos");
    ASSERT_EQ(pos.size(), 1 + 1001u);  // the opening 0, then one per idle poll
    EXPECT_EQ(pos[0], 0u);
    EXPECT_EQ(pos[1], 1u);
    EXPECT_EQ(pos[999], 999u);
    EXPECT_EQ(pos[1000], 0u) << "the bar goes round after 999";
    EXPECT_EQ(pos[1001], 1u);
}

TEST(TftpListener, StagedTransitionThenTargetOnTheSamePort) {
    if (is_recovery_upgrader) GTEST_SKIP() << "one stage only";
    ServerRun run(3000, "7.5.6a");
    run.use_transition_image(1500, "7.0.0");
    run.recorder.reported_versions = {"7.0.0", "7.5.6a"};
    std::snprintf(run.file_name, sizeof run.file_name, "/qvr1.bi0");
    ASSERT_TRUE(run.start());
    const std::uint16_t port = run.listener.port;
    Client device(test_address());
    Fetch first = fetch(device, test_address(), port, "/qvr1.bi0");
    ASSERT_TRUE(first.ok) << first.failure;
    EXPECT_TRUE(first.data == run.transition_bytes);

    // The main thread sees the stage change and draws the next name.
    for (int i = 0; i < 500 && run.stage.load() != 1; ++i) sleep_ms(10);
    ASSERT_EQ(run.stage.load(), 1);
    std::snprintf(run.file_name, sizeof run.file_name, "/qvr2.bi1");
    device.send(rrq_bytes("/qvr1.bi0"), test_address(), port);
    EXPECT_FALSE(device.receive(300)) << "the transition name is refused now";
    Fetch second = fetch(device, test_address(), port, "/qvr2.bi1");
    run.join();
    ASSERT_TRUE(second.ok) << second.failure;
    EXPECT_TRUE(second.data == run.target_bytes);
    EXPECT_TRUE(run.result.passed);

    const Recorder& r = run.recorder;
    EXPECT_EQ(r.all("text").size(), 1u) << "the second waiting dialog has no text";
    EXPECT_EQ(r.all("success").size(), 1u) << "no success dialog for the transition stage";
    std::vector<std::string> titles = r.all("title");
    EXPECT_EQ(titles.front(), "Uploading Transition Firmware to QVR@192.168.0.20 0/1500 Bytes");
    EXPECT_EQ(titles.back(), "Updating Target Firmware to QVR@192.168.0.20");
}

// A transition stage that fails ends the run: the target image is not
// pushed onto a device whose first stage went wrong.
TEST(TftpListener, StagedFailedTransitionEndsTheRun) {
    if (is_recovery_upgrader) GTEST_SKIP() << "one stage only";
    ServerRun run(3000, "7.5.6a");
    run.use_transition_image(1500, "7.0.0");
    run.recorder.reported_versions = {"6.9.9"};
    std::snprintf(run.file_name, sizeof run.file_name, "/qvr1.bi0");
    ASSERT_TRUE(run.start());
    Client device(test_address());
    ASSERT_TRUE(fetch(device, test_address(), run.listener.port, "/qvr1.bi0").ok);
    run.join();
    EXPECT_FALSE(run.result.passed);
    EXPECT_STREQ(run.result.message, MESSAGE_VERSION_MISMATCH);
    EXPECT_EQ(run.stage.load(), 0);
    EXPECT_EQ(run.recorder.numbers("open").size(), 2u) << "waiting and upload dialogs, no second waiting dialog";
}

TEST(TftpListener, GroupText) {
    std::uint32_t a = 0;
    EXPECT_TRUE(parse_dotted_quad("234.4.8.10", a));
    EXPECT_EQ(a, 0xEA04080Au);
    for (const char* bad : {"", "234.4.8", "234.4.8.10.", "256.1.1.1", "1..2.3", "a.b.c.d", "1.2.3.4 "})
        EXPECT_FALSE(parse_dotted_quad(bad, a)) << bad;
}

}  // namespace
}  // namespace qvr
