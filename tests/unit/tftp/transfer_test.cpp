// The stepped transfer, call by call: the packets it asks to send, what it
// drops, and its clocks, with the time chosen by the test.
#include "tftp/transfer.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/bytes.h"

namespace qvr {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t device = 0x7F000002;  // 127.0.0.2
constexpr std::uint16_t device_port = 3001;
constexpr TftpTiming short_periods{
    .polls_per_period = 2, .min_period_ms = 20, .period_limit = 3, .redraw_interval_ms = 50, .waiting_poll_ms = 50};

Bytes image_bytes(std::uint32_t size) {
    Bytes bytes(size);
    for (std::uint32_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 512);
    return bytes;
}

TftpPacket ack(std::uint16_t block) { return TftpPacket{TFTP_ACK, block, {}, true}; }

Bytes sent(const TftpTransfer& t) { return Bytes(t.packet, t.packet + t.packet_length); }

struct Stepped {
    Bytes data;
    FirmwareImage image{};
    TftpTransfer t{};
    explicit Stepped(std::uint32_t size, const TftpTiming& timing = short_periods) : data(image_bytes(size)) {
        image.data = data.data();
        image.size = size;
        prepare_transfer(t, image, device, device_port, device, timing);
    }
};

// The OACK first, then every block once its predecessor is acknowledged;
// the transfer is complete only with the last block's ACK, also when that
// block is empty (a size that is a multiple of 512).
TEST(TftpTransfer, OptionAckThenEveryBlockInOrder) {
    for (std::uint32_t size : {0u, 511u, 512u, 1100u}) {
        SCOPED_TRACE(size);
        Stepped run(size);
        TransferAction a = start_transfer(run.t);
        ASSERT_EQ(a.step, TransferStep::send);
        ASSERT_GE(run.t.packet_length, 2u);
        EXPECT_EQ(get_u16_be(run.t.packet), TFTP_OACK);
        start_transfer_clock(run.t, 1000);
        Bytes received;
        const std::uint32_t blocks = size / 512 + 1;
        for (std::uint16_t block = 0; block < blocks; ++block) {
            a = transfer_datagram(run.t, ack(block), device, device_port, 1000 + block);
            ASSERT_EQ(a.step, TransferStep::send) << block;
            EXPECT_FALSE(a.retransmission);
            Bytes p = sent(run.t);
            ASSERT_GE(p.size(), 4u);
            EXPECT_EQ(get_u16_be(p.data()), TFTP_DATA);
            EXPECT_EQ(get_u16_be(p.data() + 2), block + 1);
            EXPECT_EQ(run.t.awaited_block, block + 1u);
            received.insert(received.end(), p.begin() + 4, p.end());
        }
        EXPECT_EQ(run.t.packet_length, 4 + size % 512) << "the last block's length";
        EXPECT_EQ(run.t.bytes_acknowledged, (blocks - 1) * 512);
        a = transfer_datagram(run.t, ack(static_cast<std::uint16_t>(blocks)), device, device_port, 2000);
        EXPECT_EQ(a.step, TransferStep::complete);
        EXPECT_TRUE(a.redraw) << "the final figures are always drawn";
        EXPECT_EQ(run.t.bytes_acknowledged, size);
        EXPECT_EQ(received, run.data);
        EXPECT_EQ(transfer_tick(run.t, 90000).step, TransferStep::none) << "nothing after the end";
    }
}

// Regression (the sorcerer's apprentice and strangers): only the
// requester's ACK of the awaited block, from its address and port, moves the
// transfer; a duplicate, a future ACK, noise and strangers send nothing and
// ask for an idle poll at most once per clock step.
TEST(TftpTransfer, OnlyTheRequestersAwaitedAckMovesIt) {
    Stepped run(5000);
    start_transfer(run.t);
    start_transfer_clock(run.t, 100);
    ASSERT_EQ(transfer_datagram(run.t, ack(0), device, device_port, 100).step, TransferStep::send);
    ASSERT_EQ(transfer_datagram(run.t, ack(1), device, device_port, 100).step, TransferStep::send);
    const Bytes block2 = sent(run.t);
    const struct {
        TftpPacket packet;
        std::uint32_t address;
        std::uint16_t port;
        bool stranger;
    } dropped[] = {
        {ack(2), device, device_port + 1, true},  // the right ACK from another port
        {ack(2), device + 1, device_port, true},  // and from another address
        {ack(1), device, device_port, false},     // a duplicate
        {ack(3), device, device_port, false},     // a future block
        {TftpPacket{TFTP_ACK, 2, {}, false}, device, device_port, false},  // an ACK cut short
        {TftpPacket{TFTP_ERROR, 0, {}, true}, device, device_port, false},
    };
    std::uint32_t now = 101;
    for (const auto& d : dropped) {
        TransferAction first = transfer_datagram(run.t, d.packet, d.address, d.port, now);
        TransferAction again = transfer_datagram(run.t, d.packet, d.address, d.port, now);
        EXPECT_EQ(first.step, TransferStep::none);
        EXPECT_EQ(first.stranger, d.stranger);
        EXPECT_TRUE(first.idle_poll_due) << "a clock step passed";
        EXPECT_FALSE(again.idle_poll_due) << "the same millisecond";
        EXPECT_EQ(run.t.awaited_block, 2u);
        EXPECT_EQ(sent(run.t), block2);
        now += tftp_clock_step_ms;
    }
    EXPECT_EQ(transfer_datagram(run.t, ack(2), device, device_port, now).step, TransferStep::send);
    EXPECT_EQ(run.t.awaited_block, 3u);
}

// Without progress the packet last sent comes again each period, the same
// bytes, until the period limit; progress starts the count again.  The
// record passes the redraw throttle's hints on (held-back figures at the
// first idle poll after the interval).
TEST(TftpTransfer, RetransmitsEachPeriodUntilTheLimit) {
    Stepped run(2000);
    start_transfer(run.t);
    const Bytes oack = sent(run.t);
    start_transfer_clock(run.t, 0xFFFFFFF0u);  // the first period crosses the clock's wrap
    std::vector<TransferStep> steps;
    auto poll_until = [&](std::uint32_t from, std::uint32_t to) {
        steps.clear();
        for (std::uint32_t ms = from; ms != to; ++ms) {
            TransferAction a = transfer_tick(run.t, ms);
            if (a.step != TransferStep::none) steps.push_back(a.step);
            EXPECT_TRUE(a.step != TransferStep::send || a.retransmission) << ms;
        }
        return steps;
    };
    EXPECT_EQ(poll_until(0xFFFFFFF0u, 0xFFFFFFF0u + 21), std::vector{TransferStep::send}) << "polls and 20 ms";
    EXPECT_EQ(sent(run.t), oack) << "the OACK again";
    EXPECT_TRUE(transfer_datagram(run.t, ack(0), device, device_port, 10).redraw);
    EXPECT_FALSE(transfer_datagram(run.t, ack(1), device, device_port, 11).redraw) << "within the interval";
    const Bytes block2 = sent(run.t);
    EXPECT_FALSE(transfer_tick(run.t, 59).redraw);
    TransferAction at60 = transfer_tick(run.t, 60);
    EXPECT_TRUE(at60.redraw) << "held back, now due";
    EXPECT_EQ(at60.step, TransferStep::send) << "the first period from the ACK at 11";
    // Two more periods to the limit of 3: the count started again with the ACK.
    EXPECT_EQ(poll_until(61, 500), (std::vector{TransferStep::send, TransferStep::timed_out}));
    EXPECT_EQ(sent(run.t), block2);
    EXPECT_EQ(transfer_datagram(run.t, ack(2), device, device_port, 501).step, TransferStep::none) << "after the end";
}

}  // namespace
}  // namespace qvr
