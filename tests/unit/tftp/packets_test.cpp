// TFTP packets: the bytes we send and what we read from the bytes we get.
#include "tftp/packets.h"

#include <gtest/gtest.h>

#include <vector>

namespace qvr {
namespace {

std::span<const std::uint8_t> bytes_of(const std::vector<std::uint8_t>& v) { return {v.data(), v.size()}; }

TEST(TftpPackets, OptionAckForTheSampleImageIs26Bytes) {
    const std::vector<std::uint8_t> expected = {
        0x00, 0x06,                          // OACK
        't', 's', 'i', 'z', 'e', 0x00,       // option "tsize"
        '4', '3', '0', '9', '4', '9', '1', 0x00,  // the image size in decimal
        't', 'i', 'm', 'e', 'o', 'u', 't', 0x00,  // option "timeout"
        '5', 0x00,                           // 5 seconds
    };
    std::uint8_t buffer[tftp_receive_size];
    ASSERT_EQ(build_option_ack(buffer, sizeof buffer, 4309491), 26u);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 26), expected);
}

TEST(TftpPackets, OptionAckLengthFollowsTheDigitsAndRefusesAShortBuffer) {
    std::uint8_t buffer[64];
    EXPECT_EQ(build_option_ack(buffer, sizeof buffer, 0), 20u);  // "0"
    EXPECT_EQ(buffer[8], '0');
    EXPECT_EQ(buffer[9], 0x00);
    EXPECT_EQ(build_option_ack(buffer, sizeof buffer, 33553919), 27u);
    EXPECT_EQ(build_option_ack(buffer, 25, 4309491), 0u) << "must not write past the buffer";
}

TEST(TftpPackets, DataBlockCarriesTheLow16BitsOfTheNumber) {
    const std::uint8_t data[3] = {0xAA, 0xBB, 0xCC};
    std::uint8_t buffer[tftp_receive_size];
    ASSERT_EQ(build_data_block(buffer, sizeof buffer, data, 3, 8417), 7u);
    const std::vector<std::uint8_t> expected = {
        0x00, 0x03,        // DATA
        0x20, 0xE1,        // block 8417
        0xAA, 0xBB, 0xCC,  // data
    };
    EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 7), expected);
    EXPECT_EQ(build_data_block(buffer, sizeof buffer, nullptr, 0, 3), 4u) << "an empty last block";
    EXPECT_EQ(build_data_block(buffer, sizeof buffer, data, 513, 1), 0u);
    EXPECT_EQ(build_data_block(buffer, 6, data, 3, 1), 0u);
}

TEST(TftpPackets, ReadRequestNameIsReadAndModeAndOptionsAreNot) {
    const std::vector<std::uint8_t> rrq = {
        0x00, 0x01,                                              // RRQ
        '/', 'q', 'v', 'r', '1', 'a', '2', 'b', '.', 'b', 'i', '1', 0x00,  // file name
        'o', 'c', 't', 'e', 't', 0x00,                           // mode
        'b', 'l', 'k', 's', 'i', 'z', 'e', 0x00, '1', '4', '6', '8', 0x00,  // an option we ignore
    };
    TftpPacket p = parse_tftp_packet(bytes_of(rrq));
    EXPECT_TRUE(p.well_formed);
    EXPECT_EQ(p.opcode, TFTP_RRQ);
    EXPECT_EQ(p.file_name, "/qvr1a2b.bi1");
}

// Bad input: every case stays inside the received bytes (AddressSanitizer
// checks that here, the datagrams being exactly as long as their vectors).
TEST(TftpPackets, MalformedDatagramsAreNotWellFormed) {
    const std::vector<std::uint8_t> empty = {};
    const std::vector<std::uint8_t> runt = {0x00};  // half an opcode
    const std::vector<std::uint8_t> short_ack = {
        0x00, 0x04,  // ACK
        0x00,        // half a block number
    };
    const std::vector<std::uint8_t> unterminated_rrq = {
        0x00, 0x01,                                        // RRQ
        '/', 'q', 'v', 'r', '1', 'a', '2', 'b', '.', 'b', 'i', '1',  // the name, no NUL
    };
    for (const auto* datagram : {&empty, &runt, &short_ack, &unterminated_rrq}) {
        std::vector<std::uint8_t> exact(*datagram);  // heap block of exactly this size
        TftpPacket p = parse_tftp_packet(bytes_of(exact));
        EXPECT_FALSE(p.well_formed) << "datagram of " << exact.size() << " bytes";
    }
    EXPECT_EQ(parse_tftp_packet(bytes_of(runt)).opcode, 0);
    EXPECT_EQ(parse_tftp_packet(bytes_of(unterminated_rrq)).file_name, "");

    const std::vector<std::uint8_t> ack = {
        0x00, 0x04,  // ACK
        0x01, 0x00,  // block 256
    };
    TftpPacket p = parse_tftp_packet(bytes_of(ack));
    EXPECT_TRUE(p.well_formed);
    EXPECT_EQ(p.block, 256);
}

TEST(TftpPackets, ReaderFailureIsSticky) {
    const std::vector<std::uint8_t> bytes = {0x00, 0x05, 'x'};
    DatagramReader r = make_reader(bytes_of(bytes));
    EXPECT_EQ(read_u16(r), 5);
    EXPECT_EQ(read_u16(r), 0);
    EXPECT_TRUE(r.failed);
    EXPECT_EQ(read_text(r), "") << "no read after a failure, even of bytes that are there";
}

}  // namespace
}  // namespace qvr
