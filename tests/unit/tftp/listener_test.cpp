// The listener over loopback: the port search, the requests it answers, the
// waiting dialog and the staged-upgrader's second round on the same port.
#include "tftp/listener.h"

#include <gtest/gtest.h>

#include <list>

#include "common/build_deliverable.h"
#include "platform/clock.h"
#include "tftp/texts.h"
#include "tftp_harness.h"

namespace qvr {
namespace {

using namespace tftp_test;

// Holds ports 69 .. 69 + count - 1 on the test address.
void take_ports(std::list<Client>& taken, unsigned count) {
    for (unsigned port = 69; port < 69 + count; ++port) taken.emplace_back(test_address(), port);
}

// The first free port of the 100 from 69 (69 to 168).
TEST(TftpListener, PortSearchFrom69) {
    const struct {
        unsigned taken;
        ListenerOpen open;
        std::uint16_t port;
    } cases[] = {{0, ListenerOpen::opened, 69}, {99, ListenerOpen::opened, 168}, {100, ListenerOpen::no_port, 0}};
    for (const auto& c : cases) {
        std::list<Client> taken;
        take_ports(taken, c.taken);
        TftpListener listener{};
        EXPECT_EQ(open_tftp_listener(listener, test_address(), 69, 0), c.open) << c.taken;
        EXPECT_EQ(listener.port, c.port) << c.taken;
        EXPECT_EQ(listener.socket == invalid_socket, c.open == ListenerOpen::no_port) << c.taken;
        close_socket(listener.socket);
    }
}

// A listener that cannot start hands its report back; the portable code
// never ends the run itself.
TEST(TftpListener, StartFailuresComeBackWithTheirReport) {
    auto never = [](TftpListener&, const TftpResult&) { ADD_FAILURE() << "no thread should have run"; };
    {
        std::list<Client> taken;
        take_ports(taken, 100);
        ServerRun run(100);
        ListenerStart start = start_tftp_listener(run.server, test_address(), nullptr, never);
        EXPECT_EQ(start.port, 0);
        EXPECT_STREQ(start.failure, "Upgrade Failed: Can't bind TFTP listener socket");
        EXPECT_EQ(start.caption, nullptr);
    }
    // Regression: a thread that could not start ended the process abnormally, unreported.
    ServerRun run(100);
    run.server.start_thread = [](void (*)(void*), void*) { return false; };
    ListenerStart start = start_tftp_listener(run.server, test_address(), nullptr, never);
    EXPECT_EQ(start.port, 0);
    EXPECT_STREQ(start.failure, "Upgrade Failed: Can't start the TFTP listener thread");
}

// Nothing but our request is answered; that is served to whoever sent it.
TEST(TftpListener, OnlyTheExactNameFromAnyoneIsServed) {
    ServerRun run(2000);
    ASSERT_TRUE(run.start());
    const std::uint16_t port = run.listener.port;
    Client device;
    Bytes wrq = rrq_bytes(run.file_name), oversized = rrq_bytes(run.file_name);
    wrq[1] = 0x02;                // WRQ for our name
    oversized.resize(1500, 'x');  // our request in more than the 1024-byte buffer
    const Bytes unterminated = {
        0x00, 0x01,                                                  // RRQ
        '/', 'q', 'v', 'r', '1', 'a', '2', 'b', '.', 'b', 'i', '1',  // our name, without its NUL
    };
    for (const Bytes& bytes : {rrq_bytes("/QVR1A2B.BI1"), rrq_bytes("/qvr1a2b.bi1x"), unterminated, wrq, oversized})
        device.send(bytes, port);
    EXPECT_FALSE(device.receive(300));

    Client elsewhere(test_address() + 1);
    EXPECT_TRUE(fetch(elsewhere, port, run.file_name).data == run.target_bytes);
    run.join();
    EXPECT_TRUE(run.result.passed);
    EXPECT_EQ(run.numbers["status"], std::vector<std::uint32_t>{test_address() + 1}) << "asks who fetched";
}

// With only_requester set (the terminal program), the image goes to the
// device alone: a stranger asking for the right name gets nothing and is
// reported each time it asks (the front end says it once); the device is
// then served as usual.
TEST(TftpListener, OnlyTheDeviceIsServedWhenOneIsNamed) {
    ServerRun run(2000);
    run.server.only_requester = test_address() + 2;
    ASSERT_TRUE(run.start());
    const std::uint16_t port = run.listener.port;
    Client stranger(test_address() + 3);
    for (int i = 0; i < 2; ++i) stranger.send(rrq_bytes(run.file_name), port);
    EXPECT_FALSE(stranger.receive(300)) << "nothing for a stranger, not even an error";

    Client device(test_address() + 2);
    EXPECT_TRUE(fetch(device, port, run.file_name).data == run.target_bytes);
    run.join();
    EXPECT_TRUE(run.result.passed);
    EXPECT_EQ(run.numbers["refused"], (std::vector<std::uint32_t>{test_address() + 3, test_address() + 3}));
}

// The bar moves one step per millisecond of the clock however long the
// waits between two moves are (here across the clock's wrap too), and goes
// round after 999; Cancel ends the run with its report.
TEST(TftpListener, WaitingDialogActivityAndCancel) {
    ServerRun run(100);
    run.server.timing.waiting_poll_ms = 1;
    run.server.clock = [] { return clock_offset += 7; };  // 7 ms from one idle poll to the next
    run.cancel_after_pumps = 150;                          // the 151st idle poll cancels
    ASSERT_TRUE(run.start());
    run.join();
    EXPECT_STREQ(run.result.message, "Upgrade Failed: User Abort");
    EXPECT_EQ(run.numbers["open"], std::vector<std::uint32_t>{TFTP_WAITING_DIALOG});
    EXPECT_EQ(run.numbers["range"], std::vector<std::uint32_t>{1000});
    ASSERT_EQ(run.texts["text"].size(), 1u);
    EXPECT_NE(run.texts["text"][0].find("at the first available UDP port starting at port number 69."),
              std::string::npos);
    std::vector<std::uint32_t>& pos = run.numbers["pos"];
    ASSERT_EQ(pos.size(), 1 + 151u);  // the opening 0, then one per idle poll
    EXPECT_EQ((std::vector{pos[0], pos[1], pos[142], pos[143], pos[151]}),
              (std::vector<std::uint32_t>{0, 7, 994, 1, 57}));
}

// Regression: datagrams that are not our request skipped the dialog's pump,
// so a flood held back Cancel.  With each datagram a millisecond later on
// the clock, Cancel is taken long before a queue of them is drained.
TEST(TftpListener, CancelTakenDuringAFlood) {
    ServerRun run(100);
    run.cancel_after_pumps = 2;
    run.server.clock = [] { return clock_offset += 1; };
    ASSERT_EQ(open_tftp_listener(run.listener, test_address(), 69, 0), ListenerOpen::opened);
    Client stranger;
    for (int i = 0; i < 200; ++i) stranger.send(ack_bytes(1), run.listener.port);
    run.result = serve_tftp_requests(run.listener, run.server);
    EXPECT_STREQ(run.result.message, "Upgrade Failed: User Abort");
    EXPECT_EQ(wait_readable(run.listener.socket, 0), 1) << "Cancel was taken only once the flood was drained";
}

// The staged-upgrader serves its transition image, then its target image on
// the same port under the name the main thread publishes next.
// Regression: the stage moved on while the transition name was still the
// one served, so a request for it that waited in the socket through the
// update wait and the check (or came before the main thread drew the next
// name) was served the target image.
TEST(TftpListener, StagedTransitionThenTargetOnTheSamePort) {
    if (is_recovery_upgrader) GTEST_SKIP() << "one stage only";
    ServerRun run(3000);
    run.use_transition(1500, "7.0.0");
    run.reported_versions = {"7.0.0", "7.5.6a"};
    std::snprintf(run.file_name, sizeof run.file_name, "/qvr1.bi0");
    Client device, late;
    // Queued during the transition stage's check, read after the flip.
    run.during_status = [&] {
        if (run.stage.load() == 0) late.send(rrq_bytes("/qvr1.bi0"), run.listener.port);
    };
    ASSERT_TRUE(run.start());
    EXPECT_TRUE(fetch(device, run.listener.port, "/qvr1.bi0").data == run.transition_bytes);
    for (int i = 0; i < 500 && run.stage.load() != 1; ++i) sleep_ms(10);
    ASSERT_EQ(run.stage.load(), 1);
    EXPECT_FALSE(late.receive(300)) << "the queued transition request was served";
    late.send(rrq_bytes("/qvr1.bi0"), run.listener.port);
    EXPECT_FALSE(late.receive(300)) << "served before the next name was published";
    run.publish_next_name("/qvr2.bi1");
    late.send(rrq_bytes("/qvr1.bi0"), run.listener.port);
    EXPECT_FALSE(late.receive(300)) << "the transition name is still served";
    EXPECT_TRUE(fetch(device, run.listener.port, "/qvr2.bi1").data == run.target_bytes);
    run.join();
    EXPECT_TRUE(run.result.passed);
    EXPECT_EQ(run.numbers["open"], (std::vector<std::uint32_t>{TFTP_WAITING_DIALOG, TFTP_UPLOAD_DIALOG,
                                                             TFTP_WAITING_DIALOG, TFTP_UPLOAD_DIALOG}));
    EXPECT_EQ(run.texts["text"].size(), 1u) << "the second waiting dialog has no text";
    EXPECT_EQ(run.texts["success"], std::vector<std::string>{"QVR@192.168.0.20 Upgrade Successful!|7.5.6a"});
    EXPECT_EQ(run.texts["title"].front(), "Uploading Transition Firmware to QVR@192.168.0.20 0/1500 Bytes");
}

// The target image is not pushed onto a device whose first stage went wrong.
TEST(TftpListener, StagedFailedTransitionEndsTheRun) {
    if (is_recovery_upgrader) GTEST_SKIP() << "one stage only";
    ServerRun run(3000);
    run.use_transition(1500, "7.0.0");
    run.reported_versions = {"6.9.9"};
    std::snprintf(run.file_name, sizeof run.file_name, "/qvr1.bi0");
    run.fetch_all();
    EXPECT_STREQ(run.result.message, "Upgrade Failed: Version not matching");
    EXPECT_EQ(run.stage.load(), 0);
    EXPECT_EQ(run.numbers["open"].size(), 2u) << "no second waiting dialog";
}

// Regression: the switch to non-blocking mode was not checked; a socket
// that refused it left the loop in a receive for ever, Cancel dead.
TEST(TftpListener, SocketThatCannotPollIsReported) {
    ServerRun run(100);
    run.cancel_after_pumps = 50;  // what the loop would come to without the check
    run.result = serve_tftp_requests(run.listener, run.server);  // its socket was never opened
    EXPECT_STREQ(run.result.message, "Upgrade Failed: Can't set TFTP socket non-blocking");
}

TEST(TftpListener, GroupText) {
    std::uint32_t a = 0;
    EXPECT_TRUE(parse_dotted_quad("234.4.8.10", a));
    EXPECT_EQ(a, 0xEA04080Au);
    for (const char* bad : {"", "234.4.8", "234.4.8.10.", "256.1.1.1", "1..2.3", "a.b.c.d", "1.2.3.4 ", "1.2.3.0004"})
        EXPECT_FALSE(parse_dotted_quad(bad, a)) << bad;
}

}  // namespace
}  // namespace qvr
