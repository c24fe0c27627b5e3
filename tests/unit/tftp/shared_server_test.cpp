// The shared server over loopback: one socket on the test address, devices
// played by client sockets on 127.0.0.2 and up.
#include "tftp/shared_server.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <utility>

#include "common/build_deliverable.h"
#include "tftp_harness.h"

namespace qvr {
namespace {

using namespace tftp_test;

constexpr std::uint32_t loopback(unsigned last) { return 0x7F000000u | last; }

struct Fleet {
    Bytes bytes_a = ServerRun::image_bytes(3000, "7.5.6a", 1), bytes_b = ServerRun::image_bytes(5000, "7.5.6a", 2);
    FirmwareImage image_a{}, image_b{};
    TftpTarget a{}, b{};
    SharedTftpServer server;
    std::mutex refused_lock;
    std::vector<std::pair<std::uint32_t, std::string>> refused;

    Fleet() {
        attach_firmware_image(image_a, bytes_a.data(), static_cast<std::uint32_t>(bytes_a.size()));
        attach_firmware_image(image_b, bytes_b.data(), static_cast<std::uint32_t>(bytes_b.size()));
        a.address = loopback(2);
        b.address = loopback(3);
        std::snprintf(a.file_name, sizeof a.file_name, "/qvr00000001.bi1");
        std::snprintf(b.file_name, sizeof b.file_name, "/qvr00000002.bi1");
        a.image = &image_a;
        b.image = &image_b;
        EXPECT_EQ(open_shared_tftp_server(server, test_address(), 69, shipped_tftp_timing(staged_upgrader_rules)),
                  ListenerOpen::opened);
        server.refused_context = this;
        server.refused = [](void* c, std::uint32_t address, const char* name) {
            Fleet& f = *static_cast<Fleet*>(c);
            std::lock_guard<std::mutex> guard(f.refused_lock);
            f.refused.emplace_back(address, name != nullptr ? name : "(none)");
        };
        start_shared_tftp_server(server);
    }
    ~Fleet() { stop_shared_tftp_server(server); }
};

// Waits (bounded) until the target leaves `from`; returns the state then.
TargetState settled(const TftpTarget& target, TargetState from) {
    for (int i = 0; i < 5000 && target.state.load() == from; ++i) sleep_ms(1);
    return target.state.load();
}

// Two devices fetch their own images at the same time from one port; a
// stranger and a device asking for the other's name get no answer, and
// only the stranger is reported.
TEST(TftpSharedServer, ServesTwoDevicesAtOnce) {
    Fleet fleet;
    ASSERT_NE(fleet.server.port, 0);
    const std::uint16_t port = fleet.server.port;
    ASSERT_TRUE(serve_tftp_target(fleet.server, fleet.a));
    ASSERT_TRUE(serve_tftp_target(fleet.server, fleet.b));
    EXPECT_EQ(fleet.a.state.load(), TargetState::waiting);
    Client device_a(loopback(2)), device_b(loopback(3)), outsider(loopback(4));
    outsider.send(rrq_bytes(fleet.a.file_name), port);
    device_b.send(rrq_bytes(fleet.a.file_name), port);
    EXPECT_FALSE(outsider.receive(200));
    EXPECT_FALSE(device_b.receive(0));
    EXPECT_EQ(fleet.a.state.load(), TargetState::waiting);

    Fetch fetched_a, fetched_b;
    std::thread first([&] { fetched_a = fetch(device_a, port, fleet.a.file_name); });
    std::thread second([&] { fetched_b = fetch(device_b, port, fleet.b.file_name); });
    first.join();
    second.join();
    EXPECT_TRUE(fetched_a.data == fleet.bytes_a);
    EXPECT_TRUE(fetched_b.data == fleet.bytes_b);
    EXPECT_EQ(settled(fleet.a, TargetState::transferring), TargetState::complete);
    EXPECT_EQ(settled(fleet.b, TargetState::transferring), TargetState::complete);
    EXPECT_EQ(fleet.b.bytes_acknowledged.load(), 5000u);
    EXPECT_EQ(fleet.b.image_size.load(), 5000u);

    // A finished device asking again is not served a second time.
    device_a.send(rrq_bytes(fleet.a.file_name), port);
    EXPECT_FALSE(device_a.receive(200));
    withdraw_tftp_target(fleet.server, fleet.a);
    EXPECT_EQ(fleet.a.state.load(), TargetState::complete) << "an ending stays";
    std::lock_guard<std::mutex> guard(fleet.refused_lock);
    EXPECT_EQ(fleet.refused, (std::vector<std::pair<std::uint32_t, std::string>>{{loopback(4), fleet.a.file_name}}));
}

// A withdrawn target's session stops answering at once; an ERROR from a
// device's session port ends its session; stopping withdraws the rest.
TEST(TftpSharedServer, WithdrawErrorAndStopEndSessions) {
    Fleet fleet;
    const std::uint16_t port = fleet.server.port;
    TftpTarget no_image{};
    EXPECT_FALSE(serve_tftp_target(fleet.server, no_image));
    EXPECT_EQ(no_image.state.load(), TargetState::idle);
    ASSERT_TRUE(serve_tftp_target(fleet.server, fleet.a));
    ASSERT_TRUE(serve_tftp_target(fleet.server, fleet.b));
    Client device_a(loopback(2)), device_b(loopback(3));

    device_a.send(rrq_bytes(fleet.a.file_name), port);
    ASSERT_EQ(block_of(device_a.receive()), 0);
    device_a.send(ack_bytes(0), port);
    ASSERT_EQ(block_of(device_a.receive()), 1);
    withdraw_tftp_target(fleet.server, fleet.a);
    EXPECT_EQ(fleet.a.state.load(), TargetState::withdrawn);
    device_a.send(ack_bytes(1), port);
    EXPECT_FALSE(device_a.receive(300)) << "served after its withdrawal";

    device_b.send(rrq_bytes(fleet.b.file_name), port);
    ASSERT_EQ(block_of(device_b.receive()), 0);
    const Bytes error = {
        0x00, 0x05,              // ERROR
        0x00, 0x00,              // code
        'n', 'o', ' ', 0x00,     // text
    };
    device_b.send(error, port);
    EXPECT_EQ(settled(fleet.b, TargetState::transferring), TargetState::aborted);
    EXPECT_FALSE(device_b.receive(300)) << "retransmitted after the device gave up";

    ASSERT_TRUE(serve_tftp_target(fleet.server, fleet.b));  // served anew
    EXPECT_EQ(fleet.b.state.load(), TargetState::waiting);
    stop_shared_tftp_server(fleet.server);
    EXPECT_EQ(fleet.b.state.load(), TargetState::withdrawn);
}

}  // namespace
}  // namespace qvr
